#include "ipc_messages.h"

#include <sstream>
#include <variant>

namespace quorvane_windows_vpn {
namespace {

const flutter::EncodableValue* Find(const flutter::EncodableMap& map, const char* key) {
  const auto found = map.find(flutter::EncodableValue(key));
  return found == map.end() ? nullptr : &found->second;
}

// String elements in list order; ", " before each one not at position 0.
std::string JoinList(const flutter::EncodableMap& profile, const char* key) {
  const flutter::EncodableValue* value = Find(profile, key);
  const auto* list = value != nullptr ? std::get_if<flutter::EncodableList>(value) : nullptr;
  if (list == nullptr) return std::string();
  std::ostringstream joined;
  for (size_t i = 0; i < list->size(); ++i) {
    const auto* text = std::get_if<std::string>(&(*list)[i]);
    if (text == nullptr) continue;
    if (i > 0) joined << ", ";
    joined << *text;
  }
  return joined.str();
}

void AppendField(std::ostringstream& out, const char* key, const std::string& value) {
  if (!value.empty()) out << ",\"" << key << "\":\"" << EscapeJsonText(value) << "\"";
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

std::string MapString(const flutter::EncodableMap& map, const char* key) {
  const flutter::EncodableValue* value = Find(map, key);
  const auto* text = value != nullptr ? std::get_if<std::string>(value) : nullptr;
  return text != nullptr ? *text : std::string();
}

void AppendProfileFields(const flutter::EncodableMap& profile, std::string* request) {
  std::ostringstream out;
  for (const char* key : {"node_id", "device_id", "address_cidr", "endpoint_host", "server_public_key",
                          "client_private_key", "client_public_key", "pre_shared_key", "display_name"}) {
    AppendField(out, key, MapString(profile, key));
  }
  const flutter::EncodableValue* port = Find(profile, "endpoint_port");
  if (port != nullptr && std::holds_alternative<int32_t>(*port)) {
    out << ",\"endpoint_port\":\"" << std::get<int32_t>(*port) << "\"";
  }
  AppendField(out, "dns_csv", JoinList(profile, "dns"));
  AppendField(out, "allowed_ips_csv", JoinList(profile, "allowed_ips"));
  *request += out.str();
}

std::string RegisterSessionRequest(const std::string& nonce) {
  std::ostringstream out;
  out << "{\"v\":1,\"op\":\"register_session\",\"session_nonce\":\"" << EscapeJsonText(nonce) << "\"}";
  return out.str();
}

std::string StatusRequest() { return "{\"v\":1,\"op\":\"status\"}"; }

std::string DisconnectRequest(const std::string& reason) {
  std::ostringstream out;
  out << "{\"v\":1,\"op\":\"disconnect\",\"reason\":\"" << EscapeJsonText(reason) << "\"}";
  return out.str();
}

std::string ConnectRequest(const std::string& nonce, const flutter::EncodableMap& profile) {
  std::string request = "{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"" + EscapeJsonText(nonce) + "\"";
  AppendProfileFields(profile, &request);
  return request + "}";
}

flutter::EncodableMap ParseServiceReply(const std::string& reply) {
  flutter::EncodableMap map;
  map[flutter::EncodableValue("raw")] = flutter::EncodableValue(reply);
  const bool ok = reply.size() >= 9 && reply.find("\"ok\":true") != std::string::npos;
  map[flutter::EncodableValue("ok")] = flutter::EncodableValue(ok);
  const std::string marker = "\"phase\":\"";
  const size_t start = reply.find(marker);
  if (start != std::string::npos) {
    const size_t end = reply.find('"', start + marker.size());
    if (end != std::string::npos) {
      map[flutter::EncodableValue("phase")] =
          flutter::EncodableValue(reply.substr(start + marker.size(), end - start - marker.size()));
    }
  }
  return map;
}

}  // namespace quorvane_windows_vpn
