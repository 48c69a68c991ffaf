#include "routes/admin_bypass_candidates.h"

#include <gtest/gtest.h>

#include "admin_bypass_test_support.h"
#include "common/safe_mode_settings.h"

namespace quorvane {
namespace {

using platform::fake::SetProcessEnvironment;

std::string Describe(const std::vector<AdminBypassCandidate>& candidates) {
  std::string text;
  for (const AdminBypassCandidate& c : candidates) {
    text += c.ip + "/" + c.source + (c.required ? "/required;" : "/optional;");
  }
  return text;
}

class AdminBypassCandidatesTest : public AdminBypassTestBase {};

TEST_F(AdminBypassCandidatesTest, Tokens_SplitOnEverySeparatorWithoutEmptyOnes) {
  EXPECT_EQ(SplitBypassTokens(" 203.0.113.7,,198.51.100.20;\n"),
            (std::vector<std::string>{"203.0.113.7", "198.51.100.20"}));
  EXPECT_EQ(SplitBypassTokens("a\tb\rc d"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_TRUE(SplitBypassTokens(" ,;\t\r\n").empty());
}

TEST_F(AdminBypassCandidatesTest, BypassableAddresses_ExcludeLocalNetworks) {
  for (const char* no : {"10.1.2.3", "192.168.1.5", "172.20.0.1", "172.16.0.1", "172.31.255.255", "169.254.3.3",
                         "127.0.0.1", "0.0.0.0", "admin-host", "::1", "203.0.113.7 "}) {
    EXPECT_FALSE(IsBypassableAddress(no)) << no;
  }
  for (const char* yes : {"172.32.0.1", "172.15.0.1", "203.0.113.7", "224.0.0.1", "255.255.255.255", "0.1.2.3",
                          "192.169.0.1"}) {
    EXPECT_TRUE(IsBypassableAddress(yes)) << yes;
  }
}

TEST_F(AdminBypassCandidatesTest, Enabled_FollowsTheSwitchThenTheAddressVariables) {
  const struct {
    const wchar_t* bypass;  // nullptr: unset
    const wchar_t* address;
    bool enabled;
  } cases[] = {
      {L"Yes", nullptr, true},           {L"TRUE", nullptr, true},
      {L"0", L"203.0.113.7", false},     {L"No", L"203.0.113.7", false},
      {L"maybe", nullptr, false},        {L"maybe", L"203.0.113.7", true},
      {nullptr, L"203.0.113.7", true},   {nullptr, nullptr, false},
      {L"0               ", L"203.0.113.7", true},  // 16 characters: not examined
  };
  for (const auto& c : cases) {
    platform::fake::Reset();
    if (c.bypass != nullptr) SetProcessEnvironment(kSettingAdminBypass, c.bypass);
    if (c.address != nullptr) SetProcessEnvironment(kSettingAdminBypassIps, c.address);
    EXPECT_EQ(IsAdminBypassEnabled(), c.enabled) << (c.bypass ? "set" : "unset");
  }
  // The switch is read as every setting is: the machine's value set after the
  // service started turns the bypass off (a service: machine first).
  platform::fake::Reset();
  SetProcessEnvironment(kSettingAdminBypass, L"1");
  platform::fake::SetRegistryValue(platform::RegistryRoot::kLocalMachine, kMachineEnvironmentKey, kSettingAdminBypass,
                                   L"0");
  platform::fake::SetRegistryValue(platform::RegistryRoot::kLocalMachine, kMachineEnvironmentKey,
                                   kSettingAdminBypassIp, L"203.0.113.7");
  SetServiceMode(true);
  EXPECT_FALSE(IsAdminBypassEnabled());
  SetServiceMode(false);
  EXPECT_TRUE(IsAdminBypassEnabled()) << "in a console, the process's own value first";
}

TEST_F(AdminBypassCandidatesTest, EnvironmentTokens_AreReportedRawAndFilteredAsCandidates) {
  SetProcessEnvironment(kSettingAdminBypassIp, L" 203.0.113.7,,198.51.100.20;\n");
  SetProcessEnvironment(kSettingAdminBypassIps, L"10.0.0.1 no-address 203.0.113.7 192.0.2.10");
  platform::fake::SeedAdapterAddresses({Ip("192.0.2.10"), Ip("10.0.0.5")});  // 192.0.2.10 is our own
  EXPECT_EQ(ReadAdminEnvIps(), (std::vector<std::string>{"203.0.113.7", "198.51.100.20", "10.0.0.1", "no-address",
                                                         "203.0.113.7", "192.0.2.10"}));
  EXPECT_EQ(Describe(CollectAdminBypassCandidates()),
            "198.51.100.20/ADMIN_BYPASS_IP/required;203.0.113.7/ADMIN_BYPASS_IP/required;");
  EXPECT_EQ(LocalPublicAddresses(), (std::vector<std::string>{"192.0.2.10"}));
}

// A Remote Desktop peer is a connection that the Remote Desktop service's own
// process holds, on a port it listens on, while someone is logged on over it.
TEST_F(AdminBypassCandidatesTest, RdpPeers_AreTheLoggedOnRemoteDesktopServicesConnections) {
  SeedRdpServer();
  platform::fake::SeedTcpConnections({
      RdpListener(),
      Tcp(platform::kTcpStateEstablished, 3389, "203.0.113.9", 50001),
      Tcp(platform::kTcpStateListen, 3389, "203.0.113.10", 50002),        // listening state
      Tcp(platform::kTcpStateEstablished, 50003, "203.0.113.11", 3389),  // the service's own outgoing one
      Tcp(platform::kTcpStateEstablished, 3389, "127.0.0.1", 50004),
      Tcp(platform::kTcpStateEstablished, 3389, "203.0.113.9", 50005),
      Tcp(platform::kTcpStateEstablished, 3389, "100.2.3.4", 50006),
      Tcp(platform::kTcpStateEstablished, 3389, "198.51.100.66", 443, 4444),  // a user's own socket on 3389
  });
  EXPECT_EQ(ListRdpTcpRemoteAddresses(), (std::vector<std::string>{"203.0.113.9", "203.0.113.9", "100.2.3.4"}));
  SetProcessEnvironment(kSettingAdminBypassIps, L"203.0.113.9");
  // Sorted by text: "100..." before "203...", the first source kept.
  EXPECT_EQ(Describe(CollectAdminBypassCandidates()),
            "100.2.3.4/RDP_TCP_ESTABLISHED/required;203.0.113.9/ADMIN_BYPASS_IPS/required;");
  platform::fake::FailNextCall("ReadTcpConnections", 122);
  EXPECT_TRUE(ListRdpTcpRemoteAddresses().empty());
}

// Nobody vouched for these: each is a fault that would let an outsider or a
// user choose an address that the system account routes outside the tunnel.
TEST_F(AdminBypassCandidatesTest, ConnectionsNobodyVouchedFor_AreNoPeers) {
  constexpr uint32_t kUserProcess = 4444;
  const auto peer = Tcp(platform::kTcpStateEstablished, 3389, "203.0.113.9", 50001);
  const struct {
    const char* label;
    bool service_runs;
    platform::SessionEntry session;
    bool logged_on;
    std::vector<platform::TcpConnection> connections;
  } cases[] = {
      {"an outsider before any logon", true, {2, platform::kSessionConnected, platform::kProtocolRdp}, false,
       {RdpListener(), peer}},
      {"an active session with no user", true, {2, platform::kSessionActive, platform::kProtocolRdp}, false,
       {RdpListener(), peer}},
      {"only a console user logged on", true, {1, platform::kSessionActive, platform::kProtocolConsole}, true,
       {RdpListener(), peer}},
      {"a user's listener on 3389, the service off", false, {2, platform::kSessionActive, platform::kProtocolRdp},
       true, {Tcp(platform::kTcpStateListen, 3389, "0.0.0.0", 0, kUserProcess),
              Tcp(platform::kTcpStateEstablished, 3389, "203.0.113.9", 50001, kUserProcess)}},
      {"a user's listener on 3389, the service on", true, {2, platform::kSessionActive, platform::kProtocolRdp}, true,
       {Tcp(platform::kTcpStateListen, 3389, "0.0.0.0", 0, kUserProcess),
        Tcp(platform::kTcpStateEstablished, 3389, "203.0.113.9", 50001, kUserProcess)}},
  };
  for (const auto& c : cases) {
    platform::fake::Reset();
    SeedRdpServer();
    if (!c.service_runs) {
      platform::fake::FakeService stopped;
      stopped.registration.name = L"TermService";
      platform::fake::SeedService(stopped);
    }
    platform::fake::SeedSessions({c.session});
    platform::fake::SetSessionUserSid(c.session.session_id, c.logged_on ? L"S-1-5-21-7-7-7-500" : L"");
    platform::fake::SeedTcpConnections(c.connections);
    platform::fake::SeedSessionClientAddress(c.session.session_id, ClientAddress(2, 198, 51, 100, 77));
    EXPECT_TRUE(ListRdpTcpRemoteAddresses().empty()) << c.label;
    const std::string peers = Describe(AdministrationPeers());
    EXPECT_EQ(peers.find("203.0.113.9"), std::string::npos) << c.label;
    EXPECT_EQ(peers.find("198.51.100.77") != std::string::npos,
              c.logged_on && c.session.state == platform::kSessionActive) << c.label;
  }
}

// Safe mode keeps IPv6 administrators out of the tunnel too.
TEST_F(AdminBypassCandidatesTest, AdministrationPeers_TakeIpv6PeersAndClients) {
  SeedRdpServer();
  platform::fake::SeedTcp6Connections({
      Tcp6(platform::kTcpStateListen, 3389, "::"),
      Tcp6(platform::kTcpStateEstablished, 3389, "2001:db8::9"),
      Tcp6(platform::kTcpStateEstablished, 3389, "::ffff:203.0.113.5"),
      Tcp6(platform::kTcpStateEstablished, 3389, "::1"),
      Tcp6(platform::kTcpStateEstablished, 3389, "2001:db8::66", 4444),
  });
  platform::SessionClientAddress client;
  client.family = platform::kAddressFamilyInet6;
  const platform::Ipv6Address bytes = Ip6("2001:db8:1::7");
  std::copy(bytes.begin(), bytes.end(), client.address);
  platform::fake::SeedSessionClientAddress(2, client);
  SetProcessEnvironment(kSettingAdminBypassIps, L"2001:db8:2::1 ::");
  EXPECT_EQ(Describe(AdministrationPeers()),
            "2001:db8:2::1/ADMIN_BYPASS_IPS/required;2001:db8::9/RDP_TCP_ESTABLISHED/required;"
            "203.0.113.5/RDP_TCP_ESTABLISHED/required;2001:db8:1::7/WTS/required;");
  // The bypass routes are IPv4 host routes: no IPv6 candidate.
  EXPECT_EQ(Describe(CollectAdminBypassCandidates()), "");
}

// Connections come and go between the size query and the fill.
TEST_F(AdminBypassCandidatesTest, TablesThatGrowBetweenTheirCalls_AreReadAgain) {
  SeedRdpServer();
  platform::fake::SeedTcpConnections({RdpListener(), Tcp(platform::kTcpStateEstablished, 3389, "203.0.113.9", 50001)});
  platform::fake::SeedAdapterAddresses({Ip("198.51.100.4")});
  const struct {
    int growth;
    size_t peers;
    size_t addresses;
  } cases[] = {{1, 1, 1}, {2, 1, 1}, {100, 0, 0}};
  for (const auto& c : cases) {
    platform::fake::SetTableGrowth("ReadTcpConnections", c.growth);
    EXPECT_EQ(ListRdpTcpRemoteAddresses().size(), c.peers) << c.growth;
    platform::fake::SetTableGrowth("ReadAdapterIpv4Addresses", c.growth);
    std::vector<platform::Ipv4Address> addresses;
    uint32_t error_code = 0;
    EXPECT_EQ(platform::ReadAdapterIpv4Addresses(&addresses, &error_code), c.addresses == 1) << c.growth;
    EXPECT_EQ(addresses.size(), c.addresses) << c.growth;
    if (c.addresses == 0) {
      EXPECT_EQ(error_code, 111u) << "buffer overflow, as the size query answers";
    }
  }
}

TEST_F(AdminBypassCandidatesTest, SessionClients_AreOptionalAndUpgradedWhenRequiredElsewhere) {
  SeedRdpServer();
  platform::fake::SeedSessions({{1, platform::kSessionActive},
                                {2, platform::kSessionActive, platform::kProtocolRdp},
                                {3, platform::kSessionConnected},
                                {4, 4},
                                {5, platform::kSessionActive}});
  for (uint32_t session : {1u, 3u, 4u, 5u}) platform::fake::SetSessionUserSid(session, L"S-1-5-21-7-7-7-100");
  platform::fake::SeedSessionClientAddress(1, ClientAddress(2, 198, 51, 100, 30));
  platform::fake::SeedSessionClientAddress(2, ClientAddress(2, 20, 1, 1, 1));
  platform::fake::SeedSessionClientAddress(3, ClientAddress(2, 192, 168, 1, 9));   // private
  platform::fake::SeedSessionClientAddress(4, ClientAddress(2, 20, 9, 9, 9));      // disconnected
  platform::fake::SeedSessionClientAddress(5, ClientAddress(23, 20, 5, 5, 5));     // IPv6: no bypass route
  EXPECT_EQ(QuerySessionClientAddress(1), "198.51.100.30");
  EXPECT_EQ(QuerySessionClientAddress(3), "");
  EXPECT_EQ(QuerySessionClientAddress(9), "");
  // 20.1.1.1 arrives as an RDP peer (required) before it is seen as a WTS client.
  platform::fake::SeedTcpConnections({RdpListener(), Tcp(platform::kTcpStateEstablished, 3389, "20.1.1.1", 50001)});
  EXPECT_EQ(Describe(CollectAdminBypassCandidates()),
            "198.51.100.30/WTS/optional;20.1.1.1/RDP_TCP_ESTABLISHED/required;");
  // Sessions that cannot be listed vouch for nobody.
  platform::fake::FailNextCall("EnumerateSessions", 5);
  platform::fake::FailNextCall("EnumerateSessions", 5);
  EXPECT_EQ(Describe(CollectAdminBypassCandidates()), "");
}

}  // namespace
}  // namespace quorvane
