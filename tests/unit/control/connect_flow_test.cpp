#include "control/connect_flow.h"

#include <gtest/gtest.h>

#include "control/request_handler.h"
#include "control_test_support.h"
#include "fake_routes.h"
#include "common/safe_mode_settings.h"
#include "tunnel/tunnel_manager.h"
#include "tunnel/tunnel_profile.h"

namespace quorvane {
namespace {

using platform::fake::FailNextCall;
using platform::fake::SetProcessEnvironment;

constexpr uint32_t kPhysical = 7;
constexpr uint32_t kTunnel = 9;

// What a failed connect left behind, as the fake world shows it.
struct Leftovers {
  std::string phase;
  size_t routes;
  bool config;
  bool tunnel;
};

class ConnectFlowTest : public ControlTestBase {
 protected:
  void SetUp() override {
    ControlTestBase::SetUp();
    platform::fake::SeedBestRoute(Route("0.0.0.0", "0.0.0.0", "192.0.2.1", kPhysical));
    platform::fake::SeedInterface(kPhysical, {L"Ethernet", L""});
    platform::fake::SeedInterface(kTunnel, {L"Quorvane WireGuard", L""});
  }
  // As an administrator, who reads the reports in full.
  std::string Connect(const std::string& request) {
    return HandleRequest(state_.get(), UserCaller(L"S-1-5-21-7-500", true), request);
  }
  Leftovers Left() {
    return Leftovers{ReadPhase(state_.get()).phase, platform::fake::Routes().size(),
                     platform::fake::FileContent(kActiveConf).has_value(),
                     platform::fake::FindService(TunnelServiceName()).has_value()};
  }
  static void EnableBypass() { SetProcessEnvironment(kSettingAdminBypassIp, L"203.0.113.7"); }
  static void SafeMode() { SetProcessEnvironment(kSettingDisableDefaultRoute, L"1"); }
  // The tunnel, once started, puts a default route on its own interface.
  static void TunnelTakesDefaultRoute() {
    platform::fake::SetServiceStartEffect([] {
      platform::ForwardRow route;
      route.next_hop = Ip("10.8.0.1");
      route.if_index = kTunnel;
      std::vector<platform::ForwardRow> rows = platform::fake::Routes();
      rows.push_back(route);
      platform::fake::SeedRoutes(rows);
    });
  }
};

void ExpectLeft(const Leftovers& left, const Leftovers& expected, const std::string& label) {
  EXPECT_EQ(left.phase, expected.phase) << label;
  EXPECT_EQ(left.routes, expected.routes) << label;
  EXPECT_EQ(left.config, expected.config) << label;
  EXPECT_EQ(left.tunnel, expected.tunnel) << label;
}

TEST_F(ConnectFlowTest, Success_WritesTheProfileStartsTheTunnelAndReportsConnected) {
  EnableBypass();
  const std::string reply = Connect(ConnectRequest("any"));
  ASSERT_TRUE(Contains(reply, "{\"ok\":true,\"phase\":\"connected\",\"node_id\":\"node-1\",\"admin_bypass\":{"))
      << reply;
  EXPECT_TRUE(Contains(reply, "\"message\":\"admin bypass routes verified after tunnel; catch-all AllowedIPs written "
                              "as their two /1 halves, so that the tunnel's kill switch stays off and the bypass "
                              "routes keep administration reachable\""));
  EXPECT_TRUE(Contains(reply, "\"rdp_routes_before_tunnel\":\"203.0.113.7/32->192.0.2.1@if7\""));
  EXPECT_TRUE(Contains(reply, "\"message\":\"disable-default-route not active\""));
  ExpectLeft(Left(), {"connected", 1, true, true}, "connected");
  EXPECT_TRUE(IsTunnelRunning());
  // With the bypass on, no /0 reaches the library (its kill switch would cut
  // the administrator off): the same routes as /1 halves.
  EXPECT_TRUE(Contains(*platform::fake::FileContent(kActiveConf),
                       "AllowedIPs = 0.0.0.0/1, 128.0.0.0/1, ::/1, 8000::/1\n"));
  EXPECT_TRUE(Contains(*platform::fake::FileContent(kActiveConf), "DNS = 10.8.0.1\n"));
  EXPECT_EQ(ReadPhase(state_.get()).node, "node-1");
  EXPECT_FALSE(state_->auto_stop_thread.joinable()) << "nothing configured, nothing armed";
  EXPECT_TRUE(Contains(reply, "\"auto_stop_scheduled\":false"));

  // Disconnect removes the tunnel, the route and the file.
  Connect(kDisconnectRequest);
  ExpectLeft(Left(), {"disconnected", 0, false, false}, "disconnected");
}

TEST_F(ConnectFlowTest, SafeModeSuccess_PatchesTheProfileAndSkipsTheAfterTunnelCheck) {
  SafeMode();
  SetProcessEnvironment(kSettingAutoStopSeconds, L"3600");
  const std::string reply = Connect(ConnectRequest(""));
  ASSERT_TRUE(Contains(reply, "\"ok\":true")) << reply;
  EXPECT_TRUE(Contains(reply, "\"message\":\"admin bypass disabled for this build/config\""));
  EXPECT_TRUE(Contains(reply, "\"generated_allowed_ips_after\":\"10.8.0.0/24\""));
  EXPECT_TRUE(Contains(reply, "\"auto_stop_scheduled\":true,\"auto_stop_seconds\":3600,"));
  EXPECT_TRUE(Contains(reply, "\"auto_stop_seconds\":3600,\"message\""));  // the bypass record takes it too
  const std::string config = *platform::fake::FileContent(kActiveConf);
  EXPECT_TRUE(Contains(config, "AllowedIPs = 10.8.0.0/24\n"));
  EXPECT_FALSE(Contains(config, "DNS = "));
  EXPECT_TRUE(state_->auto_stop_thread.joinable());
}

// A program folder others may write: refused before anything changes, and
// served again once it is fixed.
TEST_F(ConnectFlowTest, ProgramFolderOthersMayWrite_RefusesConnectsUntilFixed) {
  platform::PathAccess access = platform::fake::ProgramFilesAccess();
  access.entries.push_back({L"S-1-1-0", 0x10000000, true, false});
  platform::fake::SeedPathAccess(L"C:\\Program Files\\Quorvane", access);
  EXPECT_EQ(Connect(ConnectRequest("")),
            "{\"ok\":false,\"error\":\"program_folder_unsafe\",\"message\":\"C:\\\\Program Files\\\\Quorvane may "
            "be written by S-1-1-0\"}");
  EXPECT_FALSE(platform::fake::FindService(TunnelServiceName()).has_value());
  EXPECT_FALSE(platform::fake::FileContent(kActiveConf).has_value());
  platform::fake::SeedPathAccess(L"C:\\Program Files\\Quorvane", platform::fake::ProgramFilesAccess());
  EXPECT_EQ(Connect(ConnectRequest("")).rfind("{\"ok\":true,\"phase\":\"connected\"", 0), 0u);
}

TEST_F(ConnectFlowTest, RejectedRequests_ChangeNothing) {
  SetPhase(state_.get(), kPhaseConnected, "earlier");
  state_->registered_nonces[L"S-1-5-21-7-500"] = "A";
  const struct {
    std::string request;
    std::string reply;
  } cases[] = {
      {ConnectRequest("B"), "{\"ok\":false,\"error\":\"session_mismatch\",\"message\":\"invalid session\"}"},
      {"{\"op\":\"connect\",\"session_nonce\":\"A\",\"node_id\":\"n\"}",
       "{\"ok\":false,\"error\":\"invalid_profile\",\"message\":\"missing required fields\"}"},
      {ConnectRequest("A", ",\"endpoint_port\":\"70000\""),
       "{\"ok\":false,\"error\":\"invalid_profile\",\"message\":\"invalid endpoint_port\"}"},
      {"{\"op\":\"connect\",\"session_nonce\":\"A\",\"node_id\":\"n\",\"client_private_key\":\"k\\nPostUp = x\"}",
       "{\"ok\":false,\"error\":\"invalid_profile\",\"message\":\"profile field contains a control character\"}"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Connect(c.request), c.reply);
    EXPECT_EQ(ReadPhase(state_.get()).phase, "connected");
    EXPECT_EQ(ReadPhase(state_.get()).node, "earlier");
  }
  EXPECT_TRUE(platform::fake::Journal().empty());
  EXPECT_TRUE(StartupPassive());
}

TEST_F(ConnectFlowTest, FailuresBeforeTheTunnel_LeaveWhatTheTableSays) {
  // Remote session, machine switch unseen by this process.
  platform::fake::SetRemoteSession(true);
  platform::fake::SetRegistryValue(platform::RegistryRoot::kLocalMachine, kMachineEnvironmentKey,
                                   kSettingDisableDefaultRoute, L"1");
  SetProcessEnvironment(kSettingDisableDefaultRoute, L"0");
  EnableBypass();
  std::string reply = Connect(ConnectRequest(""));
  EXPECT_TRUE(Contains(reply, "{\"ok\":false,\"error\":\"poc_env_read_failed\",\"message\":\"Machine "
                              "QUORVANE_POC_DISABLE_DEFAULT_ROUTE unreadable or invalid\"," +
                              WriteAdminBypassJson(AdminBypassState())))
      << reply;
  ExpectLeft(Left(), {"disconnected", 0, false, false}, "poc_env_read_failed");

  // Remote session without safe mode: the routes that the preparation added go again.
  SetProcessEnvironment(kSettingDisableDefaultRoute, L"");
  platform::fake::SetRegistryValue(platform::RegistryRoot::kLocalMachine, kMachineEnvironmentKey,
                                   kSettingDisableDefaultRoute, L"");
  reply = Connect(ConnectRequest(""));
  EXPECT_TRUE(Contains(reply, "\"error\":\"poc_route_guard_failed\",\"message\":\"RDP session detected; set "
                              "QUORVANE_POC_DISABLE_DEFAULT_ROUTE=1 (Machine env + restart QuorvaneVpnService)\""))
      << reply;
  EXPECT_TRUE(Contains(reply, "\"failure_reason\":\"rdp_requires_disable_default_route\""));
  EXPECT_TRUE(Contains(reply, "\"applied\":true")) << "the working record as prepared";
  ExpectLeft(Left(), {"disconnected", 0, false, false}, "rdp");

  // The guard refuses: an Address line that holds a catch-all.
  platform::fake::SetRemoteSession(false);
  SafeMode();
  std::string request = ConnectRequest("");
  request.replace(request.find("10.8.0.7/32"), 11, "0.0.0.0/0");
  reply = Connect(request);
  EXPECT_TRUE(Contains(reply, "\"error\":\"poc_route_guard_failed\",\"message\":\"generated WireGuard config still "
                              "contains catch-all AllowedIPs\""))
      << reply;
  ExpectLeft(Left(), {"disconnected", 0, false, false}, "guard");

  // The bypass is not ready: no physical gateway.
  SetProcessEnvironment(kSettingDisableDefaultRoute, L"");
  FailNextCall("FindBestRoute", 1168);
  reply = Connect(ConnectRequest(""));
  EXPECT_TRUE(Contains(reply, "\"error\":\"admin_bypass_failed\",\"message\":\"physical default gateway not found "
                              "before tunnel (GetBestRoute)\""))
      << reply;
  ExpectLeft(Left(), {"disconnected", 0, false, false}, "admin_bypass_failed before");
}

TEST_F(ConnectFlowTest, WriteAndStartFailures_UndoTheirPart) {
  EnableBypass();
  FailNextCall("CreateDirectories", 5, 1);  // the route journal's own goes through
  EXPECT_EQ(Connect(ConnectRequest("")),
            "{\"ok\":false,\"error\":\"config_write_failed\",\"message\":\"create_directories failed\"}");
  ExpectLeft(Left(), {"disconnected", 0, false, false}, "config_write_failed");

  FailNextCall("ScmStartService", 1053);
  EXPECT_EQ(Connect(ConnectRequest("")),
            "{\"ok\":false,\"error\":\"tunnel_start_failed\",\"message\":\"StartService tunnel failed (error 1053)\"}");
  ExpectLeft(Left(), {"disconnected", 0, false, true}, "tunnel_start_failed");  // created, never started
  EXPECT_FALSE(IsTunnelRunning());
}

TEST_F(ConnectFlowTest, TunnelThatComesUpSlowlyOrNever_IsJudgedOnlyOnceItRuns) {
  using platform::fake::StartBehaviour;
  const struct {
    const char* label;
    StartBehaviour behaviour;
    int polls;
    uint32_t exit_code;
    std::string reply_start;
    Leftovers left;
  } cases[] = {
      // The default route comes with the running state, some polls after the
      // start: the safe-mode check must see it.
      {"slow, then a default route", StartBehaviour::kRunsAfterPolls, 5, 0,
       "{\"ok\":false,\"error\":\"poc_default_route_detected\",", {"disconnected", 1, false, false}},
      {"configuration rejected", StartBehaviour::kStopsAfterPolls, 3, 1066,
       "{\"ok\":false,\"error\":\"tunnel_start_failed\",\"message\":\"tunnel service stopped before it "
       "reported running (exit code 1066, service-specific exit code 0)\"}",
       {"disconnected", 0, false, false}},
      {"never running", StartBehaviour::kNeverRuns, 0, 0,
       "{\"ok\":false,\"error\":\"tunnel_start_failed\",\"message\":\"tunnel service did not report running "
       "within 90 s; the tunnel service was still starting after 120 s; its process (id ",
       {"disconnected", 0, false, false}},
  };
  SafeMode();
  EnableBypass();  // off in safe mode: no route of ours may be left either way
  TunnelTakesDefaultRoute();
  for (const auto& c : cases) {
    platform::fake::SeedRoutes({});
    platform::fake::SetCreatedServiceStart(c.behaviour, c.polls, c.exit_code);
    const std::string reply = Connect(ConnectRequest(""));
    EXPECT_EQ(reply.rfind(c.reply_start, 0), 0u) << c.label << ": " << reply;
    ExpectLeft(Left(), c.left, c.label);
  }
}

TEST_F(ConnectFlowTest, FailuresAfterTheTunnel_TearEverythingDown) {
  SafeMode();
  TunnelTakesDefaultRoute();
  std::string reply = Connect(ConnectRequest(""));
  EXPECT_TRUE(Contains(reply, "{\"ok\":false,\"error\":\"poc_default_route_detected\",\"message\":\"tunnel installed "
                              "a default route on WireGuard/Wintun interface\","))
      << reply;
  EXPECT_TRUE(Contains(reply, "\"offending_default_route\":\"0.0.0.0/0->10.8.0.1@if9:Quorvane WireGuard:metric=0\""));
  EXPECT_TRUE(Contains(reply, "\"poc_default_route_detected\":true"));
  EXPECT_TRUE(Contains(reply, "\"default_routes_before_tunnel\":\"none\""));
  ExpectLeft(Left(), {"disconnected", 1, false, false}, "default route");  // the tunnel's own route stays in the fake

  // Without safe mode the bypass route is lost when the tunnel starts and cannot come back.
  platform::fake::SeedRoutes({});
  SetProcessEnvironment(kSettingDisableDefaultRoute, L"");
  EnableBypass();
  platform::fake::SetServiceStartEffect([] {
    platform::fake::SeedRoutes({});
    FailNextCall("CreateForwardEntry", 5);
  });
  reply = Connect(ConnectRequest(""));
  EXPECT_TRUE(Contains(reply, "\"error\":\"admin_bypass_failed\",\"message\":\"admin bypass routes lost after tunnel "
                              "start and could not be restored\""))
      << reply;
  ExpectLeft(Left(), {"disconnected", 0, false, false}, "admin_bypass_failed after");

  // Lost, then re-added: connected.
  platform::fake::SetServiceStartEffect([] { platform::fake::SeedRoutes({}); });
  reply = Connect(ConnectRequest(""));
  EXPECT_TRUE(Contains(reply, "\"ok\":true")) << reply;
  EXPECT_TRUE(Contains(reply, "\"route_readded_after_tunnel\":true"));
  ExpectLeft(Left(), {"connected", 1, true, true}, "re-added");
}

}  // namespace
}  // namespace quorvane
