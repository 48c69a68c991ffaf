// Registration of the control service "QuorvaneVpnTunnel" with the Service
// Control Manager, and its removal.
#pragma once

#include <string>

namespace quorvane {

constexpr wchar_t kControlServiceName[] = L"QuorvaneVpnTunnel";

// Registers the service to run |program_path| with "--run-as-service". An
// existing registration counts as success and is left as it is. On failure
// |error| is "OpenSCManager failed" or "CreateService failed".
bool InstallService(const std::wstring& program_path, std::string* error);

// Marks the service for deletion (it goes once stopped and no handle to it
// is left); success also when it was not installed.
bool UninstallService(std::string* error);

}  // namespace quorvane
