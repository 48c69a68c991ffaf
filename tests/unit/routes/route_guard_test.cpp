#include "routes/route_guard.h"

#include <gtest/gtest.h>

#include "fake_routes.h"
#include "fake_windows_test.h"
#include "common/safe_mode_settings.h"

namespace quorvane {
namespace {

TunnelProfile Profile(const std::string& address, const std::string& allowed_ips) {
  TunnelProfile profile;
  profile.node_id = "n";
  profile.client_private_key = "k";
  profile.address_cidr = address;
  profile.allowed_ips_csv = allowed_ips;
  profile.dns_csv = "10.8.0.1";
  profile.server_public_key = "s";
  profile.endpoint_host = "vpn.example";
  return profile;
}

void SafeMode(const wchar_t* value) { platform::fake::SetProcessEnvironment(kSettingDisableDefaultRoute, value); }

class RouteGuardTest : public FakeWindowsTest {};

TEST_F(RouteGuardTest, SafeMode_ReplacesCatchAllsByTheClientSlash24AndDropsDns) {
  SafeMode(L"1");
  const struct {
    std::string address;
    std::string allowed_before;
    std::string allowed_after;
  } cases[] = {
      {"10.8.0.7/32", "0.0.0.0/0, ::/0", "10.8.0.0/24"},
      {"10.8.0.7", "0.0.0.0/0", "10.8.0.0/24"},  // the prefix is not needed
      {"fd00::7/128", "::/0", "10.66.66.0/24"},  // no IPv4 address
      {"", "0.0.0.0/0", "10.66.66.0/24"},
      {"10.8.0.7/32", "10.8.0.0/24,192.0.2.0/24", "10.8.0.0/24,192.0.2.0/24"},  // no catch-all: kept
  };
  for (const auto& c : cases) {
    TunnelProfile profile = Profile(c.address, c.allowed_before);
    RouteGuardReport report;
    ApplyRouteGuard(&profile, &report);
    EXPECT_EQ(profile.allowed_ips_csv, c.allowed_after) << c.address;
    EXPECT_EQ(profile.dns_csv, "");
    EXPECT_EQ(RenderWireGuardConfig(profile).find("DNS = "), std::string::npos);
    EXPECT_TRUE(report.effective_disable_default_route);
    EXPECT_FALSE(report.poc_route_guard_failed);
    EXPECT_EQ(report.generated_allowed_ips_before, c.allowed_before);
    EXPECT_EQ(report.generated_allowed_ips_after, c.allowed_after);
    EXPECT_EQ(report.message, "POC safe AllowedIPs applied (no catch-all)");
  }
}

TEST_F(RouteGuardTest, SafeModeOff_LeavesTheProfileAsReceived) {
  TunnelProfile profile = Profile("10.8.0.7/32", "0.0.0.0/0");
  RouteGuardReport report;
  ApplyRouteGuard(&profile, &report);
  EXPECT_EQ(profile.allowed_ips_csv, "0.0.0.0/0");
  EXPECT_EQ(profile.dns_csv, "10.8.0.1");
  EXPECT_EQ(report.message, "disable-default-route not active");
  EXPECT_EQ(report.generated_allowed_ips_before, "0.0.0.0/0");
  EXPECT_EQ(report.generated_allowed_ips_after, "");
  EXPECT_FALSE(report.poc_route_guard_failed);
}

TEST_F(RouteGuardTest, Refusals_CoverEveryRowOfTheTable) {
  // A machine-wide switch that this process does not see, in a remote session.
  platform::fake::SetRemoteSession(true);
  platform::fake::SetRegistryValue(platform::RegistryRoot::kLocalMachine, kMachineEnvironmentKey,
                                   kSettingDisableDefaultRoute, L"1");
  SafeMode(L"0");
  TunnelProfile profile = Profile("10.8.0.7/32", "0.0.0.0/0");
  RouteGuardReport report;
  ApplyRouteGuard(&profile, &report);
  EXPECT_TRUE(report.rdp_session_active);
  EXPECT_TRUE(report.poc_env_read_failed);
  EXPECT_TRUE(report.poc_route_guard_failed);
  EXPECT_EQ(report.failure_reason, "poc_env_read_failed");
  EXPECT_EQ(report.message, "Machine QUORVANE_POC_DISABLE_DEFAULT_ROUTE unreadable or invalid");
  EXPECT_EQ(profile.allowed_ips_csv, "0.0.0.0/0");
  EXPECT_EQ(report.process_disable_default_route, "0");
  EXPECT_EQ(report.machine_disable_default_route, "1");

  // Not remote, the same environment: no refusal, and safe mode is off.
  platform::fake::SetRemoteSession(false);
  report = RouteGuardReport();
  ApplyRouteGuard(&profile, &report);
  EXPECT_FALSE(report.poc_route_guard_failed);

  // The patched AllowedIPs are clean, but the Address line still holds a
  // catch-all, and the rendered text is what the tunnel would get.
  SafeMode(L"on");
  profile = Profile("0.0.0.0/0", "0.0.0.0/0");
  report = RouteGuardReport();
  ApplyRouteGuard(&profile, &report);
  EXPECT_EQ(report.generated_allowed_ips_after, "0.0.0.0/24");
  EXPECT_TRUE(report.poc_route_guard_failed);
  EXPECT_EQ(report.failure_reason, "poc_route_guard_failed");
  EXPECT_EQ(report.message, "generated WireGuard config still contains catch-all AllowedIPs");
}

// The service runs in session 0, which is never remote: an administrator's
// RDP session shows only among the machine's sessions.
TEST_F(RouteGuardTest, RdpSession_IsSeenFromSessionZero) {
  using platform::SessionEntry;
  constexpr uint32_t kDisconnected = 4;
  const struct {
    const char* label;
    bool process_remote;
    std::vector<SessionEntry> sessions;
    bool rdp;
  } cases[] = {
      {"console only", false, {{0, platform::kSessionConnected, 0}, {1, platform::kSessionActive, 0}}, false},
      {"console and RDP", false, {{1, platform::kSessionActive, 0}, {2, platform::kSessionActive, 2}}, true},
      {"RDP session disconnected", false, {{1, platform::kSessionActive, 0}, {2, kDisconnected, 2}}, false},
      {"console mode inside RDP", true, {}, true},
  };
  for (const auto& c : cases) {
    platform::fake::Reset();
    platform::fake::SetRemoteSession(c.process_remote);
    platform::fake::SeedSessions(c.sessions);
    TunnelProfile profile = Profile("10.8.0.7/32", "10.8.0.0/24");
    RouteGuardReport report;
    ApplyRouteGuard(&profile, &report);
    EXPECT_EQ(report.rdp_session_active, c.rdp) << c.label;
  }
}

// The library reads prefixes, masked: every spelling of "everything" is a
// catch-all to the guard.
TEST_F(RouteGuardTest, SafeMode_PatchesACatchAllInAnySpelling) {
  SafeMode(L"1");
  for (const char* allowed : {"::0/0", "0:0::0/0", "1.2.3.4/0", "0.0.0.0/1, 128.0.0.0/1", "10.8.0.0/24, ::/1, 8000::/1",
                              "0.0.0.0/2,64.0.0.0/2,128.0.0.0/1"}) {
    TunnelProfile profile = Profile("10.8.0.7/32", allowed);
    RouteGuardReport report;
    ApplyRouteGuard(&profile, &report);
    EXPECT_FALSE(report.poc_route_guard_failed) << allowed;
    EXPECT_EQ(profile.allowed_ips_csv, "10.8.0.0/24") << allowed;
    EXPECT_EQ(report.generated_allowed_ips_before, allowed);
  }
  // Half of the space is no catch-all: kept as received.
  TunnelProfile profile = Profile("10.8.0.7/32", "0.0.0.0/1");
  RouteGuardReport report;
  ApplyRouteGuard(&profile, &report);
  EXPECT_EQ(profile.allowed_ips_csv, "0.0.0.0/1");
}

// With a /0 the library turns on its kill switch, which would cut off the
// administrator whom the bypass routes keep reachable.
TEST_F(RouteGuardTest, CatchAlls_AreSplitIntoTheirHalvesForTheBypass) {
  const struct {
    const char* allowed;
    const char* written;  // nullptr: unchanged
  } cases[] = {
      {"0.0.0.0/0, ::/0", "0.0.0.0/1, 128.0.0.0/1, ::/1, 8000::/1"},
      {"10.8.0.0/24,1.2.3.4/0", "10.8.0.0/24, 0.0.0.0/1, 128.0.0.0/1"},
      {"::0/0", "::/1, 8000::/1"},
      {"10.8.0.0/24, fd00::/64", nullptr},
  };
  for (const auto& c : cases) {
    std::string allowed = c.allowed;
    EXPECT_EQ(SplitCatchAllsIntoHalves(&allowed), c.written != nullptr) << c.allowed;
    EXPECT_EQ(allowed, c.written != nullptr ? c.written : c.allowed);
    EXPECT_EQ(IsCatchAll(allowed), c.written != nullptr) << "the same routes: " << c.allowed;
  }
}

TEST_F(RouteGuardTest, AutoStopSources_AreReported) {
  platform::fake::SetRegistryValue(platform::RegistryRoot::kCurrentUser, kUserEnvironmentKey, kSettingAutoStopSeconds,
                                   L"45s");
  TunnelProfile profile = Profile("10.8.0.7/32", "10.8.0.0/24");
  RouteGuardReport report;
  ApplyRouteGuard(&profile, &report);
  EXPECT_EQ(report.user_auto_stop_seconds, "45s");
  EXPECT_EQ(report.auto_stop_seconds, 45);
  EXPECT_EQ(report.effective_auto_stop_seconds, 45);
}

TEST_F(RouteGuardTest, Json_AlwaysCarriesAll25KeysInOrder) {
  EXPECT_EQ(WriteRouteGuardJson(RouteGuardReport()),
            "\"poc_route_guard\":{\"effective_disable_default_route\":false,\"poc_route_guard_failed\":false,"
            "\"poc_default_route_detected\":false,\"poc_env_read_failed\":false,\"rdp_session_active\":false,"
            "\"auto_stop_scheduled\":false,\"auto_stop_seconds\":0,\"effective_auto_stop_seconds\":0,"
            "\"process_env_QUORVANE_POC_DISABLE_DEFAULT_ROUTE\":\"\",\"machine_env_QUORVANE_POC_DISABLE_DEFAULT_ROUTE\":"
            "\"\",\"user_env_QUORVANE_POC_DISABLE_DEFAULT_ROUTE\":\"\",\"process_env_QUORVANE_POC_AUTO_STOP_SECONDS\":"
            "\"\",\"machine_env_QUORVANE_POC_AUTO_STOP_SECONDS\":\"\",\"user_env_QUORVANE_POC_AUTO_STOP_SECONDS\":\"\","
            "\"generated_allowed_ips_before\":\"\",\"generated_allowed_ips_after\":\"\","
            "\"default_routes_before_tunnel\":\"\",\"default_routes_after_tunnel\":\"\","
            "\"rdp_routes_before_tunnel\":\"\",\"rdp_routes_after_tunnel\":\"\",\"offending_default_route\":\"\","
            "\"failure_reason\":\"\",\"message\":\"\",\"auto_stop_deadline_utc\":\"\",\"carved_allowed_ips\":\"\"}");
  RouteGuardReport report;
  report.poc_default_route_detected = true;
  report.auto_stop_scheduled = true;
  report.auto_stop_seconds = 30;
  report.offending_default_route = "0.0.0.0/0->10.8.0.1@if9:wg \"a\\b\":metric=5";
  const std::string json = WriteRouteGuardJson(report);
  EXPECT_NE(json.find(",\"poc_default_route_detected\":true,"), std::string::npos);
  EXPECT_NE(json.find(",\"auto_stop_scheduled\":true,\"auto_stop_seconds\":30,"), std::string::npos);
  EXPECT_NE(json.find(",\"offending_default_route\":\"0.0.0.0/0->10.8.0.1@if9:wg \\\"a\\\\b\\\":metric=5\","),
            std::string::npos);
}

// Safe mode has no bypass routes: an AllowedIPs entry that holds an
// administrator's address is split around it, and the report says so.
TEST_F(RouteGuardTest, SafeMode_CarvesTheAdministratorsOutOfAllowedIps) {
  platform::fake::SetProcessEnvironment(kSettingDisableDefaultRoute, L"1");
  platform::fake::SetProcessEnvironment(kSettingAdminBypassIps, L"10.1.2.3");
  SeedRdpServer();
  platform::fake::SeedTcpConnections({RdpListener(), Tcp(platform::kTcpStateEstablished, 3389, "203.0.113.9", 50001)});
  platform::fake::SeedTcp6Connections({Tcp6(platform::kTcpStateListen, 3389, "::"),
                                       Tcp6(platform::kTcpStateEstablished, 3389, "2001:db8::9")});
  TunnelProfile profile;
  profile.address_cidr = "10.8.0.2/32";
  profile.allowed_ips_csv = "0.0.0.0/1, 10.8.0.0/24, 2000::/3";
  RouteGuardReport report;
  ApplyRouteGuard(&profile, &report);
  EXPECT_FALSE(report.poc_route_guard_failed);
  EXPECT_EQ(report.carved_allowed_ips,
            "10.1.2.3/32 from 0.0.0.0/1 (ADMIN_BYPASS_IPS); 2001:db8::9/128 from 2000::/3 (RDP_TCP_ESTABLISHED)");
  EXPECT_NE(report.generated_allowed_ips_after.find("10.1.2.2/32, 10.1.2.4/30"), std::string::npos)
      << "10.1.2.3 alone left out: " << report.generated_allowed_ips_after;
  EXPECT_NE(report.generated_allowed_ips_after.find(", 10.8.0.0/24, 2000::/16, 2001::/21,"), std::string::npos);
  EXPECT_NE(report.generated_allowed_ips_after.find(", 2800::/5, 3000::/4"), std::string::npos);
  EXPECT_NE(report.generated_allowed_ips_after.find("2001:db8::8/128, 2001:db8::a/127"), std::string::npos)
      << "2001:db8::9 alone left out: " << report.generated_allowed_ips_after;
  EXPECT_EQ(report.administration_peers, (std::vector<std::string>{"10.1.2.3", "203.0.113.9", "2001:db8::9"}));
  EXPECT_NE(report.message.find("administrators' addresses kept outside the tunnel"), std::string::npos);
}

}  // namespace
}  // namespace quorvane
