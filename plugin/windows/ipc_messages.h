// The IPC channel's texts: the requests sent to the service and the map made
// of its replies. No JSON library: requests are built, replies searched.
#pragma once

#include <flutter/encodable_value.h>

#include <string>

namespace quorvane_windows_vpn {

// Backslash before each quotation mark and backslash; nothing else changes.
std::string EscapeJsonText(const std::string& text);

// The map's string value under |key|; empty when absent or not a string.
std::string MapString(const flutter::EncodableMap& map, const char* key);

// The profile's fields, each as ,"key":"value", in the service's order.
void AppendProfileFields(const flutter::EncodableMap& profile, std::string* request);

// The request texts, exactly as the service reads them.
std::string RegisterSessionRequest(const std::string& nonce);
std::string StatusRequest();
std::string DisconnectRequest(const std::string& reason);
std::string ConnectRequest(const std::string& nonce, const flutter::EncodableMap& profile);

// "raw", "ok" (the reply holds "ok":true) and, when present, "phase".
flutter::EncodableMap ParseServiceReply(const std::string& reply);

}  // namespace quorvane_windows_vpn
