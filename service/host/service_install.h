// Registration of the control service "QuorvaneVpnTunnel" with the Service
// Control Manager, and its removal.
#pragma once

#include <cstdint>
#include <string>

namespace quorvane {

constexpr wchar_t kControlServiceName[] = L"QuorvaneVpnTunnel";
constexpr wchar_t kServiceDescription[] =
    L"Brings the Quorvane VPN tunnel up and down for the desktop app and guards the PC's routes.";
// After a crash the manager starts the service again after 5 s, twice; the
// count starts again after a day without one.
constexpr uint32_t kRestartDelayMs = 5000;
constexpr int kRestartsAfterFailure = 2;
constexpr uint32_t kFailureResetSeconds = 24 * 60 * 60;

// What "--install" does with the start type. Without a START argument (by
// hand) a new registration starts on demand; with one given empty (the
// package, where an administrator gave none) a new one starts automatically;
// either way an existing one keeps its type. A START value sets the type.
// With a START argument, a service whose type is then automatic is started.
struct InstallStart {
  bool start_now = false;
  uint32_t new_type = 3;  // demand
  uint32_t type = 0;      // 0: keep an existing registration's type
};

// Registers the service to run |program_path| with "--run-as-service", with
// its description and restart-on-failure actions, or brings an existing
// registration up to date in place (an upgrade keeps it: someone may hold it
// open). A registration marked for deletion is waited for a few seconds. On
// failure |error| names the call and its Windows error code, and access
// denied says to run elevated.
bool InstallService(const std::wstring& program_path, const InstallStart& start, std::string* error);

// Marks the service for deletion (it goes once stopped and no handle to it
// is left); success also when it was not installed.
bool UninstallService(std::string* error);

// "OpenSCManager failed (error 5): access denied; run it elevated, as an
// administrator", and without the hint for other codes.
std::string CallFailed(const char* call, uint32_t error_code);

}  // namespace quorvane
