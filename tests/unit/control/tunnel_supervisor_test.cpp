#include "control/tunnel_supervisor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "common/safe_mode_settings.h"
#include "control/pipe_server.h"
#include "control/request_handler.h"
#include "control/tunnel_owner_store.h"
#include "control_test_support.h"
#include "fake_routes.h"
#include "routes/admin_bypass_routes.h"
#include "routes/route_journal.h"
#include "tunnel/tunnel_manager.h"

namespace quorvane {
namespace {

constexpr uint32_t kEthernet = 7;
constexpr uint32_t kWifi = 8;
const std::wstring kOwner = L"S-1-5-21-7-1001";
const std::wstring kOther = L"S-1-5-21-7-1002";

class SupervisorTest : public ControlTestBase {
 protected:
  void SetUp() override {
    ControlTestBase::SetUp();
    platform::fake::SeedBestRoute(Route("0.0.0.0", "0.0.0.0", "192.0.2.1", kEthernet));
    platform::fake::SeedInterface(kEthernet, {L"Ethernet", L""});
    platform::fake::SeedInterface(kWifi, {L"Wi-Fi", L""});
    platform::fake::SetProcessEnvironment(kSettingAdminBypassIp, L"203.0.113.7");
    MarkUserConnectBegun();
  }
  std::string As(const std::wstring& sid, const std::string& request, bool administrator = false) {
    return HandleRequest(state_.get(), UserCaller(sid, administrator), request);
  }
  void ConnectAsOwner() { ASSERT_TRUE(Contains(As(kOwner, ConnectRequest("")), "\"ok\":true")); }
  // The tunnel service stops without being asked, as the library does when
  // it loses its adapter.
  static TunnelSnapshot TunnelEndsByItself() {
    platform::fake::FakeService tunnel = *platform::fake::FindService(TunnelServiceName());
    tunnel.state = platform::kServiceStopped;
    tunnel.win32_exit_code = 1066;
    tunnel.reported_specific_exit_code = 7;
    platform::fake::SeedService(tunnel);
    return TunnelSnapshot{true, true, platform::kServiceStopped, 0, 1066, 7};
  }
  static bool NothingLeft() {
    return platform::fake::Routes().empty() && !platform::fake::FileContent(kActiveConf) &&
           !platform::fake::FindService(TunnelServiceName());
  }
};

TEST_F(SupervisorTest, TunnelThatEndsByItself_IsReleasedSaidAndTheNextConnectWorks) {
  ConnectAsOwner();
  ReleaseEndedTunnel(state_.get(), TunnelEndsByItself());
  const std::string status = As(kOther, kStatusRequest);
  EXPECT_TRUE(Contains(status, "\"phase\":\"disconnected\",\"tunnel_running\":false,\"generation\":")) << status;
  EXPECT_TRUE(Contains(status, "\"message\":\"the tunnel service ended by itself (exit code 1066, service-specific "
                               "exit code 7); the tunnel was taken down\""));
  EXPECT_TRUE(NothingLeft());
  EXPECT_NE(platform::fake::StderrText().find(L"exit code 1066"), std::wstring::npos);
  EXPECT_TRUE(Contains(As(kOther, ConnectRequest("")), "\"ok\":true")) << "no owner is left";
  EXPECT_FALSE(Contains(As(kOther, kStatusRequest), "ended by itself")) << "a connect clears the message";
}

// The whole way: the watcher sees the service stop, the supervisor acts.
TEST_F(SupervisorTest, WatcherAndSupervisor_ReleaseATunnelThatEndsWhileTheServerRuns) {
  std::string error;
  ASSERT_TRUE(StartPipeServer(state_.get(), &error)) << error;
  ConnectAsOwner();
  ASSERT_TRUE(Eventually([&] { return SnapshotRunning(ReadTunnelSnapshot(&state_->tunnel_watch)); }));
  TunnelEndsByItself();
  EXPECT_TRUE(Eventually([&] { return ReadPhase(state_.get()).phase == kPhaseDisconnected && NothingLeft(); }));
}

TEST_F(SupervisorTest, OwnerWhoLogsOff_LosesTheTunnelAndAUserSwitchKeepsIt) {
  constexpr uint32_t kDisconnectedSession = 4;  // WTSDisconnected: the user switched away
  const struct {
    const char* label;
    std::vector<platform::SessionEntry> sessions;
    std::wstring console_user;
    bool kept;
  } cases[] = {
      {"owner still at the console", {{1, platform::kSessionActive, platform::kProtocolConsole}}, kOwner, true},
      {"owner switched away", {{1, kDisconnectedSession, platform::kProtocolConsole}}, kOwner, true},
      {"owner logged off, another user logged on", {{2, platform::kSessionActive, platform::kProtocolConsole}},
       kOther, false},
      {"no session can be listed (as under Wine)", {}, L"", true},
  };
  for (const auto& c : cases) {
    platform::fake::Reset();
    SetUp();
    ConnectAsOwner();
    platform::fake::SeedSessions(c.sessions);
    if (!c.sessions.empty()) platform::fake::SetSessionUserSid(c.sessions[0].session_id, c.console_user);
    EndTunnelOfLoggedOffOwner(state_.get());
    EXPECT_EQ(ReadPhase(state_.get()).phase, c.kept ? kPhaseConnected : kPhaseDisconnected) << c.label;
    if (c.kept) continue;
    EXPECT_TRUE(NothingLeft()) << c.label;
    EXPECT_TRUE(Contains(As(kOther, kStatusRequest), "logged off; the tunnel was taken down")) << c.label;
    EXPECT_TRUE(Contains(As(kOther, ConnectRequest("")), "\"ok\":true")) << c.label << ": the next user is served";
  }
}

// A control service restarted under a running tunnel (a crash, sc stop and
// sc start) knows its owner from the record, or lets only administrators
// change a tunnel without one.
TEST_F(SupervisorTest, RestartedService_KeepsTheOwnerOrLeavesAnUnknownOnesTunnelToAdministrators) {
  const std::string refused = ErrorReply(kTunnelOwnedByAnotherUser);
  for (const bool recorded : {true, false}) {
    ConnectAsOwner();
    if (!recorded) ForgetStoredTunnelOwner();
    state_ = std::make_unique<ControlState>();  // the tunnel runs on
    RestoreTunnelOwner(state_.get());
    EXPECT_EQ(As(kOther, kDisconnectRequest), refused) << recorded;
    EXPECT_EQ(As(kOther, ConnectRequest("")), refused) << recorded;
    if (recorded) {
      EXPECT_TRUE(Contains(As(kOther, kStatusRequest), "\"phase\":\"connected\",\"node_id\":\"node-1\""));
      EXPECT_TRUE(Contains(As(kOwner, kDisconnectRequest), "\"ok\":true"));
    } else {
      EXPECT_EQ(As(kOwner, kDisconnectRequest), refused) << "nobody knows it is theirs";
      EXPECT_TRUE(Contains(As(L"S-1-5-21-7-500", kDisconnectRequest, true), "\"ok\":true"));
    }
    EXPECT_TRUE(NothingLeft()) << recorded;
  }
}

TEST_F(SupervisorTest, GatewayChange_MovesTheBypassRoutesAndTheJournalUndoesTheNewOnes) {
  ConnectAsOwner();
  // The laptop roams from the wired network to Wi-Fi.
  platform::fake::SeedBestRoute(Route("0.0.0.0", "0.0.0.0", "198.51.100.1", kWifi));
  FollowGateway(state_.get());
  const std::vector<platform::ForwardRow> routes = platform::fake::Routes();
  ASSERT_EQ(routes.size(), 1u);
  EXPECT_EQ(routes[0].next_hop, Ip("198.51.100.1"));
  EXPECT_EQ(routes[0].if_index, kWifi);
  ASSERT_EQ(ReadRouteJournal().rows.size(), 1u);
  EXPECT_EQ(ReadRouteJournal().rows[0].next_hop, Ip("198.51.100.1"));
  EXPECT_TRUE(Contains(As(kOwner, kStatusRequest, true), "\"route_moves\":\"192.0.2.1@if7->198.51.100.1@if8:ok;\""));
  FollowGateway(state_.get());
  EXPECT_EQ(platform::fake::Routes().size(), 1u) << "nothing moves while the gateway stays";

  // The process ends without its clean-up; the next one removes what moved.
  ResetAdminBypassRouteRecords();
  CleanUpEarlierRoutes();
  EXPECT_TRUE(platform::fake::Routes().empty());
  EXPECT_TRUE(ReadRouteJournal().rows.empty());
}

// Administrators read the reports in full; everyone else, the owner too,
// reads every key without an administrator's address, the gateway or a peer.
TEST_F(SupervisorTest, Reports_NameAddressesToAdministratorsAlone) {
  const std::string connected = As(kOwner, ConnectRequest(""));
  ASSERT_TRUE(Contains(connected, "\"ok\":true")) << connected;
  const std::string admin = As(L"S-1-5-21-7-500", kStatusRequest, true);
  EXPECT_TRUE(Contains(admin, "203.0.113.7") && Contains(admin, "\"gateway\":\"192.0.2.1\"")) << admin;
  EXPECT_TRUE(Contains(admin, ",\"generation\":3,\"connected_since_utc\":\"2026-12-08T") &&
              Contains(admin, "\"endpoint\":\"vpn.example:51820\",\"tunnel_address\":\"10.8.0.7/32\",\"safe_mode\":false"))
      << admin;
  const std::string other = As(kOther, kStatusRequest);
  EXPECT_TRUE(Contains(other, "\"connected_since_utc\":\"") && !Contains(other, "vpn.example")) << other;
  for (const std::string& reply : {connected, As(kOther, kStatusRequest)}) {
    EXPECT_FALSE(Contains(reply, "203.0.113.7") || Contains(reply, "192.0.2.1")) << reply;
    EXPECT_TRUE(Contains(reply, "\"gateway\":\"\"") && Contains(reply, "\"selected_admin_bypass_ips\":[]"))
        << "every key stays: " << reply;
    EXPECT_TRUE(Contains(reply, "\"applied\":true")) << reply;
  }
}

TEST_F(SupervisorTest, Watch_AnswersAtAChangeOrTheIdleBoundAndAdmitsTwoAtOnce) {
  state_->watch_idle_ms = 60000;
  const auto watch = [this](uint64_t since) {
    return As(kOther, "{\"v\":1,\"op\":\"watch\",\"since\":\"" + std::to_string(since) + "\"}");
  };
  EXPECT_TRUE(Contains(watch(0), "\"generation\":1,")) << "changed since: at once";
  EXPECT_TRUE(Contains(As(kOther, "{\"v\":1,\"op\":\"watch\"}"), "\"generation\":1,")) << "no since: at once";

  auto first = std::async(std::launch::async, watch, 1);
  auto second = std::async(std::launch::async, watch, 1);
  ASSERT_TRUE(Eventually([this] {
    std::lock_guard<std::mutex> guard(state_->state_lock);
    return state_->watchers == 2;
  }));
  EXPECT_EQ(watch(1), ErrorReply(kWatchersBusy)) << "a third would take an instance from the others";
  SetPhase(state_.get(), kPhaseConnected, "node-9");
  for (auto* waiting : {&first, &second}) {
    EXPECT_TRUE(Contains(waiting->get(), "\"phase\":\"connected\",\"node_id\":\"node-9\","));
  }
  state_->watch_idle_ms = 20;
  EXPECT_TRUE(Contains(watch(2), "\"generation\":2,")) << "nothing changed: the idle bound answers";
}

}  // namespace
}  // namespace quorvane
