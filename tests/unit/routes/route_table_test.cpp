#include "routes/route_table.h"

#include <gtest/gtest.h>

#include "platform/ip_routes.h"
#include "fake_routes.h"
#include "fake_windows_test.h"

namespace quorvane {
namespace {

using platform::ForwardRow;

class RouteTableTest : public FakeWindowsTest {
 protected:
  void SetUp() override {
    FakeWindowsTest::SetUp();
    platform::fake::SeedInterface(7, {L"Ethernet", L"Intel(R) Ethernet Connection"});
    platform::fake::SeedInterface(9, {L"Quorvane WireGuard", L"WireGuard Tunnel"});
    platform::fake::SeedInterface(11, {L"", L"Wintun Userspace Tunnel"});
    platform::fake::SeedInterface(12, {L"VPN", L"Some VPN adapter"});
  }
};

TEST_F(RouteTableTest, InterfaceNames_AliasThenDescriptionThenIndex) {
  EXPECT_EQ(InterfaceName(7), "Ethernet");
  EXPECT_EQ(InterfaceName(11), "Wintun Userspace Tunnel");
  EXPECT_EQ(InterfaceName(40), "if40");
  platform::fake::SeedInterface(13, {L"R\u00e9seau \"maison\"", L""});
  EXPECT_EQ(InterfaceName(13), "R\xC3\xA9seau \"maison\"");
}

TEST_F(RouteTableTest, TunnelInterfaces_AreNamedForWireGuardWintunOrTunnelInAnyCase) {
  const struct {
    uint32_t if_index;
    bool tunnel;
  } cases[] = {{7, false}, {9, true}, {11, true}, {12, false}, {40, false}};
  for (const auto& c : cases) EXPECT_EQ(IsTunnelInterface(c.if_index), c.tunnel) << c.if_index;
  platform::fake::SeedInterface(14, {L"MY-TUNNEL-2", L""});
  EXPECT_TRUE(IsTunnelInterface(14));
}

TEST_F(RouteTableTest, DefaultRoutesSummary_ListsEveryDefaultRouteInTableOrder) {
  platform::fake::SeedRoutes({
      Route("0.0.0.0", "0.0.0.0", "192.168.1.1", 7, 25),
      Route("192.168.1.0", "255.255.255.0", "0.0.0.0", 7, 281),
      Route("0.0.0.0", "0.0.0.0", "10.8.0.1", 9, 5),
      Route("0.0.0.0", "128.0.0.0", "10.8.0.1", 9, 5),  // half of the space is not a default route
      Route("0.0.0.0", "0.0.0.0", "0.0.0.0", 40, 1),
  });
  EXPECT_EQ(DefaultRoutesSummary(),
            "0.0.0.0/0->192.168.1.1@if7:Ethernet:metric=25;"
            "0.0.0.0/0->10.8.0.1@if9:Quorvane WireGuard:metric=5;"
            "0.0.0.0/0->0.0.0.0@if40:if40:metric=1");
}

TEST_F(RouteTableTest, Summaries_SayNoneWithoutMatchesAndUnavailableWhenUnreadable) {
  platform::fake::SeedRoutes({Route("192.168.1.0", "255.255.255.0", "0.0.0.0", 7)});
  EXPECT_EQ(DefaultRoutesSummary(), "none");
  EXPECT_EQ(HostRoutesSummary({"203.0.113.5"}), "none");
  EXPECT_EQ(HostRoutesSummary({}), "none");
  platform::fake::FailNextCall("ReadIpForwardTable", 232);
  EXPECT_EQ(DefaultRoutesSummary(), "unavailable");
  platform::fake::FailNextCall("ReadIpForwardTable", 232);
  EXPECT_EQ(HostRoutesSummary({"203.0.113.5"}), "unavailable");
  platform::fake::FailNextCall("ReadIpForwardTable", 232);
  std::string text = "untouched";
  EXPECT_FALSE(HasTunnelDefaultRoute(&text));
  EXPECT_EQ(text, "untouched");
}

TEST_F(RouteTableTest, HostRoutesSummary_ListsEachIpv4CandidatesHostRoutes) {
  platform::fake::SeedRoutes({
      Route("203.0.113.5", "255.255.255.255", "192.168.1.1", 7),
      Route("198.51.100.7", "255.255.255.255", "192.168.1.1", 7),
      Route("203.0.113.0", "255.255.255.0", "192.168.1.1", 7),  // not a host route
      Route("203.0.113.5", "255.255.255.255", "10.8.0.1", 9),
  });
  EXPECT_EQ(HostRoutesSummary({"198.51.100.7", "fe80::1", "admin.example", "203.0.113.5", "192.0.2.1"}),
            "198.51.100.7/32->192.168.1.1@if7;203.0.113.5/32->192.168.1.1@if7;203.0.113.5/32->10.8.0.1@if9");
}

TEST_F(RouteTableTest, HasTunnelDefaultRoute_FindsTheFirstDefaultRouteOnATunnel) {
  std::string text;
  EXPECT_FALSE(HasTunnelDefaultRoute(&text));  // empty table
  platform::fake::SeedRoutes({
      Route("0.0.0.0", "0.0.0.0", "192.168.1.1", 7, 25),
      Route("10.8.0.0", "255.255.255.0", "0.0.0.0", 9),
      Route("0.0.0.0", "0.0.0.0", "0.0.0.0", 12),
  });
  EXPECT_FALSE(HasTunnelDefaultRoute(&text));
  EXPECT_EQ(text, "");
  platform::fake::SeedRoutes({
      Route("0.0.0.0", "0.0.0.0", "192.168.1.1", 7, 25),
      Route("0.0.0.0", "0.0.0.0", "0.0.0.0", 11, 0),
      Route("0.0.0.0", "0.0.0.0", "10.8.0.1", 9, 5),
  });
  EXPECT_TRUE(HasTunnelDefaultRoute(&text));
  EXPECT_EQ(text, "0.0.0.0/0->0.0.0.0@if11:Wintun Userspace Tunnel:metric=0");
  EXPECT_TRUE(HasTunnelDefaultRoute(nullptr));
}

// The WireGuard tunnel library names its adapter after the configuration file
// ("active") and describes it as a WireGuard tunnel.
TEST_F(RouteTableTest, AdapterNamedAfterTheTunnel_CountsByItsDescription) {
  platform::fake::SeedInterface(21, {L"active", L"WireGuard Tunnel"});
  platform::fake::SeedInterface(22, {L"Ethernet 2", L"Realtek PCIe GbE"});
  platform::fake::SeedRoutes({
      Route("0.0.0.0", "0.0.0.0", "192.168.1.1", 22, 35),
      Route("0.0.0.0", "0.0.0.0", "0.0.0.0", 21, 5),
  });
  EXPECT_TRUE(IsTunnelInterface(21));
  EXPECT_FALSE(IsTunnelInterface(22));
  std::string text;
  EXPECT_TRUE(HasTunnelDefaultRoute(&text));
  EXPECT_EQ(text, "0.0.0.0/0->0.0.0.0@if21:active:metric=5") << "the text still names the alias";
}

// The two /1 halves take every address without a default route.
TEST_F(RouteTableTest, HalvesOnATunnel_CountAsItsDefaultRoute) {
  std::string text;
  platform::fake::SeedRoutes({Route("0.0.0.0", "128.0.0.0", "10.8.0.1", 9, 5)});
  EXPECT_FALSE(HasTunnelDefaultRoute(&text)) << "one half is not all";
  platform::fake::SeedRoutes({Route("0.0.0.0", "128.0.0.0", "10.8.0.1", 9, 5),
                              Route("128.0.0.0", "128.0.0.0", "10.8.0.1", 7, 5)});
  EXPECT_FALSE(HasTunnelDefaultRoute(&text)) << "the halves on two interfaces";
  platform::fake::SeedRoutes({Route("0.0.0.0", "128.0.0.0", "10.8.0.1", 9, 5),
                              Route("128.0.0.0", "128.0.0.0", "10.8.0.1", 9, 5)});
  EXPECT_TRUE(HasTunnelDefaultRoute(&text));
  EXPECT_EQ(text, "0.0.0.0/1+128.0.0.0/1->10.8.0.1@if9:Quorvane WireGuard:metric=5");
}

// A row that appears between the size query and the fill (a tunnel adding its
// routes) must not make the table look empty.
TEST_F(RouteTableTest, TableThatGrowsBetweenItsCalls_IsReadAgain) {
  platform::fake::SeedRoutes({Route("0.0.0.0", "0.0.0.0", "10.8.0.1", 9, 5)});
  const struct {
    int growth;
    bool found;
    const char* summary;
  } cases[] = {
      {1, true, "0.0.0.0/0->10.8.0.1@if9:Quorvane WireGuard:metric=5"},
      {2, true, "0.0.0.0/0->10.8.0.1@if9:Quorvane WireGuard:metric=5"},
      {3, true, "0.0.0.0/0->10.8.0.1@if9:Quorvane WireGuard:metric=5"},
      {100, false, "unavailable"},  // keeps growing: a clean failure, not a stale answer
  };
  for (const auto& c : cases) {
    platform::fake::SetTableGrowth("ReadIpForwardTable", c.growth);
    EXPECT_EQ(HasTunnelDefaultRoute(nullptr), c.found) << c.growth;
    platform::fake::SetTableGrowth("ReadIpForwardTable", c.growth);
    EXPECT_EQ(DefaultRoutesSummary(), c.summary) << c.growth;
  }
}

// Safe mode's after-start check: a tunnel route that takes in an
// administrator's address, of either family, is as bad as a default route.
TEST_F(RouteTableTest, TunnelRouteCoversAny_LooksAtBothFamilies) {
  const auto v6 = [](const char* destination, uint8_t length, uint32_t if_index) {
    platform::Ipv6ForwardRow row;
    row.destination = Ip6(destination);
    row.prefix_length = length;
    row.if_index = if_index;
    return row;
  };
  platform::fake::SeedRoutes({Route("10.1.0.0", "255.255.0.0", "10.8.0.1", 9, 5),
                              Route("203.0.113.0", "255.255.255.0", "192.0.2.1", 7, 5)});
  platform::fake::SeedIpv6Routes({v6("fe80::", 64, 9), v6("2000::", 3, 7), v6("2001:db8::", 32, 11)});
  const struct {
    const char* host;
    const char* route;  // "": not covered
  } cases[] = {
      {"10.1.2.3", "10.1.0.0/16->10.8.0.1@if9:Quorvane WireGuard:metric=5 covering 10.1.2.3"},
      {"203.0.113.9", ""},
      {"2001:db8::9", "2001:db8::/32->::@if11:Wintun Userspace Tunnel:metric=0 covering 2001:db8::9"},
      {"2001:db9::9", ""},
      {"fe80::5", ""},  // every interface's own link-local route
  };
  for (const auto& c : cases) {
    std::string text;
    EXPECT_EQ(TunnelRouteCoversAny({c.host}, &text), *c.route != 0) << c.host;
    EXPECT_EQ(text, c.route) << c.host;
  }
  platform::fake::FailNextCall("ReadIpv6ForwardTable", 5);
  EXPECT_TRUE(TunnelRouteCoversAny({"2001:db8::9", "10.1.2.3"}, nullptr)) << "the IPv4 table is still read";
}

}  // namespace
}  // namespace quorvane
