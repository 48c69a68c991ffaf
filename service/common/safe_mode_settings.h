// Safe-mode settings: environment variables read from the process, the machine
// and the user environment, since a service only sees the environment it was
// started with.
#pragma once

#include <cstdint>
#include <string>

namespace quorvane {

constexpr wchar_t kSettingDisableDefaultRoute[] = L"QUORVANE_POC_DISABLE_DEFAULT_ROUTE";
constexpr wchar_t kSettingAutoStopSeconds[] = L"QUORVANE_POC_AUTO_STOP_SECONDS";
constexpr wchar_t kSettingAdminBypass[] = L"QUORVANE_POC_ADMIN_BYPASS";
constexpr wchar_t kSettingDisableStartupMutation[] = L"QUORVANE_POC_DISABLE_ALL_NETWORK_MUTATION_ON_STARTUP";
// How long a connect waits for the tunnel service to report running.
constexpr wchar_t kSettingTunnelStartSeconds[] = L"QUORVANE_POC_TUNNEL_START_SECONDS";
constexpr wchar_t kSettingAdminBypassIp[] = L"ADMIN_BYPASS_IP";
constexpr wchar_t kSettingAdminBypassIps[] = L"ADMIN_BYPASS_IPS";

constexpr wchar_t kMachineEnvironmentKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr wchar_t kUserEnvironmentKey[] = L"Environment";

// One setting as each source holds it (UTF-8, untrimmed), and the value in
// force: the first non-empty of process, machine, user. A Windows service's
// process environment is the one the service manager read at boot, so in
// service mode the machine value, read from the registry at the time of use,
// comes first: machine, process, user.
struct SettingSources {
  std::string process;
  std::string machine;
  std::string user;
  std::string effective;
};

// Never fails: a source that is unset, unreadable, of another type or too long
// reads as empty.
SettingSources ReadSettingSources(const std::wstring& name);
std::string ReadSetting(const std::wstring& name);

// Set once by the service main routine: settings then follow the machine
// environment as it is now.
void SetServiceMode(bool service_mode);
bool InServiceMode();

// True exactly for "1", "true", "yes", "on" in any ASCII case; no trimming.
bool ParseFlag(const std::string& value);

// The leading decimal number of |value| when it is at least 1 and fits 32 bits;
// otherwise (empty, no digits, out of range, below 1) |default_value|.
int32_t ParsePositiveInt(const std::string& value, int32_t default_value);

// "QUORVANE_POC_AUTO_STOP_SECONDS" in force; 0 means no automatic stop.
int32_t AutoStopSeconds();

// "QUORVANE_POC_TUNNEL_START_SECONDS" in force, at most an hour; |default_ms| without it.
uint32_t TunnelStartBoundMs(uint32_t default_ms);

}  // namespace quorvane
