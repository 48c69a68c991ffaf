#include "control/pipe_protocol.h"

#include <cstring>

#include "common/decimal_text.h"

namespace quorvane {
namespace {

bool IsJsonSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string Unescape(const std::string& raw) {
  std::string value;
  value.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\' || i + 1 == raw.size()) {
      value.push_back(raw[i]);
      continue;
    }
    const char next = raw[i + 1];
    switch (next) {
      case 'n': value.push_back('\n'); break;
      case 'r': value.push_back('\r'); break;
      case 't': value.push_back('\t'); break;
      case '"': value.push_back('"'); break;
      case '/': value.push_back('/'); break;
      case '\\': value.push_back('\\'); break;
      default:
        // Unknown sequences (\u included) stay as they were sent.
        value.push_back('\\');
        value.push_back(next);
        break;
    }
    ++i;
  }
  return value;
}

// The node id comes from the request and may hold quotes or backslashes; it is
// escaped so that the reply stays one well-formed object.
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

std::string ReadJsonString(const std::string& request, const std::string& key) {
  const size_t key_at = request.find("\"" + key + "\"");
  if (key_at == std::string::npos) return std::string();
  size_t i = request.find(':', key_at);
  if (i == std::string::npos) return std::string();
  ++i;
  while (i < request.size() && IsJsonSpace(request[i])) ++i;
  if (i >= request.size() || request[i] != '"') return std::string();
  const size_t begin = ++i;
  while (i < request.size()) {
    if (request[i] == '\\') {
      i += 2;
      continue;
    }
    if (request[i] == '"') return Unescape(request.substr(begin, i - begin));
    ++i;
  }
  return std::string();  // Unterminated.
}

bool ReadEndpointPort(const std::string& request, int32_t* port) {
  const std::string text = ReadJsonString(request, "endpoint_port");
  if (text.empty()) {
    *port = kDefaultEndpointPort;
    return true;
  }
  int32_t value = 0;
  if (!ParseLeadingInt32(text, &value) || value < 1 || value > 65535) return false;
  *port = value;
  return true;
}

std::string JsonEscape(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': escaped += "\\\""; break;
      case '\\': escaped += "\\\\"; break;
      case '\n': escaped += "\\n"; break;
      case '\r': escaped += "\\r"; break;
      case '\t': escaped += "\\t"; break;
      case '\b': escaped += "\\b"; break;
      case '\f': escaped += "\\f"; break;
      default:
        if (byte < 0x20) {
          escaped += "\\u00";
          escaped.push_back(kHex[byte >> 4]);
          escaped.push_back(kHex[byte & 0xF]);
        } else {
          escaped.push_back(c);
        }
    }
  }
  return escaped;
}

std::string SuccessReply(const std::string& phase, const std::string& node_id) {
  return "{\"ok\":true,\"phase\":\"" + phase + "\"" + NodeMember(node_id) + "}";
}

std::string StatusReply(const std::string& phase, const std::string& node_id, bool tunnel_running) {
  return "{\"ok\":true,\"phase\":\"" + phase + "\"" + NodeMember(node_id) +
         ",\"tunnel_running\":" + (tunnel_running ? "true" : "false") + "}";
}

std::string WithReports(const std::string& reply, const std::string& admin_bypass_member,
                        const std::string& route_guard_member) {
  if (reply.empty() || reply.back() != '}') return reply;
  return reply.substr(0, reply.size() - 1) + "," + admin_bypass_member + "," +
         route_guard_member + "}";
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
