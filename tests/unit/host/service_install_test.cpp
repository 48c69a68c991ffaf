// What an administrator's fleet tools rely on at install, upgrade and
// removal: the registration kept and brought up to date, the start type as
// chosen, honest exit codes, the settings and what a rollback puts back.
#include "host/service_install.h"

#include <gtest/gtest.h>

#include "common/safe_mode_settings.h"
#include "common/service_log.h"
#include "common/wide_text.h"
#include "common/windows_events.h"
#include "fake_windows_test.h"
#include "host/command_line.h"
#include "platform/environment.h"

namespace quorvane {
namespace {

using platform::fake::FindService;
using platform::RegistryRoot;

constexpr uint32_t kAuto = platform::kServiceAutoStart;
constexpr uint32_t kDemand = platform::kServiceDemandStart;

class ServiceSetupTest : public FakeWindowsTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(platform::fake::OpenScHandleCount(), 0);
    SetServiceLogEnabled(false);
    FakeWindowsTest::TearDown();
  }
  static void SeedControlService(uint32_t start_type, uint32_t state) {
    platform::fake::FakeService service;
    service.registration.name = kControlServiceName;
    service.registration.binary_path = L"\"C:\\Program Files\\Quorvane\\old.exe\" --run-as-service";
    service.registration.start_type = start_type;
    service.state = state;
    platform::fake::SeedService(service);
  }
  static std::wstring Machine(const wchar_t* setting) {
    std::wstring value;
    uint32_t error_code = 0;
    if (!platform::ReadRegistryString(RegistryRoot::kLocalMachine, kMachineEnvironmentKey, setting, 256, &value,
                                      &error_code)) {
      return L"(unset)";
    }
    return value;
  }
};

