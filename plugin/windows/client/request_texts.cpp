#include "request_texts.h"

#include <sstream>

namespace quorvane_windows_vpn {
namespace {

// String elements in list order; ", " before each one not at position 0.
std::string JoinList(const std::vector<std::optional<std::string>>& list) {
  std::ostringstream joined;
  for (size_t i = 0; i < list.size(); ++i) {
    if (!list[i]) continue;
    if (i > 0) joined << ", ";
    joined << *list[i];
  }
  return joined.str();
}

void AppendField(std::ostringstream& out, const char* key, const std::string& value) {
  if (!value.empty()) out << ",\"" << key << "\":\"" << EscapeJsonText(value) << "\"";
}

std::string Text(const ConnectProfile& profile, const char* key) {
  const auto found = profile.texts.find(key);
  return found == profile.texts.end() ? std::string() : found->second;
}

}  // namespace

std::string EscapeJsonText(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    if (c == '"' || c == '\\') escaped.push_back('\\');
    escaped.push_back(c);
  }
  return escaped;
}

std::string RegisterSessionRequest(const std::string& nonce) {
  return "{\"v\":1,\"op\":\"register_session\",\"session_nonce\":\"" + EscapeJsonText(nonce) + "\"}";
}

std::string StatusRequest() { return "{\"v\":1,\"op\":\"status\"}"; }

std::string WatchRequest(std::optional<uint64_t> since) {
  if (!since) return "{\"v\":1,\"op\":\"watch\"}";
  return "{\"v\":1,\"op\":\"watch\",\"since\":\"" + std::to_string(*since) + "\"}";
}

std::string DisconnectRequest(const std::string& reason) {
  return "{\"v\":1,\"op\":\"disconnect\",\"reason\":\"" + EscapeJsonText(reason) + "\"}";
}

std::string ConnectRequest(const std::string& nonce, const ConnectProfile& profile) {
  std::ostringstream out;
  out << "{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"" << EscapeJsonText(nonce) << "\"";
  for (const char* key : {"node_id", "device_id", "address_cidr", "endpoint_host", "server_public_key",
                          "client_private_key", "client_public_key", "pre_shared_key", "display_name"}) {
    AppendField(out, key, Text(profile, key));
  }
  if (profile.endpoint_port) out << ",\"endpoint_port\":\"" << *profile.endpoint_port << "\"";
  AppendField(out, "dns_csv", JoinList(profile.dns));
  AppendField(out, "allowed_ips_csv", JoinList(profile.allowed_ips));
  out << "}";
  return out.str();
}

ServiceReply ParseServiceReply(const std::string& reply) {
  ServiceReply parsed;
  parsed.raw = reply;
  parsed.ok = reply.size() >= 9 && reply.find("\"ok\":true") != std::string::npos;
  const std::string marker = "\"phase\":\"";
  const size_t start = reply.find(marker);
  if (start != std::string::npos) {
    const size_t end = reply.find('"', start + marker.size());
    if (end != std::string::npos) parsed.phase = reply.substr(start + marker.size(), end - start - marker.size());
  }
  const std::string generation = "\"generation\":";
  const size_t number = reply.find(generation);
  if (parsed.ok && number != std::string::npos) {
    const size_t digits = number + generation.size();
    const size_t end = reply.find_first_not_of("0123456789", digits);
    const std::string text = reply.substr(digits, end == std::string::npos ? std::string::npos : end - digits);
    if (!text.empty() && text.size() <= 19) parsed.generation = std::stoull(text);
  }
  return parsed;
}

}  // namespace quorvane_windows_vpn
