#include "routes/admin_bypass.h"

#include <gtest/gtest.h>

#include "admin_bypass_test_support.h"
#include "routes/admin_bypass_routes.h"
#include "common/safe_mode_settings.h"

namespace quorvane {
namespace {

using platform::fake::FailNextCall;
using platform::fake::SetProcessEnvironment;

constexpr uint32_t kPhysical = 7;

platform::TcpConnection RdpPeer(const std::string& remote) {
  return Tcp(platform::kTcpStateEstablished, 3389, remote, 50000);
}

class AdminBypassTest : public AdminBypassTestBase {
 protected:
  void SetUp() override {
    AdminBypassTestBase::SetUp();
    platform::fake::SeedBestRoute(Route("0.0.0.0", "0.0.0.0", "192.0.2.1", kPhysical));
  }
  static void Addresses(const wchar_t* ips) { SetProcessEnvironment(kSettingAdminBypassIps, ips); }
};

// A reconnect while the earlier tunnel runs: the best route to the probe
// follows the tunnel, so the physical default route is found in the table.
TEST_F(AdminBypassTest, RunningTunnel_TheGatewayIsThePhysicalDefaultRoute) {
  constexpr uint32_t kTunnel = 9;
  platform::fake::SeedInterface(kTunnel, {L"active", L"WireGuard Tunnel"});
  platform::fake::SeedInterface(kPhysical, {L"Ethernet", L""});
  platform::fake::SeedBestRoute(Route("0.0.0.0", "128.0.0.0", "10.8.0.1", kTunnel));
  Addresses(L"203.0.113.7");
  const struct {
    std::vector<platform::ForwardRow> table;
    const char* gateway;  // nullptr: none found
  } cases[] = {
      {{Route("0.0.0.0", "0.0.0.0", "192.0.2.1", kPhysical, 35), Route("0.0.0.0", "0.0.0.0", "10.8.0.1", kTunnel, 5),
        Route("0.0.0.0", "0.0.0.0", "198.51.100.1", kPhysical, 50)},
       "192.0.2.1"},
      {{Route("0.0.0.0", "0.0.0.0", "10.8.0.1", kTunnel, 5)}, nullptr},
  };
  for (const auto& c : cases) {
    ResetAdminBypassRecords();
    platform::fake::SeedRoutes(c.table);
    const AdminBypassState state = PrepareAdminBypass(false);
    if (c.gateway != nullptr) {
      EXPECT_TRUE(state.routes_ready_before_tunnel) << state.message;
      EXPECT_EQ(state.physical_default_gateway_before_tunnel, c.gateway);
    } else {
      EXPECT_EQ(state.failure_reason, "physical_gateway_missing");
    }
  }
}

TEST_F(AdminBypassTest, Disabled_PublishesOnlyTheMessageAndLogsNothing) {
  SetProcessEnvironment(kSettingAutoStopSeconds, L"30");
  const AdminBypassState state = PrepareAdminBypass(false);
  EXPECT_FALSE(state.enabled);
  EXPECT_FALSE(state.attempted);
  EXPECT_EQ(state.message, "admin bypass disabled for this build/config");
  EXPECT_EQ(platform::fake::DebuggerText(), L"");
  EXPECT_EQ(platform::fake::StderrText(), L"");
  EXPECT_EQ(WriteAdminBypassJson(CurrentAdminBypassState()),
            "\"admin_bypass\":{\"enabled\":false,\"attempted\":false,\"applied\":false,"
            "\"routes_ready_before_tunnel\":false,\"route_readded_after_tunnel\":false,\"required_enforced\":true,"
            "\"skipped_for_safe_mode\":false,\"auto_stop_seconds\":30,"
            "\"message\":\"admin bypass disabled for this build/config\"}");
}

TEST_F(AdminBypassTest, FreshRecord_JsonHoldsTheSevenFlagsAndZero) {
  EXPECT_EQ(WriteAdminBypassJson(AdminBypassState()),
            "\"admin_bypass\":{\"enabled\":false,\"attempted\":false,\"applied\":false,"
            "\"routes_ready_before_tunnel\":false,\"route_readded_after_tunnel\":false,\"required_enforced\":false,"
            "\"skipped_for_safe_mode\":false,\"auto_stop_seconds\":0}");
}

TEST_F(AdminBypassTest, SafeMode_FillsTheListsAndTouchesNoRoute) {
  SeedRdpServer();
  platform::fake::SeedTcpConnections({RdpListener(), RdpPeer("203.0.113.9")});
  SetProcessEnvironment(kSettingAdminBypass, L"1");
  const AdminBypassState state = PrepareAdminBypass(true);
  EXPECT_TRUE(state.attempted);
  EXPECT_TRUE(state.routes_ready_before_tunnel);
  EXPECT_FALSE(state.applied);
  EXPECT_TRUE(state.skipped_for_safe_mode);
  EXPECT_FALSE(state.required_enforced);
  EXPECT_EQ(state.message, "admin bypass skipped for POC safe mode (disable-default-route)");
  EXPECT_EQ(state.rdp_tcp_remote_addresses, "[\"203.0.113.9\"]");
  EXPECT_EQ(state.admin_env_ips, "[]");
  EXPECT_EQ(state.selected_admin_bypass_ips, "[\"203.0.113.9\"]");
  EXPECT_EQ(state.selected_bypass_ip_entries, "[{\"ip\":\"203.0.113.9\",\"source\":\"RDP_TCP_ESTABLISHED\",\"required\":true}]");
  EXPECT_TRUE(platform::fake::Routes().empty());
  EXPECT_EQ(CopySelectedBypassIps(), (std::vector<std::string>{"203.0.113.9"}));
  EXPECT_EQ(platform::fake::DebuggerText(), L"[Quorvane][admin_bypass] enabled=1 applied=0 failure=\n");
  EXPECT_EQ(platform::fake::StderrText(), platform::fake::DebuggerText());
}

TEST_F(AdminBypassTest, Refusals_CoverEveryFailureRow) {
  platform::fake::SetConsoleSession(1);
  platform::fake::SeedSessionClientAddress(1, ClientAddress(2, 198, 51, 100, 30));
  SetProcessEnvironment(kSettingAdminBypass, L"yes");
  // An optional session client alone is not enough.
  AdminBypassState state = PrepareAdminBypass(false);
  EXPECT_EQ(state.failure_reason, "no_admin_bypass_ips");
  EXPECT_EQ(state.message,
            "no required RDP/admin IPs detected; set ADMIN_BYPASS_IP, ADMIN_BYPASS_IPS, or establish RDP before "
            "connecting");

  Addresses(L"203.0.113.7");
  FailNextCall("FindBestRoute", 1168);
  state = PrepareAdminBypass(false);
  EXPECT_EQ(state.failure_reason, "physical_gateway_missing");
  EXPECT_EQ(state.message, "physical default gateway not found before tunnel (GetBestRoute)");
  platform::fake::SeedBestRoute(platform::ForwardRow());  // on-link: no next hop
  EXPECT_EQ(PrepareAdminBypass(false).failure_reason, "physical_gateway_missing");
  EXPECT_TRUE(platform::fake::Routes().empty());
}

TEST_F(AdminBypassTest, OptionalFailureIsTolerated_RequiredOnesFailWithTheFirstNamed) {
  SeedRdpServer(1);
  platform::fake::SeedSessionClientAddress(1, ClientAddress(2, 20, 9, 9, 9));
  Addresses(L"203.0.113.7");
  FailNextCall("CreateForwardEntry", 87);  // candidates are in text order: 20.9.9.9 (optional) first
  AdminBypassState state = PrepareAdminBypass(false);
  EXPECT_TRUE(state.applied) << state.message;
  EXPECT_EQ(state.route_add_results, "20.9.9.9:failed;203.0.113.7:added;");
  EXPECT_EQ(state.route_verify_before_tunnel, "203.0.113.7:ok(metric=1);");
  EXPECT_EQ(state.client_ip, "203.0.113.7");
  EXPECT_EQ(state.message, "required admin bypass host routes verified before tunnel");
  EXPECT_EQ(state.physical_default_gateway_before_tunnel, "192.0.2.1");
  EXPECT_EQ(state.physical_interface_index_before_tunnel, "7");
  ReleaseAdminBypass();

  Addresses(L"203.0.113.7 198.51.100.20 198.51.100.21");
  FailNextCall("CreateForwardEntry", 87, 1);  // 198.51.100.21 and 20.9.9.9 (after 198.51.100.20)
  FailNextCall("CreateForwardEntry", 5);
  state = PrepareAdminBypass(false);
  EXPECT_FALSE(state.routes_ready_before_tunnel);
  EXPECT_EQ(state.failure_reason, "route_add_failed");
  EXPECT_EQ(state.message, "required admin bypass host route failed to add: 198.51.100.21 (route_add_failed)");
  EXPECT_EQ(state.route_add_results, "198.51.100.20:added;198.51.100.21:failed;20.9.9.9:failed;203.0.113.7:added;");
  EXPECT_TRUE(platform::fake::Routes().empty()) << "the failed preparation removes what it added";
  EXPECT_EQ(CurrentAdminBypassState().failure_reason, "route_add_failed");
}

TEST_F(AdminBypassTest, CreatedRouteWithHighMetric_FailsAddAndIsRemoved) {
  Addresses(L"203.0.113.7");
  platform::fake::SetCreatedRouteMetric(16);
  const AdminBypassState state = PrepareAdminBypass(false);
  EXPECT_EQ(state.failure_reason, "route_add_failed");
  EXPECT_EQ(state.message, "required admin bypass host route failed to add: 203.0.113.7 (route_verify_failed)");
  EXPECT_TRUE(platform::fake::Routes().empty());
}

TEST_F(AdminBypassTest, RouteThatVanishesBeforeVerification_RefusesTheConnect) {
  Addresses(L"203.0.113.7");
  // Adding a new route reads the table three times; the verification's read fails.
  FailNextCall("ReadIpForwardTable", 232, 3);
  const AdminBypassState state = PrepareAdminBypass(false);
  EXPECT_EQ(state.failure_reason, "route_verify_before_tunnel_failed");
  EXPECT_EQ(state.message, "required admin bypass routes not verified before tunnel; refusing connect");
  EXPECT_EQ(state.route_verify_before_tunnel, "203.0.113.7:missing;");
  EXPECT_TRUE(platform::fake::Routes().empty());
}

TEST_F(AdminBypassTest, AfterTunnel_VerifiesOrReaddsLostRoutes) {
  Addresses(L"203.0.113.7");
  ASSERT_TRUE(PrepareAdminBypass(false).applied);
  AdminBypassState state = ConfirmAdminBypassAfterTunnel();
  EXPECT_EQ(state.message, "admin bypass routes verified after tunnel");
  EXPECT_EQ(state.route_verify_after_tunnel, "203.0.113.7:ok(metric=1);");

  platform::fake::SeedRoutes({});  // the tunnel took the route away
  state = ConfirmAdminBypassAfterTunnel();
  EXPECT_TRUE(state.route_readded_after_tunnel);
  EXPECT_TRUE(state.applied);
  EXPECT_EQ(state.route_add_results, "203.0.113.7:added;");
  EXPECT_EQ(state.message, "admin bypass routes re-added and verified after tunnel");

  platform::fake::SeedRoutes({});
  FailNextCall("CreateForwardEntry", 87);
  state = ConfirmAdminBypassAfterTunnel();
  EXPECT_FALSE(state.applied);
  EXPECT_EQ(state.route_add_results, "203.0.113.7:add_failed(87);");
  EXPECT_EQ(state.failure_reason, "route_verify_after_tunnel_failed");
  EXPECT_EQ(state.message, "admin bypass routes lost after tunnel start and could not be restored");
  EXPECT_EQ(state.route_verify_after_tunnel, "203.0.113.7:missing;");
}

TEST_F(AdminBypassTest, AfterTunnelWithoutAnAttempt_ChangesNothing) {
  const AdminBypassState state = ConfirmAdminBypassAfterTunnel();
  EXPECT_FALSE(state.enabled);
  EXPECT_TRUE(platform::fake::Journal().empty());
}

TEST_F(AdminBypassTest, SecondPreparationWithoutRemoval_LeavesNoRouteBehind) {
  Addresses(L"203.0.113.7");
  ASSERT_TRUE(PrepareAdminBypass(false).applied);
  Addresses(L"203.0.113.7 198.51.100.20");
  ASSERT_TRUE(PrepareAdminBypass(false).applied);
  EXPECT_EQ(platform::fake::Routes().size(), 2u);
  EXPECT_EQ(AddedBypassRoutes().size(), 2u);
  const AdminBypassState released = ReleaseAdminBypass();
  EXPECT_TRUE(platform::fake::Routes().empty());
  EXPECT_FALSE(released.applied);
  EXPECT_EQ(released.message, "required admin bypass host routes verified before tunnel");
}

TEST_F(AdminBypassTest, ReleaseWithNothingRecorded_StillPublishesAndLogs) {
  const AdminBypassState state = ReleaseAdminBypass();
  EXPECT_EQ(state.message, "admin bypass host routes removed");
  EXPECT_EQ(platform::fake::StderrText(), L"[Quorvane][admin_bypass] enabled=0 applied=0 failure=\n");
}

TEST_F(AdminBypassTest, FullRecord_JsonByteForByte) {
  SetProcessEnvironment(kSettingAdminBypassIp, L"203.0.113.7 10.0.0.1");
  SeedRdpServer();
  platform::fake::SeedTcpConnections({RdpListener(), RdpPeer("198.51.100.20")});
  PrepareAdminBypass(false);
  const AdminBypassState state = ConfirmAdminBypassAfterTunnel();
  EXPECT_EQ(WriteAdminBypassJson(state),
            "\"admin_bypass\":{\"enabled\":true,\"attempted\":true,\"applied\":true,"
            "\"routes_ready_before_tunnel\":true,\"route_readded_after_tunnel\":false,\"required_enforced\":true,"
            "\"skipped_for_safe_mode\":false,\"auto_stop_seconds\":0,\"client_ip\":\"198.51.100.20\","
            "\"gateway\":\"192.0.2.1\",\"message\":\"admin bypass routes verified after tunnel\","
            "\"rdp_tcp_remote_addresses\":[\"198.51.100.20\"],\"admin_env_ips\":[\"203.0.113.7\",\"10.0.0.1\"],"
            "\"selected_admin_bypass_ips\":[\"198.51.100.20\",\"203.0.113.7\"],"
            "\"selected_bypass_ip_entries\":[{\"ip\":\"198.51.100.20\",\"source\":\"RDP_TCP_ESTABLISHED\","
            "\"required\":true},{\"ip\":\"203.0.113.7\",\"source\":\"ADMIN_BYPASS_IP\",\"required\":true}],"
            "\"physical_default_gateway_before_tunnel\":\"192.0.2.1\",\"physical_interface_index_before_tunnel\":"
            "\"7\",\"route_add_results\":\"198.51.100.20:added;203.0.113.7:added;\",\"route_add_results_detail\":["
            "{\"ip\":\"198.51.100.20\",\"source\":\"RDP_TCP_ESTABLISHED\",\"required\":true,\"add_attempted\":true,"
            "\"already_exists\":false,\"add_success\":true,\"win32_error_code\":0,\"error_message\":\"\","
            "\"gateway\":\"192.0.2.1\",\"interface_index\":\"7\",\"existing_route_gateway\":\"\","
            "\"existing_route_interface_index\":\"\",\"route_verify_success\":true,\"failure_reason\":\"\"},"
            "{\"ip\":\"203.0.113.7\",\"source\":\"ADMIN_BYPASS_IP\",\"required\":true,\"add_attempted\":true,"
            "\"already_exists\":false,\"add_success\":true,\"win32_error_code\":0,\"error_message\":\"\","
            "\"gateway\":\"192.0.2.1\",\"interface_index\":\"7\",\"existing_route_gateway\":\"\","
            "\"existing_route_interface_index\":\"\",\"route_verify_success\":true,\"failure_reason\":\"\"}],"
            "\"route_verify_before_tunnel\":\"198.51.100.20:ok(metric=1);203.0.113.7:ok(metric=1);\","
            "\"route_verify_after_tunnel\":\"198.51.100.20:ok(metric=1);203.0.113.7:ok(metric=1);\"}");
}

}  // namespace
}  // namespace quorvane
