#include "host/service_runtime.h"

#include <gtest/gtest.h>

#include "common/service_log.h"

#include <chrono>
#include <future>
#include <thread>

#include "host/command_line.h"
#include "control/pipe_protocol.h"
#include "fake_windows_test.h"
#include "routes/admin_bypass.h"
#include "host/service_install.h"
#include "common/startup_record.h"
#include "common/wide_text.h"
#include "host/startup_report.h"
#include "common/safe_mode_settings.h"
#include "platform/environment.h"
#include "platform/ip_routes.h"

namespace quorvane {
namespace {

using platform::fake::FailNextCall;
using platform::fake::FindService;

constexpr wchar_t kProgram[] = L"C:\\Program Files\\Quorvane\\QuorvaneVpnService.exe";

std::vector<std::string> ScmCalls() {
  std::vector<std::string> calls;
  for (const std::string& line : platform::fake::Journal()) {
    if (line.rfind("Scm", 0) == 0 && line != "ScmCloseHandle") calls.push_back(line);
  }
  return calls;
}

class ServiceInstallTest : public FakeWindowsTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(platform::fake::OpenScHandleCount(), 0);
    SetServiceLogEnabled(false);  // --configure turns the log on, as the package's actions need
    FakeWindowsTest::TearDown();
  }
};

TEST_F(ServiceInstallTest, Install_RegistersTheControlServiceExactly) {
  EXPECT_EQ(RunCommandLine({L"--install"}), 0);
  EXPECT_EQ(platform::fake::StdoutText(), L"service installed\n");
  const auto service = FindService(L"QuorvaneVpnTunnel");
  ASSERT_TRUE(service.has_value());
  EXPECT_EQ(service->registration.display_name, L"QuorvaneVpnTunnel");
  EXPECT_EQ(service->registration.service_type, 0x10u);
  EXPECT_EQ(service->registration.start_type, 3u);
  EXPECT_EQ(service->registration.error_control, 1u);
  EXPECT_EQ(service->registration.binary_path, std::wstring(L"\"") + kProgram + L"\" --run-as-service");
  EXPECT_EQ(service->registration.dependencies, (std::vector<std::wstring>{L"Nsi", L"TcpIp"}));
  EXPECT_EQ(ScmCalls(), (std::vector<std::string>{"ScmOpenManager 983103", "ScmCreateService QuorvaneVpnTunnel",
                                                  "ScmSetDescription", "ScmSetRestartOnFailure"}));
}

// The folders come first, made by the administrator's install before any user
// could make them; one a user made, or linked, refuses the install.
TEST_F(ServiceInstallTest, Install_MakesTheProtectedFoldersOrRefusesOneSomeoneElseMade) {
  const struct {
    const wchar_t* foreign;  // nullptr: none there before
    const wchar_t* owner;
    bool junction;
    int exit_code;
  } cases[] = {
      {nullptr, L"", false, 0},
      {L"C:\\ProgramData\\Quorvane", L"S-1-5-21-7-1001", false, 1},
      {L"C:\\ProgramData\\Quorvane\\state", L"S-1-5-32-544", true, 1},
  };
  for (const auto& c : cases) {
    platform::fake::Reset();
    if (c.foreign != nullptr) platform::fake::SeedForeignDirectory(c.foreign, c.owner, c.junction);
    EXPECT_EQ(RunCommandLine({L"--install"}), c.exit_code);
    if (c.exit_code == 0) {
      for (const wchar_t* folder : {L"", L"\\tunnels", L"\\state", L"\\logs"}) {
        const std::wstring path = std::wstring(L"C:\\ProgramData\\Quorvane") + folder;
        EXPECT_TRUE(platform::fake::DirectoryExists(path)) << WideToUtf8(path);
        EXPECT_EQ(platform::fake::PathOwner(path), L"S-1-5-32-544") << WideToUtf8(path);
      }
      continue;
    }
    const std::wstring said = platform::fake::StderrText();
    EXPECT_EQ(said.rfind(L"install failed: folder " + std::wstring(c.foreign), 0), 0u) << WideToUtf8(said);
    EXPECT_FALSE(FindService(L"QuorvaneVpnTunnel").has_value()) << "nothing registered";
    const std::string report = StartupReportJson();
    EXPECT_NE(report.find("\"unsafe_folders\":[\"folder C:\\\\ProgramData\\\\Quorvane"), std::string::npos) << report;
  }
}

