// The one WireGuard configuration on disk, "active.conf" under ProgramData:
// its location, its atomic replacement, its access list and its removal.
#pragma once

#include <string>

#include "tunnel/tunnel_profile.h"

namespace quorvane {

// "%ProgramData%\Quorvane\tunnels"; "C:\ProgramData" stands in for a
// ProgramData that is unset, empty or 260 characters or longer.
std::wstring TunnelDirectory();
std::wstring ActiveConfPath();

// Renders |profile| and replaces the active file through a temporary file.
// On failure |error| (when given) holds the fixed error text.
bool WriteActiveConf(const TunnelProfile& profile, std::string* error);

// Overwrites the active file with zeros and deletes it; true when there was none.
bool DeleteActiveConf(std::string* error);

// Replaces the object's access list by a protected one granting full access
// to LocalSystem and Administrators alone. Callers ignore the result.
bool ApplyProtectedAcl(const std::wstring& path);

}  // namespace quorvane
