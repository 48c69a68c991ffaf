#include "host/package_settings.h"

#include <cwchar>

#include "common/safe_mode_settings.h"
#include "common/service_log.h"
#include "common/wide_text.h"
#include "host/service_install.h"
#include "platform/environment.h"
#include "platform/ip_routes.h"
#include "platform/process.h"
#include "platform/service_control.h"
#include "routes/admin_bypass_candidates.h"

namespace quorvane {
namespace {

constexpr size_t kMaxSecondsDigits = 9;  // well inside what the service reads
constexpr size_t kSettingBytes = 4096;
constexpr wchar_t kQuorvaneKey[] = L"SOFTWARE\\Quorvane";
constexpr wchar_t kSettingsBackupKey[] = L"SOFTWARE\\Quorvane\\Setup";
constexpr wchar_t kBackupUnset[] = L"unset";
constexpr wchar_t kBackupSet[] = L"set:";
constexpr uint32_t kServiceDisabled = 4;
// Where an upgrade says it has begun, for the older product's removal.
constexpr wchar_t kUpgradeKey[] = L"SOFTWARE\\Quorvane\\Upgrade";
constexpr wchar_t kUpgradeStarted[] = L"Started";
constexpr int64_t kUpgradeMarkSeconds = 15 * 60;

bool IsFlag(const std::string& value) { return value == "0" || value == "1"; }

bool IsWholeSeconds(const std::string& value) {
  if (value.empty() || value.size() > kMaxSecondsDigits) return false;
  for (char c : value) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool IsAddressList(const std::string& value) {
  const std::vector<std::string> tokens = SplitBypassTokens(value);
  for (const std::string& token : tokens) {
    platform::Ipv4Address address = 0;
    if (!platform::ParseIpv4Address(token, &address)) return false;
  }
  return !tokens.empty();
}

struct Property {
  const char* name;
  const wchar_t* setting;  // null: not a setting (START)
  bool (*valid)(const std::string& value);
  const char* rule;
};

const Property kProperties[] = {
    {"START", nullptr, [](const std::string& v) { return v == "auto" || v == "demand"; }, "must be auto or demand"},
    {"SAFE_MODE", kSettingDisableDefaultRoute, IsFlag, "must be 0 or 1"},
    {"AUTO_STOP_SECONDS", kSettingAutoStopSeconds, IsWholeSeconds,
     "must be a whole number of seconds (0 for none), at most 9 digits"},
    {"ADMIN_BYPASS", kSettingAdminBypass, IsFlag, "must be 0 or 1"},
    {"ADMIN_BYPASS_IPS", kSettingAdminBypassIps, IsAddressList,
     "must be IPv4 addresses separated by commas"},
};

struct Change {
  const Property* property;
  std::string value;
};

bool Fail(const std::string& message) {
  Diagnose(L"configure failed: " + Utf8ToWide(message) + L"\n");
  return false;
}

bool ReadChanges(const std::vector<std::wstring>& args, std::vector<Change>* changes) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string arg = WideToUtf8(args[i]);
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const Property* property = nullptr;
    for (const Property& known : kProperties) {
      if (name == known.name) property = &known;
    }
    if (equals == std::string::npos || property == nullptr) {
      return Fail("\"" + CapLoggedText(name) + "\" is not NAME=VALUE with a known NAME");
    }
    const std::string value = arg.substr(equals + 1);
    if (value.empty()) continue;  // the property was not given
    if (!property->valid(value)) return Fail(std::string(property->name) + " " + property->rule);
    changes->push_back({property, value});
  }
  return true;
}

bool ApplyStart(const std::string& value) {
  platform::ScHandle manager, service;
  uint32_t error_code = 0;
  const uint32_t access = platform::kServiceChangeConfig | platform::kServiceStart;
  if (!platform::ScmOpenManager(platform::kScManagerConnect, &manager, &error_code) ||
      !platform::ScmOpenService(manager, kControlServiceName, access, &service, &error_code)) {
    return Fail("the service is not registered (error " + std::to_string(error_code) + ")");
  }
  const bool automatic = value == "auto";
  if (!platform::ScmChangeStartType(service, automatic ? platform::kServiceAutoStart : platform::kServiceDemandStart,
                                    &error_code)) {
    return Fail("the start type could not be changed (error " + std::to_string(error_code) + ")");
  }
  // Running now, not only after the next boot; one already running is fine.
  if (automatic && !platform::ScmStartService(service, &error_code) &&
      error_code != platform::kErrorServiceAlreadyRunning) {
    return Fail("the service could not be started (error " + std::to_string(error_code) + ")");
  }
  return true;
}

// Keeps the machine's value of |setting| as it is now, for a rollback.
bool BackUp(const wchar_t* setting) {
  std::wstring before;
  uint32_t error_code = 0;
  const bool present = platform::ReadRegistryString(platform::RegistryRoot::kLocalMachine, kMachineEnvironmentKey,
                                                    setting, kSettingBytes, &before, &error_code);
  if (platform::WriteRegistryString(platform::RegistryRoot::kLocalMachine, kSettingsBackupKey, setting,
                                    present ? kBackupSet + before : std::wstring(kBackupUnset), &error_code)) {
    return true;
  }
  return Fail("the settings could not be kept for a rollback (error " + std::to_string(error_code) + ")");
}

int MarkUpgrade() {
  uint32_t error_code = 0;
  if (!platform::WriteRegistryString(platform::RegistryRoot::kLocalMachine, kUpgradeKey, kUpgradeStarted,
                                     std::to_wstring(platform::UnixTimeSeconds()), &error_code)) {
    Fail("the upgrade could not be marked (error " + std::to_string(error_code) + ")");
    return 1;
  }
  return 0;
}

// What an earlier transaction kept is not this one's to put back: dropped
// before anything else, also when nothing follows.
void DropEarlierBackup() {
  uint32_t error_code = 0;
  platform::DeleteRegistryKey(platform::RegistryRoot::kLocalMachine, kSettingsBackupKey, &error_code);
}

int RemoveSettings() {
  DropEarlierBackup();
  if (UpgradeInProgress()) {
    platform::WriteStdout(L"settings kept for an upgrade\n");
    return 0;
  }
  uint32_t error_code = 0;
  for (const Property& property : kProperties) {
    if (property.setting == nullptr) continue;
    if (!BackUp(property.setting)) return 1;
    if (!platform::DeleteRegistryValue(platform::RegistryRoot::kLocalMachine, kMachineEnvironmentKey,
                                       property.setting, &error_code)) {
      Fail(std::string(property.name) + " could not be removed (error " + std::to_string(error_code) + ")");
      return 1;
    }
  }
  platform::WriteStdout(L"settings removed\n");
  return 0;
}

// Puts back what a change or removal kept; a setting it did not touch is
// left as it is.
int RestoreSettings() {
  bool whole = true;
  for (const Property& property : kProperties) {
    if (property.setting == nullptr) continue;
    std::wstring kept;
    uint32_t error_code = 0;
    if (!platform::ReadRegistryString(platform::RegistryRoot::kLocalMachine, kSettingsBackupKey, property.setting,
                                      kSettingBytes, &kept, &error_code)) {
      continue;
    }
    const bool restored =
        kept.rfind(kBackupSet, 0) == 0
            ? platform::WriteRegistryString(platform::RegistryRoot::kLocalMachine, kMachineEnvironmentKey,
                                            property.setting, kept.substr(4), &error_code)
            : platform::DeleteRegistryValue(platform::RegistryRoot::kLocalMachine, kMachineEnvironmentKey,
                                            property.setting, &error_code);
    if (!restored) {
      Fail(std::string(property.name) + " could not be restored (error " + std::to_string(error_code) + ")");
      whole = false;
    }
  }
  if (!whole) return 1;
  platform::WriteStdout(L"settings restored\n");
  return 0;
}

int ForgetSettingsBackup() {
  uint32_t error_code = 0;
  if (!platform::DeleteRegistryKey(platform::RegistryRoot::kLocalMachine, kQuorvaneKey, &error_code)) {
    Fail("the settings kept for a rollback could not be let go of (error " + std::to_string(error_code) + ")");
    return 1;
  }
  return 0;
}

}  // namespace