// An upgrade registers over what is there; a repair never gets here. The
// start type changes only when START says so.
TEST_F(ServiceSetupTest, Install_KeepsOrSetsTheStartTypeAndUpdatesTheRegistrationInPlace) {
  constexpr uint32_t kNone = 0;
  const struct {
    const char* label;
    uint32_t existing;  // kNone: not registered
    std::vector<std::wstring> args;
    uint32_t start_type;
    bool started;
  } cases[] = {
      {"by hand, new", kNone, {}, kDemand, false},
      {"package, new, no START", kNone, {L"START="}, kAuto, true},
      {"package, new, START=demand", kNone, {L"START=demand"}, kDemand, false},
      {"upgrade of an automatic one", kAuto, {L"START="}, kAuto, true},
      {"upgrade of a demand one", kDemand, {L"START="}, kDemand, false},
      {"rollback to what it was", kDemand, {L"START=#2"}, kAuto, true},
      {"by hand over an automatic one", kAuto, {}, kAuto, false},
  };
  for (const auto& c : cases) {
    platform::fake::Reset();
    if (c.existing != kNone) SeedControlService(c.existing, platform::kServiceStopped);
    std::vector<std::wstring> args = {L"--install"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(RunCommandLine(args), 0) << c.label << ": " << WideToUtf8(platform::fake::StderrText());
    const auto service = FindService(kControlServiceName);
    ASSERT_TRUE(service.has_value()) << c.label;
    EXPECT_EQ(service->registration.start_type, c.start_type) << c.label;
    EXPECT_EQ(service->state == platform::kServiceRunning, c.started) << c.label;
    EXPECT_EQ(service->registration.binary_path,
              L"\"C:\\Program Files\\Quorvane\\QuorvaneVpnService.exe\" --run-as-service")
        << c.label;
    EXPECT_EQ(service->registration.dependencies, (std::vector<std::wstring>{L"Nsi", L"TcpIp"})) << c.label;
    EXPECT_EQ(service->description, kServiceDescription) << c.label;
    EXPECT_EQ(service->restart_delays_ms, (std::vector<uint32_t>{5000, 5000})) << c.label;
    EXPECT_EQ(service->failure_reset_seconds, 86400u) << c.label;
    EXPECT_TRUE(platform::fake::RegistryValueExists(RegistryRoot::kLocalMachine, kEventSourceKey,
                                                    L"EventMessageFile"))
        << c.label;
  }
  platform::fake::Reset();
  EXPECT_EQ(RunCommandLine({L"--install", L"START=sometimes"}), 1);
  EXPECT_EQ(platform::fake::StderrText(), L"install failed: START must be auto or demand\n");
  EXPECT_FALSE(FindService(kControlServiceName).has_value());
}

// Another program holds a service that was marked for deletion: the install
// waits a while, then says what holds it up.
TEST_F(ServiceSetupTest, Install_OverAServiceMarkedForDeletionAndHeld_FailsNamingTheHolder) {
  platform::fake::FakeService marked;
  marked.registration.name = kControlServiceName;
  marked.marked_for_delete = true;
  marked.held_elsewhere_for_opens = -1;
  platform::fake::SeedService(marked);
  EXPECT_EQ(RunCommandLine({L"--install", L"START="}), 1);
  const std::string said = WideToUtf8(platform::fake::StderrText());
  EXPECT_EQ(said.rfind("install failed: CreateService failed (error 1072): the service is marked for deletion and "
                       "another program still holds it open",
                       0),
            0u)
      << said;
  EXPECT_GE(platform::fake::SleptMilliseconds(), 4000u) << "tried again for a few seconds";
}

// Exit 0 means the service is gone: fleet tools act on it.
TEST_F(ServiceSetupTest, Uninstall_ExitsOneUnlessTheServiceIsGone) {
  SeedControlService(kAuto, platform::kServiceRunning);
  std::string error;
  ASSERT_TRUE(InstallEventSource(L"C:\\Program Files\\Quorvane\\QuorvaneVpnService.exe", &error)) << error;
  platform::fake::FailNextCall("ScmDeleteService", 5);
  EXPECT_EQ(RunCommandLine({L"--uninstall"}), 1);
  EXPECT_EQ(platform::fake::StdoutText(), L"");
  EXPECT_NE(platform::fake::StderrText().find(
                L"uninstall failed: DeleteService failed (error 5): access denied; run it elevated"),
            std::wstring::npos);
  EXPECT_TRUE(FindService(kControlServiceName).has_value());

  // An upgrade replaces the program: the service stops, the registration stays.
  platform::fake::Reset();
  SeedControlService(kAuto, platform::kServiceRunning);
  EXPECT_EQ(RunCommandLine({L"--uninstall", L"--keep-registration"}), 0);
  EXPECT_EQ(platform::fake::StdoutText(), L"service stopped for an upgrade\n");
  ASSERT_TRUE(FindService(kControlServiceName).has_value());
  EXPECT_EQ(FindService(kControlServiceName)->state, platform::kServiceStopped);
  EXPECT_EQ(FindService(kControlServiceName)->registration.start_type, kAuto);

  // A control service still starting takes no stop (1061): it is asked again.
  platform::fake::Reset();
  SeedControlService(kAuto, platform::kServiceStartPending);
  platform::fake::FakeService starting = *FindService(kControlServiceName);
  starting.start_behaviour = platform::fake::StartBehaviour::kRunsAfterPolls;
  starting.polls_until_started = 3;
  platform::fake::SeedService(starting);
  ASSERT_TRUE(InstallEventSource(L"C:\\Program Files\\Quorvane\\QuorvaneVpnService.exe", &error)) << error;
  EXPECT_EQ(RunCommandLine({L"--uninstall"}), 0) << WideToUtf8(platform::fake::StderrText());
  EXPECT_EQ(platform::fake::StdoutText(), L"service uninstalled\n");
  EXPECT_FALSE(FindService(kControlServiceName).has_value());
  EXPECT_FALSE(platform::fake::RegistryValueExists(RegistryRoot::kLocalMachine, kEventSourceKey, L"EventMessageFile"));
}

// A transaction keeps what it changes; its rollback puts that back, and a
// real removal takes every setting.
TEST_F(ServiceSetupTest, Settings_AreKeptForARollbackRestoredAndRemoved) {
  platform::fake::SetRegistryValue(RegistryRoot::kLocalMachine, kMachineEnvironmentKey, kSettingAutoStopSeconds,
                                   L"600");
  ASSERT_EQ(RunCommandLine({L"--configure", L"SAFE_MODE=1", L"AUTO_STOP_SECONDS=30", L"ADMIN_BYPASS="}), 0);
  EXPECT_EQ(Machine(kSettingDisableDefaultRoute), L"1");
  EXPECT_EQ(Machine(kSettingAutoStopSeconds), L"30");
  ASSERT_EQ(RunCommandLine({L"--configure", L"--restore-settings"}), 0);
  EXPECT_EQ(Machine(kSettingDisableDefaultRoute), L"(unset)");
  EXPECT_EQ(Machine(kSettingAutoStopSeconds), L"600");

  ASSERT_EQ(RunCommandLine({L"--configure", L"ADMIN_BYPASS=0", L"ADMIN_BYPASS_IPS=203.0.113.7"}), 0);
  ASSERT_EQ(RunCommandLine({L"--configure", L"--forget-settings-backup"}), 0);
  ASSERT_EQ(RunCommandLine({L"--configure", L"--remove-settings"}), 0);
  for (const wchar_t* setting :
       {kSettingDisableDefaultRoute, kSettingAutoStopSeconds, kSettingAdminBypass, kSettingAdminBypassIps}) {
    EXPECT_EQ(Machine(setting), L"(unset)") << WideToUtf8(setting);
  }
  ASSERT_EQ(RunCommandLine({L"--configure", L"--restore-settings"}), 0) << "a failed removal";
  EXPECT_EQ(Machine(kSettingAdminBypass), L"0");
  EXPECT_EQ(Machine(kSettingAdminBypassIps), L"203.0.113.7");
  EXPECT_EQ(Machine(kSettingAutoStopSeconds), L"600");
  ASSERT_EQ(RunCommandLine({L"--configure", L"--forget-settings-backup"}), 0);
  EXPECT_FALSE(platform::fake::RegistryValueExists(RegistryRoot::kLocalMachine, L"SOFTWARE\\Quorvane\\Setup",
                                                   kSettingAdminBypass));

  // A transaction whose check fails puts back nothing that an earlier
  // change (by hand, never let go of) kept.
  ASSERT_EQ(RunCommandLine({L"--configure", L"SAFE_MODE=1"}), 0);
  EXPECT_EQ(RunCommandLine({L"--configure", L"SAFE_MODE=maybe"}), 1);
  ASSERT_EQ(RunCommandLine({L"--configure", L"--restore-settings"}), 0);
  EXPECT_EQ(Machine(kSettingDisableDefaultRoute), L"1");
}

}  // namespace
}  // namespace quorvane
