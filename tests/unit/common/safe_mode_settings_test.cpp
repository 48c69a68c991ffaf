#include "common/safe_mode_settings.h"

#include <gtest/gtest.h>

#include <cwchar>

#include "fake_windows_test.h"

namespace quorvane {
namespace {

using platform::RegistryRoot;
using platform::fake::RegistryType;

void SetMachine(const std::wstring& name, const std::wstring& value, RegistryType type = RegistryType::kString) {
  platform::fake::SetRegistryValue(RegistryRoot::kLocalMachine, kMachineEnvironmentKey, name, value, type);
}

void SetUser(const std::wstring& name, const std::wstring& value, RegistryType type = RegistryType::kString) {
  platform::fake::SetRegistryValue(RegistryRoot::kCurrentUser, kUserEnvironmentKey, name, value, type);
}

class SafeModeSettingsTest : public FakeWindowsTest {};

TEST_F(SafeModeSettingsTest, AllSourcesEmpty_EffectiveIsEmpty) {
  const SettingSources sources = ReadSettingSources(kSettingDisableDefaultRoute);
  EXPECT_EQ(sources.process, "");
  EXPECT_EQ(sources.machine, "");
  EXPECT_EQ(sources.user, "");
  EXPECT_EQ(sources.effective, "");
}

// A service's process environment is the one read at boot: a machine value
// set since must win there, while console mode keeps its own environment first.
TEST_F(SafeModeSettingsTest, ServiceMode_MachineValueAtTheTimeOfUseWins) {
  const struct {
    bool service_mode;
    const wchar_t* process;
    const wchar_t* machine;
    const char* effective;
  } cases[] = {
      {true, L"0", L"1", "1"},  // switched on after the service started
      {true, L"1", L"", "1"},   // no machine value: the process one
      {false, L"0", L"1", "0"},
      {false, L"", L"1", "1"},
  };
  for (const auto& c : cases) {
    platform::fake::Reset();
    SetServiceMode(c.service_mode);
    platform::fake::SetProcessEnvironment(kSettingDisableDefaultRoute, c.process);
    SetMachine(kSettingDisableDefaultRoute, c.machine);
    const SettingSources sources = ReadSettingSources(kSettingDisableDefaultRoute);
    EXPECT_EQ(sources.effective, c.effective) << c.service_mode;
    EXPECT_EQ(sources.process, std::string(c.process, c.process + std::wcslen(c.process))) << "both are reported";
  }
  SetServiceMode(false);
}

TEST_F(SafeModeSettingsTest, MachineOnlyValue_IsEffective) {
  SetMachine(kSettingDisableDefaultRoute, L"1");
  const SettingSources sources = ReadSettingSources(kSettingDisableDefaultRoute);
  EXPECT_EQ(sources.machine, "1");
  EXPECT_EQ(sources.effective, "1");
  EXPECT_TRUE(ParseFlag(ReadSetting(kSettingDisableDefaultRoute)));
}

TEST_F(SafeModeSettingsTest, Precedence_IsProcessThenMachineThenUser) {
  platform::fake::SetProcessEnvironment(kSettingDisableDefaultRoute, L"0");
  SetMachine(kSettingDisableDefaultRoute, L"1");
  SetUser(kSettingDisableDefaultRoute, L"yes");
  SettingSources sources = ReadSettingSources(kSettingDisableDefaultRoute);
  EXPECT_EQ(sources.process, "0");
  EXPECT_EQ(sources.machine, "1");
  EXPECT_EQ(sources.user, "yes");
  EXPECT_EQ(sources.effective, "0");
  EXPECT_FALSE(ParseFlag(sources.effective));

  platform::fake::SetProcessEnvironment(kSettingDisableDefaultRoute, L"");  // empty counts as unset
  EXPECT_EQ(ReadSetting(kSettingDisableDefaultRoute), "1");
  SetMachine(kSettingDisableDefaultRoute, L"");
  EXPECT_EQ(ReadSetting(kSettingDisableDefaultRoute), "yes");
}

TEST_F(SafeModeSettingsTest, ProcessValueOf512CharactersOrMore_IsUnsetAndMachineWins) {
  SetMachine(kSettingAutoStopSeconds, L"45");
  platform::fake::SetProcessEnvironment(kSettingAutoStopSeconds, L"7" + std::wstring(510, L' '));  // 511
  EXPECT_EQ(ReadSettingSources(kSettingAutoStopSeconds).process.size(), 511u);
  platform::fake::SetProcessEnvironment(kSettingAutoStopSeconds, L"7" + std::wstring(511, L' '));  // 512
  const SettingSources sources = ReadSettingSources(kSettingAutoStopSeconds);
  EXPECT_EQ(sources.process, "");
  EXPECT_EQ(sources.effective, "45");
}

TEST_F(SafeModeSettingsTest, RegistryValueLargerThan2048Bytes_IsEmpty) {
  SetMachine(kSettingAdminBypassIps, std::wstring(1023, L'1'));  // 1023 characters + NUL = 2048 bytes
  EXPECT_EQ(ReadSettingSources(kSettingAdminBypassIps).machine.size(), 1023u);
  SetMachine(kSettingAdminBypassIps, std::wstring(1024, L'1'));
  EXPECT_EQ(ReadSettingSources(kSettingAdminBypassIps).machine, "");
}

TEST_F(SafeModeSettingsTest, UnreadableOrWrongTypeSources_AreEmptyAndReadingGoesOn) {
  SetMachine(kSettingDisableDefaultRoute, L"1", RegistryType::kDword);
  SetUser(kSettingDisableDefaultRoute, L"on");
  EXPECT_EQ(ReadSetting(kSettingDisableDefaultRoute), "on");

  SetMachine(kSettingDisableDefaultRoute, L"1");
  platform::fake::FailNextCall("ReadRegistryString", platform::fake::kErrorAccessDenied);
  const SettingSources sources = ReadSettingSources(kSettingDisableDefaultRoute);
  EXPECT_EQ(sources.machine, "");
  EXPECT_EQ(sources.effective, "on");
}

TEST_F(SafeModeSettingsTest, SourcesAreReadFromTheDocumentedKeys) {
  ReadSettingSources(kSettingAdminBypass);
  const std::vector<std::string> expected = {
      "ReadProcessEnvironment QUORVANE_POC_ADMIN_BYPASS",
      "ReadRegistryString HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment\\"
      "QUORVANE_POC_ADMIN_BYPASS",
      "ReadRegistryString HKCU\\Environment\\QUORVANE_POC_ADMIN_BYPASS",
  };
  EXPECT_EQ(platform::fake::Journal(), expected);
}

TEST_F(SafeModeSettingsTest, ExpandableAndNonAsciiValues_ComeBackAsUtf8Text) {
  SetUser(kSettingAdminBypassIp, L"%SystemRoot%\\\u00e9", RegistryType::kExpandString);
  EXPECT_EQ(ReadSetting(kSettingAdminBypassIp), "%SystemRoot%\\\xC3\xA9");
}

TEST(ParseFlag, TrueWordsInAnyCase_AreTrue) {
  for (const char* word : {"1", "true", "TRUE", "True", "tRuE", "yes", "YES", "Yes", "on", "ON", "oN"}) {
    EXPECT_TRUE(ParseFlag(word)) << word;
  }
}

TEST(ParseFlag, EverythingElse_IsFalse) {
  for (const char* word : {"", "0", "false", "no", "off", " 1", "1 ", "y", "enable", "2", "01", "on\n"}) {
    EXPECT_FALSE(ParseFlag(word)) << word;
  }
}

TEST(ParsePositiveInt, RulesForNumbersAndDefaults) {
  EXPECT_EQ(ParsePositiveInt("30", 0), 30);
  EXPECT_EQ(ParsePositiveInt("30s", 0), 30);
  EXPECT_EQ(ParsePositiveInt(" 30", 0), 30);
  EXPECT_EQ(ParsePositiveInt("1", 7), 1);
  EXPECT_EQ(ParsePositiveInt("0", 7), 7);
  EXPECT_EQ(ParsePositiveInt("-5", 7), 7);
  EXPECT_EQ(ParsePositiveInt("abc", 7), 7);
  EXPECT_EQ(ParsePositiveInt("", 7), 7);
  EXPECT_EQ(ParsePositiveInt("2147483648", 7), 7);
  EXPECT_EQ(ParsePositiveInt("2147483647", 7), 2147483647);
}

TEST_F(SafeModeSettingsTest, AutoStopSeconds_UsesTheSettingInForce) {
  EXPECT_EQ(AutoStopSeconds(), 0);
  SetMachine(kSettingAutoStopSeconds, L"30x");
  EXPECT_EQ(AutoStopSeconds(), 30);
  platform::fake::SetProcessEnvironment(kSettingAutoStopSeconds, L"-1");
  EXPECT_EQ(AutoStopSeconds(), 0);  // the process value wins, and is not positive
}

}  // namespace
}  // namespace quorvane