bool UpgradeInProgress() {
  std::wstring started;
  uint32_t error_code = 0;
  if (!platform::ReadRegistryString(platform::RegistryRoot::kLocalMachine, kUpgradeKey, kUpgradeStarted, kSettingBytes,
                                    &started, &error_code)) {
    return false;
  }
  const int64_t age = platform::UnixTimeSeconds() - std::wcstoll(started.c_str(), nullptr, 10);
  return age >= 0 && age <= kUpgradeMarkSeconds;
}

void ForgetUpgradeMark() {
  uint32_t error_code = 0;
  platform::DeleteRegistryKey(platform::RegistryRoot::kLocalMachine, kUpgradeKey, &error_code);
}

bool ReadInstallStart(const std::vector<std::wstring>& args, InstallStart* start, std::string* error) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string arg = WideToUtf8(args[i]);
    if (arg.rfind("START=", 0) != 0) {
      *error = "\"" + CapLoggedText(arg) + "\" is not START=<auto|demand>";
      return false;
    }
    const std::string value = arg.substr(6);
    start->start_now = true;
    start->new_type = platform::kServiceAutoStart;
    if (value == "auto" || value == "#2") {
      start->type = platform::kServiceAutoStart;
    } else if (value == "demand" || value == "#3") {
      start->type = platform::kServiceDemandStart;
    } else if (value == "#4") {
      start->type = kServiceDisabled;
    } else if (!value.empty()) {
      *error = "START must be auto or demand";
      return false;
    }
  }
  return true;
}

int RunConfigureCommand(const std::vector<std::wstring>& args) {
  SetServiceLogEnabled(true, LogHolding::kEachLine);
  if (args.size() == 2 && args[1] == L"--remove-settings") return RemoveSettings();
  if (args.size() == 2 && args[1] == L"--restore-settings") return RestoreSettings();
  if (args.size() == 2 && args[1] == L"--forget-settings-backup") return ForgetSettingsBackup();
  if (args.size() == 2 && args[1] == L"--mark-upgrade") return MarkUpgrade();
  DropEarlierBackup();
  std::vector<Change> changes;
  if (!ReadChanges(args, &changes)) return 1;
  uint32_t error_code = 0;
  // The settings first: a service started by START reads them.
  for (const Change& change : changes) {
    if (change.property->setting == nullptr) continue;
    if (!BackUp(change.property->setting)) return 1;
    if (!platform::WriteRegistryString(platform::RegistryRoot::kLocalMachine, kMachineEnvironmentKey,
                                       change.property->setting, Utf8ToWide(change.value), &error_code)) {
      Fail(std::string(change.property->name) + " could not be written (error " + std::to_string(error_code) + ")");
      return 1;
    }
  }
  for (const Change& change : changes) {
    if (change.property->setting == nullptr && !ApplyStart(change.value)) return 1;
  }
  platform::WriteStdout(L"service configured\n");
  return 0;
}

}  // namespace quorvane
