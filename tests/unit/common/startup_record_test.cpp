#include "common/startup_record.h"

#include <gtest/gtest.h>

#include "platform/ip_routes.h"
#include "fake_windows_test.h"
#include "common/safe_mode_settings.h"
#include "host/startup_report.h"
#include "tunnel/active_conf_store.h"
#include "tunnel/tunnel_manager.h"

namespace quorvane {
namespace {

constexpr char kCleanReport[] =
    "{\"service_started_utc\":\"2026-12-08T01:20:00Z\",\"startup_passive\":true,"
    "\"startup_route_mutation_count\":0,\"startup_tunnel_started\":false,\"startup_config_written\":false,"
    "\"leftover_tunnel_service_running\":false,\"leftover_tunnel_default_route_detected\":false,"
    "\"startup_network_mutation_guard_enabled\":false,\"tunnel_libraries\":{"
    "\"tunnel.dll\":\"C:\\\\Program Files\\\\Quorvane\\\\tunnel.dll\","
    "\"wireguard.dll\":\"C:\\\\Program Files\\\\Quorvane\\\\wireguard.dll\"}}";

class StartupRecordTest : public FakeWindowsTest {
 protected:
  void SetUp() override {
    FakeWindowsTest::SetUp();
    ResetStartupRecord("2026-12-08T01:20:00Z");
  }
  void TearDown() override {
    ResetStartupRecord("");
    FakeWindowsTest::TearDown();
  }
};

TEST_F(StartupRecordTest, CleanMachine_ReportsNothingLeftOverOnBothStreams) {
  EXPECT_EQ(StartupReportJson(), kCleanReport);
  EXPECT_EQ(RunDryRunStartup(), 0);
  const std::wstring line = L"[Quorvane] passive startup report: " +
                            std::wstring(kCleanReport, kCleanReport + sizeof(kCleanReport) - 1) + L"\n";
  EXPECT_EQ(platform::fake::StdoutText(), line);
  EXPECT_EQ(platform::fake::StderrText(), line);
}

TEST_F(StartupRecordTest, PassiveMutations_WarnAndAreCounted) {
  TunnelProfile profile;
  profile.node_id = "n";
  profile.client_private_key = "k";
  EXPECT_TRUE(WriteActiveConf(profile, nullptr));
  EXPECT_TRUE(TunnelManager::Start(L"C:\\a.conf", nullptr));
  CheckNetworkMutation(kMutationCreateRoute);
  NoteStartupRouteMutation();
  NoteStartupRouteMutation();
  EXPECT_EQ(platform::fake::StderrText(),
            L"[Quorvane][startup_guard] forbidden during passive startup: WriteActiveConf\n"
            L"[Quorvane][startup_guard] forbidden during passive startup: TunnelManager::Start\n"
            L"[Quorvane][startup_guard] forbidden during passive startup: TunnelManager::Stop\n"
            L"[Quorvane][startup_guard] forbidden during passive startup: CreateIpForwardEntry\n");
  const std::string report = StartupReportJson();
  EXPECT_NE(report.find("\"startup_route_mutation_count\":2,\"startup_tunnel_started\":true,"
                        "\"startup_config_written\":true,\"leftover_tunnel_service_running\":true,"),
            std::string::npos)
      << report;
}

TEST_F(StartupRecordTest, AfterConnectOrShutdown_NothingWarnsOrCounts) {
  for (void (*mark)() : {MarkUserConnectBegun, MarkShuttingDown}) {
    ResetStartupRecord("t");
    platform::fake::Reset();
    mark();
    EXPECT_FALSE(StartupPassive());
    CheckNetworkMutation(kMutationDeleteRoute);
    NoteStartupRouteMutation();
    NoteStartupConfigWritten();
    NoteStartupTunnelStarted();
    platform::fake::SetProcessEnvironment(kSettingDisableStartupMutation, L"1");
    CheckNetworkMutation(kMutationTunnelStop);  // would end the process while passive
    EXPECT_EQ(platform::fake::StderrText(), L"");
    const StartupRecord record = StartupRecordSnapshot();
    EXPECT_EQ(record.route_mutation_count, 0);
    EXPECT_FALSE(record.config_written);
    EXPECT_FALSE(record.tunnel_started);
  }
}

TEST_F(StartupRecordTest, GuardSettingOn_IsReportedAndEndsTheProcessOnAPassiveMutation) {
  platform::fake::SetRegistryValue(platform::RegistryRoot::kLocalMachine, kMachineEnvironmentKey,
                                   kSettingDisableStartupMutation, L"yes");
  EXPECT_NE(StartupReportJson().find("\"startup_network_mutation_guard_enabled\":true,"), std::string::npos);
  EXPECT_DEATH(TunnelManager::Stop(nullptr),
               "forbidden during passive startup: TunnelManager::Stop.*"
               "abort QUORVANE_POC_DISABLE_ALL_NETWORK_MUTATION_ON_STARTUP=1.*TerminateCurrentProcess 3");
}

TEST_F(StartupRecordTest, LeftoverTunnelDefaultRoute_IsReportedWithItsTextEscaped) {
  uint32_t hop = 0;
  platform::ParseIpv4Address("10.8.0.1", &hop);
  platform::ForwardRow row;
  row.next_hop = hop;
  row.if_index = 9;
  row.metric1 = 5;
  platform::fake::SeedRoutes({row});
  platform::fake::SeedInterface(9, {L"wintun \"A\\B\"", L""});
  const std::string report = StartupReportJson();
  const std::string tail =
      "\"leftover_tunnel_default_route_detected\":true,\"startup_network_mutation_guard_enabled\":false,"
      "\"leftover_offending_default_route\":\"0.0.0.0/0->10.8.0.1@if9:wintun \\\"A\\\\B\\\":metric=5\",";
  EXPECT_NE(report.find(tail), std::string::npos) << report;
}

// Both of the library's DLLs, each where the restricted search finds it.
TEST_F(StartupRecordTest, TunnelLibraries_AreReportedWhereFoundOrNull) {
  const struct {
    platform::fake::LibraryFolder tunnel_folder;
    bool driver_present;
    const char* member;
  } cases[] = {
      {platform::fake::LibraryFolder::kSystem32, false,
       "\"tunnel_libraries\":{\"tunnel.dll\":\"C:\\\\Windows\\\\System32\\\\tunnel.dll\",\"wireguard.dll\":null}}"},
      {platform::fake::LibraryFolder::kPathFolder, true,
       "\"tunnel_libraries\":{\"tunnel.dll\":null,\"wireguard.dll\":\"C:\\\\Program Files\\\\Quorvane\\\\wireguard.dll\"}}"},
  };
  for (const auto& c : cases) {
    platform::fake::Reset();
    platform::fake::SeedLibrary(L"tunnel.dll", "", nullptr, c.tunnel_folder);
    if (!c.driver_present) platform::fake::RemoveLibrary(L"wireguard.dll");
    const std::string report = StartupReportJson();
    EXPECT_EQ(report.substr(report.size() - std::string(c.member).size()), c.member) << report;
  }
}

TEST_F(StartupRecordTest, LeftoverDefaultRouteOnTheRealTunnelAdapter_IsReported) {
  platform::ForwardRow row;
  row.if_index = 21;
  row.metric1 = 5;
  platform::fake::SeedRoutes({row});
  platform::fake::SeedInterface(21, {L"active", L"WireGuard Tunnel"});
  const std::string report = StartupReportJson();
  EXPECT_NE(report.find("\"leftover_tunnel_default_route_detected\":true,"), std::string::npos) << report;
  EXPECT_NE(report.find("\"leftover_offending_default_route\":\"0.0.0.0/0->0.0.0.0@if21:active:metric=5\""),
            std::string::npos);
}

}  // namespace
}  // namespace quorvane
