// The VPN profile file of the command-line client, in the plugin's Dart shape:
// a JSON object of strings, an "endpoint_port" number and "dns" and
// "allowed_ips" lists.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quorvane_ctl {

// One member's value, as far as the client looks at it.
struct ProfileValue {
  enum class Kind { kString, kInt32, kOtherNumber, kList, kOther } kind = Kind::kOther;
  std::string text;                  // kString
  int32_t number = 0;                // kInt32
  std::vector<ProfileValue> items;   // kList
};

using Profile = std::map<std::string, ProfileValue>;

// Reads a JSON object; false with |error| when the text is not one.
bool ParseProfileJson(const std::string& text, Profile* profile, std::string* error);

}  // namespace quorvane_ctl
