// The request texts of the command-line client, byte for byte as the Flutter
// plugin sends them.
#pragma once

#include <string>

#include "profile_json.h"

namespace quorvane_ctl {

// Backslash before each quotation mark and backslash; nothing else changes.
std::string EscapeJsonText(const std::string& text);

std::string RegisterSessionRequest(const std::string& nonce);
std::string StatusRequest();
std::string DisconnectRequest(const std::string& reason);
std::string ConnectRequest(const std::string& nonce, const Profile& profile);

// True when the reply holds "ok":true, as the plugin decides it.
bool ReplySaysOk(const std::string& reply);

}  // namespace quorvane_ctl
