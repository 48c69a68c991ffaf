#include "common/safe_mode_settings.h"

#include <array>
#include <atomic>

#include "common/ascii_case.h"
#include "common/decimal_text.h"
#include "common/wide_text.h"
#include "platform/environment.h"

namespace quorvane {
namespace {

constexpr size_t kProcessValueChars = 512;

std::atomic<bool> g_service_mode{false};
constexpr size_t kRegistryValueBytes = 2048;

std::string ReadProcessValue(const std::wstring& name) {
  std::wstring value;
  const size_t result = platform::ReadProcessEnvironment(name, kProcessValueChars, &value);
  // 0 is unset or empty; kProcessValueChars or more is a value too long to use.
  if (result == 0 || result >= kProcessValueChars) return std::string();
  return WideToUtf8(value);
}

std::string ReadRegistryValue(platform::RegistryRoot root, const wchar_t* subkey, const std::wstring& name) {
  std::wstring value;
  uint32_t error_code = 0;
  if (!platform::ReadRegistryString(root, subkey, name, kRegistryValueBytes, &value, &error_code)) {
    return std::string();
  }
  return WideToUtf8(value);
}

}  // namespace

SettingSources ReadSettingSources(const std::wstring& name) {
  SettingSources sources;
  sources.process = ReadProcessValue(name);
  sources.machine = ReadRegistryValue(platform::RegistryRoot::kLocalMachine, kMachineEnvironmentKey, name);
  sources.user = ReadRegistryValue(platform::RegistryRoot::kCurrentUser, kUserEnvironmentKey, name);
  const auto order = g_service_mode ? std::array<const std::string*, 3>{&sources.machine, &sources.process, &sources.user}
                                    : std::array<const std::string*, 3>{&sources.process, &sources.machine, &sources.user};
  for (const std::string* source : order) {
    if (!source->empty()) {
      sources.effective = *source;
      break;
    }
  }
  return sources;
}

std::string ReadSetting(const std::wstring& name) { return ReadSettingSources(name).effective; }

void SetServiceMode(bool service_mode) { g_service_mode = service_mode; }

bool InServiceMode() { return g_service_mode; }

bool ParseFlag(const std::string& value) {
  const std::string lower = AsciiLower(value);
  return lower == "1" || lower == "true" || lower == "yes" || lower == "on";
}

int32_t ParsePositiveInt(const std::string& value, int32_t default_value) {
  int32_t parsed = 0;
  if (!ParseLeadingInt32(value, &parsed) || parsed < 1) return default_value;
  return parsed;
}

int32_t AutoStopSeconds() { return ParsePositiveInt(ReadSetting(kSettingAutoStopSeconds), 0); }

uint32_t TunnelStartBoundMs(uint32_t default_ms) {
  constexpr int32_t kHour = 3600;
  const int32_t seconds = ParsePositiveInt(ReadSetting(kSettingTunnelStartSeconds), 0);
  if (seconds <= 0) return default_ms;
  return static_cast<uint32_t>(seconds < kHour ? seconds : kHour) * 1000u;
}

}  // namespace quorvane
