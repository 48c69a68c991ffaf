// The VPN profile file of the command-line client, in the plugin's Dart shape
// (strings, an "endpoint_port" number, "dns" and "allowed_ips" lists), read
// into what Dart would hand the plugin: string fields, a port only from a
// number that fits 32 bits, the lists' string elements in their places.
#pragma once

#include <string>

#include "request_texts.h"

namespace quorvane_ctl {

// Reads a JSON object; false with |error| when the text is not one.
bool ParseProfileJson(const std::string& text, quorvane_windows_vpn::ConnectProfile* profile, std::string* error);

}  // namespace quorvane_ctl
