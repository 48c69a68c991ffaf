#include "control/pipe_protocol.h"

#include <cstring>

namespace quorvane {
namespace {

std::string NodeMember(const std::string& node_id) {
  return node_id.empty() ? std::string() : ",\"node_id\":\"" + JsonEscape(node_id) + "\"";
}

}  // namespace

std::string RequestTextFromBytes(const char* data, size_t size) {
  if (size > kMaxRequestBytes) size = kMaxRequestBytes;
  const void* nul = std::memchr(data, '\0', size);
  return std::string(data, nul != nullptr ? static_cast<const char*>(nul) - data : size);
}

bool ContainsForbiddenKey(const std::string& request) {
  for (const char* key : {"config_path", "wg_quick_config", "wgQuickConfig", "conf_path"}) {
    if (request.find(key) != std::string::npos) return true;
  }
  return false;
}

std::string SuccessReply(const std::string& phase, const std::string& node_id) {
  return "{\"ok\":true,\"phase\":\"" + phase + "\"" + NodeMember(node_id) + "}";
}

std::string StatusReply(const std::string& phase, const std::string& node_id, bool tunnel_running,
                        uint64_t generation) {
  return "{\"ok\":true,\"phase\":\"" + phase + "\"" + NodeMember(node_id) +
         ",\"tunnel_running\":" + (tunnel_running ? "true" : "false") + ",\"generation\":" +
         std::to_string(generation) + "}";
}

std::string WithReports(const std::string& reply, const std::string& admin_bypass_member,
                        const std::string& route_guard_member) {
  if (reply.empty() || reply.back() != '}') return reply;
  std::string joined;
  joined.reserve(reply.size() + admin_bypass_member.size() + route_guard_member.size() + 2);
  joined.append(reply, 0, reply.size() - 1).append(",").append(admin_bypass_member);
  joined.append(",").append(route_guard_member).append("}");
  return joined;
}

std::string WithMessage(const std::string& reply, const std::string& message) {
  if (message.empty() || reply.empty() || reply.back() != '}') return reply;
  return reply.substr(0, reply.size() - 1) + ",\"message\":\"" + JsonEscape(message) + "\"}";
}

// Codes and messages are fixed texts, unchanged by escaping; a message that
// carries a subsystem's text stays valid JSON whatever that text holds.
std::string ErrorReply(const std::string& code, const std::string& message) {
  return "{\"ok\":false,\"error\":\"" + JsonEscape(code) + "\",\"message\":\"" + JsonEscape(message) + "\"}";
}

std::string ErrorReply(const ProtocolError& error) { return ErrorReply(error.code, error.message); }

std::string ErrorReplyWithReports(const std::string& code, const std::string& message,
                                  const std::string& admin_bypass_member, const std::string& route_guard_member) {
  return WithReports(ErrorReply(code, message), admin_bypass_member, route_guard_member);
}

}  // namespace quorvane
