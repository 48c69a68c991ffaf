// The VPN profile file of the command-line client, in the plugin's Dart shape
// (strings, an "endpoint_port" number, "dns" and "allowed_ips" lists), read
// into the values that Dart would hand the plugin: numbers that fit 32 bits
// as int32, other integers as int64, the rest as double.
#pragma once

#include <flutter/encodable_value.h>

#include <string>

namespace quorvane_ctl {

// Reads a JSON object; false with |error| when the text is not one.
bool ParseProfileJson(const std::string& text, flutter::EncodableMap* profile, std::string* error);

}  // namespace quorvane_ctl
