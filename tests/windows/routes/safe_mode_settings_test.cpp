// The settings reader against the real registry and environment.
#include "common/safe_mode_settings.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "test_registry.h"

namespace quorvane {
namespace {

TEST(SafeModeSettingsOnWindows, MachineOnlyValue_BecomesEffective) {
  ScopedRegistryValue machine(HKEY_LOCAL_MACHINE, kMachineEnvironmentKey, kSettingDisableDefaultRoute, L"1");
  ASSERT_TRUE(machine.ok());
  const SettingSources sources = ReadSettingSources(kSettingDisableDefaultRoute);
  EXPECT_EQ(sources.process, "");
  EXPECT_EQ(sources.machine, "1");
  EXPECT_EQ(sources.effective, "1");
  EXPECT_TRUE(ParseFlag(ReadSetting(kSettingDisableDefaultRoute)));
}

TEST(SafeModeSettingsOnWindows, ProcessValueWinsOverMachineAndUser) {
  ScopedRegistryValue machine(HKEY_LOCAL_MACHINE, kMachineEnvironmentKey, kSettingAutoStopSeconds, L"45");
  ScopedRegistryValue user(HKEY_CURRENT_USER, kUserEnvironmentKey, kSettingAutoStopSeconds, L"60");
  ASSERT_TRUE(machine.ok() && user.ok());
  EXPECT_EQ(AutoStopSeconds(), 45);
  {
    ScopedEnvironmentValue process(kSettingAutoStopSeconds, L"30s");
    const SettingSources sources = ReadSettingSources(kSettingAutoStopSeconds);
    EXPECT_EQ(sources.process, "30s");
    EXPECT_EQ(sources.machine, "45");
    EXPECT_EQ(sources.user, "60");
    EXPECT_EQ(AutoStopSeconds(), 30);
  }
  // A process value too long to read counts as unset.
  ScopedEnvironmentValue too_long(kSettingAutoStopSeconds, std::wstring(600, L'9'));
  EXPECT_EQ(ReadSettingSources(kSettingAutoStopSeconds).process, "");
  EXPECT_EQ(AutoStopSeconds(), 45);
}

TEST(SafeModeSettingsOnWindows, UserOnlyAndExpandableValues_AreRead) {
  ScopedRegistryValue user(HKEY_CURRENT_USER, kUserEnvironmentKey, kSettingAdminBypassIps, L"%BYPASS%,203.0.113.9",
                           REG_EXPAND_SZ);
  ASSERT_TRUE(user.ok());
  const SettingSources sources = ReadSettingSources(kSettingAdminBypassIps);
  EXPECT_EQ(sources.machine, "");
  EXPECT_EQ(sources.user, "%BYPASS%,203.0.113.9");
  EXPECT_EQ(sources.effective, "%BYPASS%,203.0.113.9");
}

}  // namespace
}  // namespace quorvane
