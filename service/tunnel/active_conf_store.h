// The one WireGuard configuration on disk, "active.conf" under ProgramData:
// its location, its atomic replacement and its removal, all through the
// checked tunnels folder.
#pragma once

#include <string>

#include "tunnel/tunnel_profile.h"

namespace quorvane {

// "%ProgramData%\Quorvane\tunnels"; "C:\ProgramData" stands in for a
// ProgramData that is unset, empty or 260 characters or longer.
std::wstring TunnelDirectory();
constexpr wchar_t kActiveConfName[] = L"active.conf";
std::wstring ActiveConfPath();

// Renders |profile| and replaces the active file through a temporary file.
// On failure |error| (when given) holds the fixed error text.
bool WriteActiveConf(const TunnelProfile& profile, std::string* error);

// Overwrites the active file with zeros and deletes it through its own
// handle; true when there was none. A folder or file that fails its check is
// left untouched and named in |error|.
bool DeleteActiveConf(std::string* error);

// Whether an active file is there, or may be (one that cannot be looked at).
bool ActiveConfPresent();

}  // namespace quorvane