// What the system account runs may be written only by the system account,
// Administrators, TrustedInstaller or the service's own account: install
// refuses anything else, and the start-up report says so.
TEST_F(ServiceInstallTest, ProgramFolderOthersMayWrite_IsRefusedAtInstallAndReported) {
  using platform::AccessEntry;
  const std::wstring folder = L"C:\\Program Files\\Quorvane";
  const struct {
    const char* label;
    std::wstring path;
    std::wstring owner;
    std::vector<AccessEntry> extra;
    bool dacl_present;
    const char* problem;  // "" when safe
  } cases[] = {
      {"as installed", folder, L"", {}, true, ""},
      {"Users may add files", folder, L"", {{L"S-1-5-32-545", 0x2, true, false}}, true,
       "C:\\Program Files\\Quorvane may be written by S-1-5-32-545"},
      {"Users may change the list of tunnel.dll", folder + L"\\tunnel.dll", L"",
       {{L"S-1-5-32-545", 0x40000, true, false}}, true,
       "C:\\Program Files\\Quorvane\\tunnel.dll may be written by S-1-5-32-545"},
      {"a user owns the program", folder + L"\\QuorvaneVpnService.exe", L"S-1-5-21-7-1001", {}, true,
       "C:\\Program Files\\Quorvane\\QuorvaneVpnService.exe is owned by S-1-5-21-7-1001"},
      {"no list at all", folder + L"\\wireguard.dll", L"", {}, false,
       "C:\\Program Files\\Quorvane\\wireguard.dll has no access list: everyone may write it"},
      {"only for what is made inside", folder, L"", {{L"S-1-5-32-545", 0x10000000, true, true}}, true, ""},
      {"the service's own account", folder, L"S-1-5-18", {{L"S-1-5-18", 0x10000000, true, false}}, true, ""},
      {"Users may rename Program Files", L"C:\\Program Files", L"", {{L"S-1-5-32-545", 0x10000, true, false}}, true,
       "C:\\Program Files may be written by S-1-5-32-545"},
      {"a user owns the volume root", L"C:\\", L"S-1-5-21-7-1001", {}, true, "C:\\ is owned by S-1-5-21-7-1001"},
      {"Users may add folders to the volume root", L"C:\\", L"", {{L"S-1-5-11", 0x4 | 0x2, true, false}}, true, ""},
  };
  for (const auto& c : cases) {
    platform::fake::Reset();
    platform::PathAccess access = platform::fake::ProgramFilesAccess();
    if (!c.owner.empty()) access.owner_sid = c.owner;
    access.entries.insert(access.entries.end(), c.extra.begin(), c.extra.end());
    access.dacl_present = c.dacl_present;
    platform::fake::SeedPathAccess(c.path, access);
    const std::string problem = c.problem;
    EXPECT_EQ(RunCommandLine({L"--install"}), problem.empty() ? 0 : 1) << c.label;
    EXPECT_EQ(FindService(L"QuorvaneVpnTunnel").has_value(), problem.empty()) << c.label;
    if (problem.empty()) continue;
    EXPECT_EQ(WideToUtf8(platform::fake::StderrText()).rfind("install failed: " + problem + "; only the system", 0),
              0u)
        << c.label;
    EXPECT_FALSE(platform::fake::DirectoryExists(L"C:\\ProgramData\\Quorvane")) << c.label << ": nothing made";
    EXPECT_NE(StartupReportJson().find("\"program_folder_unsafe\":\""), std::string::npos) << c.label;
  }
}

TEST_F(ServiceInstallTest, InstallFailures_PrintTheirText) {
  const struct {
    const char* operation;
    const wchar_t* message;
  } cases[] = {
      {"ScmOpenManager",
       L"install failed: OpenSCManager failed (error 5): access denied; run it elevated, as an administrator\n"},
      {"ScmCreateService",
       L"install failed: CreateService failed (error 5): access denied; run it elevated, as an administrator\n"},
      {"GetOwnModulePath", L"install failed: GetModuleFileName failed\n"},
  };
  for (const auto& c : cases) {
    platform::fake::Reset();
    FailNextCall(c.operation, 5);
    EXPECT_EQ(RunCommandLine({L"--install"}), 1);
    EXPECT_EQ(platform::fake::StderrText(), c.message);
    EXPECT_EQ(platform::fake::StdoutText(), L"");
  }
}

