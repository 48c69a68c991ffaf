#include "ctl_requests.h"

namespace quorvane_ctl {
namespace {

std::string StringField(const Profile& profile, const std::string& key) {
  const auto found = profile.find(key);
  return found != profile.end() && found->second.kind == ProfileValue::Kind::kString ? found->second.text : "";
}

void AppendField(const std::string& key, const std::string& value, std::string* request) {
  if (!value.empty()) *request += ",\"" + key + "\":\"" + EscapeJsonText(value) + "\"";
}

// String elements joined by ", "; the separator goes before every string that
// is not at position 0, even when the elements before it were skipped.
std::string JoinedList(const Profile& profile, const std::string& key) {
  const auto found = profile.find(key);
  if (found == profile.end() || found->second.kind != ProfileValue::Kind::kList) return "";
  std::string joined;
  for (size_t i = 0; i < found->second.items.size(); ++i) {
    const ProfileValue& item = found->second.items[i];
    if (item.kind != ProfileValue::Kind::kString) continue;
    if (i > 0) joined += ", ";
    joined += item.text;
  }
  return joined;
}

}  // namespace

std::string EscapeJsonText(const std::string& text) {
  std::string escaped;
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

std::string DisconnectRequest(const std::string& reason) {
  return "{\"v\":1,\"op\":\"disconnect\",\"reason\":\"" + EscapeJsonText(reason) + "\"}";
}

std::string ConnectRequest(const std::string& nonce, const Profile& profile) {
  std::string request = "{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"" + EscapeJsonText(nonce) + "\"";
  for (const char* key : {"node_id", "device_id", "address_cidr", "endpoint_host", "server_public_key",
                          "client_private_key", "client_public_key", "pre_shared_key", "display_name"}) {
    AppendField(key, StringField(profile, key), &request);
  }
  const auto port = profile.find("endpoint_port");
  if (port != profile.end() && port->second.kind == ProfileValue::Kind::kInt32) {
    request += ",\"endpoint_port\":\"" + std::to_string(port->second.number) + "\"";
  }
  AppendField("dns_csv", JoinedList(profile, "dns"), &request);
  AppendField("allowed_ips_csv", JoinedList(profile, "allowed_ips"), &request);
  return request + "}";
}

bool ReplySaysOk(const std::string& reply) { return reply.find("\"ok\":true") != std::string::npos; }

}  // namespace quorvane_ctl
