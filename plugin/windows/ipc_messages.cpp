#include "ipc_messages.h"

#include <variant>

namespace quorvane_windows_vpn {
namespace {

const flutter::EncodableValue* Find(const flutter::EncodableMap& map, const char* key) {
  const auto found = map.find(flutter::EncodableValue(key));
  return found == map.end() ? nullptr : &found->second;
}

std::vector<std::optional<std::string>> ListOfTexts(const flutter::EncodableMap& map, const char* key) {
  std::vector<std::optional<std::string>> texts;
  const flutter::EncodableValue* value = Find(map, key);
  const auto* list = value != nullptr ? std::get_if<flutter::EncodableList>(value) : nullptr;
  if (list == nullptr) return texts;
  for (const flutter::EncodableValue& element : *list) {
    const auto* text = std::get_if<std::string>(&element);
    texts.push_back(text != nullptr ? std::optional<std::string>(*text) : std::nullopt);
  }
  return texts;
}

}  // namespace

std::string MapString(const flutter::EncodableMap& map, const char* key) {
  const flutter::EncodableValue* value = Find(map, key);
  const auto* text = value != nullptr ? std::get_if<std::string>(value) : nullptr;
  return text != nullptr ? *text : std::string();
}

std::optional<uint64_t> MapCount(const flutter::EncodableMap& map, const char* key) {
  const flutter::EncodableValue* value = Find(map, key);
  if (value == nullptr) return std::nullopt;
  int64_t number = -1;
  if (const auto* small = std::get_if<int32_t>(value)) number = *small;
  if (const auto* large = std::get_if<int64_t>(value)) number = *large;
  if (number < 0) return std::nullopt;
  return static_cast<uint64_t>(number);
}

ConnectProfile ProfileFromMap(const flutter::EncodableMap& map) {
  ConnectProfile profile;
  for (const auto& [key, value] : map) {
    const auto* name = std::get_if<std::string>(&key);
    const auto* text = std::get_if<std::string>(&value);
    if (name != nullptr && text != nullptr) profile.texts[*name] = *text;
  }
  const flutter::EncodableValue* port = Find(map, "endpoint_port");
  if (port != nullptr && std::holds_alternative<int32_t>(*port)) profile.endpoint_port = std::get<int32_t>(*port);
  profile.dns = ListOfTexts(map, "dns");
  profile.allowed_ips = ListOfTexts(map, "allowed_ips");
  return profile;
}

flutter::EncodableMap ReplyToMap(const ServiceReply& reply) {
  flutter::EncodableMap map;
  map[flutter::EncodableValue("raw")] = flutter::EncodableValue(reply.raw);
  map[flutter::EncodableValue("ok")] = flutter::EncodableValue(reply.ok);
  if (reply.phase) map[flutter::EncodableValue("phase")] = flutter::EncodableValue(*reply.phase);
  return map;
}

}  // namespace quorvane_windows_vpn