// The control service stops first; then the tunnel goes as a disconnect takes
// it (service, journalled routes, scrubbed configuration), the registration
// goes, and of the service's files only the logs stay.
TEST_F(ServiceInstallTest, Uninstall_TakesEverythingDownButTheLogs) {
  const std::wstring data = L"C:\\ProgramData\\Quorvane";
  for (const wchar_t* name : {L"QuorvaneVpnTunnel", L"QuorvaneVpnTunnel$Active"}) {
    platform::fake::FakeService running;
    running.registration.name = name;
    running.state = platform::kServiceRunning;
    platform::fake::SeedService(running);
  }
  platform::ForwardRow bypass;
  ASSERT_TRUE(platform::ParseIpv4Address("203.0.113.9", &bypass.destination));
  ASSERT_TRUE(platform::ParseIpv4Address("192.0.2.1", &bypass.next_hop));
  bypass.mask = 0xFFFFFFFF;
  bypass.if_index = 7;
  bypass.metric1 = 1;
  platform::fake::SeedRoutes({bypass});
  platform::fake::SeedFile(data + L"\\state\\bypass-routes.journal",
                           "# quorvane bypass route journal 1\n203.0.113.9 255.255.255.255 192.0.2.1 7 1\n");
  platform::fake::SeedFile(data + L"\\tunnels\\active.conf", "PrivateKey = secret\n");
  platform::fake::SeedFile(data + L"\\tunnels\\active.conf.tmp", "PrivateKey = half\n");  // a crash mid-write
  platform::fake::SeedFile(data + L"\\logs\\service.log", "earlier\n");

  EXPECT_EQ(RunCommandLine({L"--uninstall"}), 0);
  EXPECT_EQ(platform::fake::StdoutText(), L"service uninstalled\n");
  EXPECT_EQ(platform::fake::StderrText().find(L"uninstall:"), std::wstring::npos) << platform::fake::StderrText();
  EXPECT_FALSE(FindService(L"QuorvaneVpnTunnel").has_value());
  EXPECT_FALSE(FindService(L"QuorvaneVpnTunnel$Active").has_value());
  std::vector<platform::ForwardRow> table;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::ReadIpForwardTable(&table, &error_code));
  EXPECT_TRUE(table.empty());
  EXPECT_FALSE(platform::fake::DirectoryExists(data + L"\\tunnels"));
  EXPECT_FALSE(platform::fake::DirectoryExists(data + L"\\state"));
  EXPECT_EQ(platform::fake::FileContent(data + L"\\logs\\service.log").value_or("").rfind("earlier\n", 0), 0u);
  const std::vector<std::string> calls = ScmCalls();
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls[1], "ScmOpenService QuorvaneVpnTunnel 36") << "the control service is stopped first";
  EXPECT_EQ(calls[2], "ScmControlStop");

  platform::fake::Reset();  // nothing installed
  EXPECT_EQ(RunCommandLine({L"--uninstall"}), 0);
  EXPECT_EQ(platform::fake::StdoutText(), L"service uninstalled\n");
}

// What an installer package sets: every value checked before anything
// changes; a value given empty is a property not given.
TEST_F(ServiceInstallTest, Configure_ChecksEveryValueThenSetsTheStartAndTheSettings) {
  const struct {
    std::vector<std::wstring> args;
    int code;
    const char* safe_mode;  // QUORVANE_POC_DISABLE_DEFAULT_ROUTE afterwards; "" unset
    uint32_t start_type;
    const wchar_t* said;  // on standard error
  } cases[] = {
      {{L"START=auto", L"SAFE_MODE=1", L"ADMIN_BYPASS_IPS=10.0.0.1, 10.0.0.2"}, 0, "1", platform::kServiceAutoStart,
       L""},
      {{L"START=demand", L"SAFE_MODE=", L"AUTO_STOP_SECONDS="}, 0, "", platform::kServiceDemandStart, L""},
      {{L"SAFE_MODE=1", L"AUTO_STOP_SECONDS=10m"}, 1, "", platform::kServiceDemandStart,
       L"configure failed: AUTO_STOP_SECONDS must be a whole number of seconds (0 for none), at most 9 digits\n"},
      {{L"SAFE_MODE=1", L"ADMIN_BYPASS_IPS=10.0.0.1,10.0.0.300"}, 1, "", platform::kServiceDemandStart,
       L"configure failed: ADMIN_BYPASS_IPS must be IPv4 addresses separated by commas\n"},
      {{L"SAFE_MODE=yes"}, 1, "", platform::kServiceDemandStart, L"configure failed: SAFE_MODE must be 0 or 1\n"},
      {{L"SAFE_MODE=1", L"START=sometimes"}, 1, "", platform::kServiceDemandStart,
       L"configure failed: START must be auto or demand\n"},
      {{L"COLOUR=blue"}, 1, "", platform::kServiceDemandStart,
       L"configure failed: \"COLOUR\" is not NAME=VALUE with a known NAME\n"},
  };
  for (const auto& c : cases) {
    platform::fake::Reset();
    ASSERT_EQ(RunCommandLine({L"--install"}), 0);
    std::vector<std::wstring> args = {L"--configure"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(RunCommandLine(args), c.code) << WideToUtf8(c.args[0]);
    EXPECT_EQ(platform::fake::StderrText(), c.said);
    std::wstring safe_mode;
    uint32_t error_code = 0;
    platform::ReadRegistryString(platform::RegistryRoot::kLocalMachine, kMachineEnvironmentKey,
                                 kSettingDisableDefaultRoute, 256, &safe_mode, &error_code);
    EXPECT_EQ(WideToUtf8(safe_mode), c.safe_mode) << WideToUtf8(c.args[0]);
    const auto service = FindService(L"QuorvaneVpnTunnel");
    ASSERT_TRUE(service.has_value());
    EXPECT_EQ(service->registration.start_type, c.start_type);
    EXPECT_EQ(service->state == platform::kServiceRunning, c.start_type == platform::kServiceAutoStart)
        << "an automatic start also starts it now";
  }
  platform::fake::Reset();
  EXPECT_EQ(RunCommandLine({L"--configure", L"START=auto"}), 1);
  EXPECT_EQ(platform::fake::StderrText().rfind(L"configure failed: the service is not registered", 0), 0u);
}

class ServiceMainTest : public FakeWindowsTest {
 protected:
  void TearDown() override {
    ResetAdminBypassRecords();
    ResetStartupRecord("");
    FakeWindowsTest::TearDown();
  }
  // Runs "--run-as-service" and waits until the service reports running.
  std::future<int> StartService() {
    std::future<int> run = std::async(std::launch::async, [] { return RunCommandLine({L"--run-as-service"}); });
    for (int i = 0; i < 4000 && platform::fake::ReportedStatuses().size() < 2; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return run;
  }
};

TEST_F(ServiceMainTest, StatusSequence_StartPendingRunningStopPendingStopped) {
  std::future<int> run = StartService();
  ASSERT_EQ(platform::fake::ReportedStatuses().size(), 2u);
  EXPECT_EQ(platform::fake::PipeExchange(kPipeName, "{\"v\":1,\"op\":\"status\"}").rfind("{\"ok\":true", 0), 0u);
  EXPECT_EQ(platform::fake::StdoutText().rfind(L"[Quorvane] passive startup report: {", 0), 0u);

  for (uint32_t ignored : {platform::kServiceControlInterrogate, platform::kServiceControlPause, 6u}) {
    ASSERT_TRUE(platform::fake::SendServiceControl(ignored));
  }
  EXPECT_EQ(platform::fake::ReportedStatuses().size(), 2u) << "other controls change nothing";

  // A user who logs on while the service waits can open the pipe at once.
  const platform::PipeCaller user{L"S-1-5-21-7-1001", 1, false};
  platform::fake::SetConsoleSession(1);
  platform::fake::SetSessionUserSid(1, user.user_sid);
  EXPECT_EQ(platform::fake::PipeExchangeAs(kPipeName, user, "{\"op\":\"status\"}"), "<pipe unavailable 5>");
  ASSERT_TRUE(platform::fake::SendServiceControl(platform::kServiceControlSessionChange));
  EXPECT_EQ(platform::fake::PipeExchangeAs(kPipeName, user, "{\"op\":\"status\"}").rfind("{\"ok\":true", 0), 0u);

  ASSERT_TRUE(platform::fake::SendServiceControl(platform::kServiceControlStop));
  ASSERT_EQ(run.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(run.get(), 0);
  // Start pending, running, the handler's stop pending with a wait hint, the
  // stop's own progress (none when the stop ends before its first report),
  // stopped with exit code 0.
  const std::vector<platform::fake::ReportedStatus> statuses = platform::fake::ReportedStatuses();
  ASSERT_GE(statuses.size(), 4u);
  // Running accepts stop and session changes.
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {{2, 0}, {4, 0x81}, {3, 0}};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(statuses[i].state, expected[i].first) << i;
    EXPECT_EQ(statuses[i].controls_accepted, expected[i].second) << i;
  }
  EXPECT_GT(statuses[2].wait_hint_ms, 0u);
  for (size_t i = 3; i + 1 < statuses.size(); ++i) {
    EXPECT_EQ(statuses[i].state, 3u) << i;
    EXPECT_EQ(statuses[i].checkpoint, i - 2) << "progress grows";
  }
  EXPECT_EQ(statuses.back().state, 1u);
  EXPECT_EQ(statuses.back().win32_exit_code, 0u);
  uint32_t error_code = 0;
  EXPECT_EQ(platform::fake::ConnectPipeClient(kPipeName, &error_code), 0u) << "the pipe is gone";
}

// A user who logs on while the service starts (after its pipe's first access
// list, before it reports running, when no session change reaches it yet) can
// open the pipe once it runs.
TEST_F(ServiceMainTest, LogonDuringTheStart_IsAdmittedOnceRunning) {
  const platform::PipeCaller user{L"S-1-5-21-7-1001", 1, false};
  platform::fake::SetStatusReportEffect([&user](uint32_t state) {
    if (state != platform::kServiceRunning) return;
    platform::fake::SetConsoleSession(1);
    platform::fake::SetSessionUserSid(1, user.user_sid);
  });
  std::future<int> run = StartService();
  // The list is read again right after the report: waited for, bounded.
  std::string reply;
  for (int i = 0; i < 1000 && reply.rfind("{\"ok\":true", 0) != 0; ++i) {
    reply = platform::fake::PipeExchangeAs(kPipeName, user, "{\"op\":\"status\"}");
    if (reply.rfind("{\"ok\":true", 0) != 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(reply.rfind("{\"ok\":true", 0), 0u) << reply;
  platform::fake::SetStatusReportEffect(nullptr);
  ASSERT_TRUE(platform::fake::SendServiceControl(platform::kServiceControlStop));
  ASSERT_EQ(run.wait_for(std::chrono::seconds(30)), std::future_status::ready);
}

TEST_F(ServiceMainTest, StopDuringARequest_WaitsForItsReply) {
  // A tunnel service that ignores stop makes a disconnect take its 15 polls.
  platform::fake::FakeService tunnel;
  tunnel.registration.name = L"QuorvaneVpnTunnel$Active";
  tunnel.state = platform::kServiceRunning;
  tunnel.stop_behaviour = platform::fake::StopBehaviour::kIgnoresStop;
  platform::fake::SeedService(tunnel);
  MarkUserConnectBegun();
  std::future<int> run = StartService();
  std::future<std::string> reply = std::async(std::launch::async, [] {
    return platform::fake::PipeExchange(kPipeName, "{\"v\":1,\"op\":\"disconnect\",\"reason\":\"x\"}", 30000);
  });
  for (int i = 0; i < 4000; ++i) {
    bool stopping = false;
    for (const std::string& line : platform::fake::Journal()) stopping = stopping || line == "ScmControlStop";
    if (stopping) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // The handler answers at once, while the disconnect in hand still waits
  // for its tunnel; the stop reports progress until the request is answered.
  ASSERT_TRUE(platform::fake::SendServiceControl(platform::kServiceControlStop));
  EXPECT_EQ(reply.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  ASSERT_EQ(reply.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(reply.get().rfind("{\"ok\":true,\"phase\":\"disconnected\"", 0), 0u);
  ASSERT_EQ(run.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(run.get(), 0);
  uint32_t progress = 0;
  for (const platform::fake::ReportedStatus& status : platform::fake::ReportedStatuses()) {
    if (status.state == platform::kServiceStopPending && status.checkpoint > 0) ++progress;
  }
  EXPECT_GE(progress, 2u) << "the manager heard of the stop's progress while the request ran";
}

TEST_F(ServiceMainTest, NotStartedByTheManager_ReturnsTheDispatchersError) {
  FailNextCall("RunServiceDispatcher", 1063);
  EXPECT_EQ(RunCommandLine({L"--run-as-service"}), 1063);
}

}  // namespace
}  // namespace quorvane
