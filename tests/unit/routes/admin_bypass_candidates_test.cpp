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
  // The switch is read from the process alone; the addresses from every source.
  platform::fake::Reset();
  platform::fake::SetRegistryValue(platform::RegistryRoot::kLocalMachine, kMachineEnvironmentKey, kSettingAdminBypass,
                                   L"0");
  platform::fake::SetRegistryValue(platform::RegistryRoot::kLocalMachine, kMachineEnvironmentKey,
                                   kSettingAdminBypassIp, L"203.0.113.7");
  EXPECT_TRUE(IsAdminBypassEnabled());
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

// A peer of the process that listens on 3389 alone: any user may bind local
// port 3389 for a connection of their own.
TEST_F(AdminBypassCandidatesTest, RdpPeers_AreConnectionsOfTheListenerOnLocalPort3389) {
  platform::fake::SeedTcpConnections({
      RdpListener(),
      Tcp(platform::kTcpStateEstablished, 3389, "203.0.113.9", 50001),
      Tcp(platform::kTcpStateListen, 3389, "203.0.113.10", 50002),        // listening state
      Tcp(platform::kTcpStateEstablished, 50003, "203.0.113.11", 3389),  // outgoing RDP
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
  // Nobody listens on 3389: no connection on it is a Remote Desktop peer.
  platform::fake::SeedTcpConnections({Tcp(platform::kTcpStateEstablished, 3389, "203.0.113.9", 50001)});
  EXPECT_TRUE(ListRdpTcpRemoteAddresses().empty());
}

// Connections come and go between the size query and the fill.
TEST_F(AdminBypassCandidatesTest, TablesThatGrowBetweenTheirCalls_AreReadAgain) {
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
  platform::fake::SetConsoleSession(1);
  platform::fake::SeedSessionClientAddress(1, ClientAddress(2, 198, 51, 100, 30));
  platform::fake::SeedSessions({{2, platform::kSessionActive}, {3, platform::kSessionConnected}, {4, 4}, {5, 0}});
  platform::fake::SeedSessionClientAddress(2, ClientAddress(2, 20, 1, 1, 1));
  platform::fake::SeedSessionClientAddress(3, ClientAddress(2, 192, 168, 1, 9));   // private
  platform::fake::SeedSessionClientAddress(4, ClientAddress(2, 20, 9, 9, 9));      // disconnected
  platform::fake::SeedSessionClientAddress(5, ClientAddress(23, 20, 5, 5, 5));     // not IPv4
  EXPECT_EQ(QuerySessionClientAddress(1), "198.51.100.30");
  EXPECT_EQ(QuerySessionClientAddress(3), "");
  EXPECT_EQ(QuerySessionClientAddress(9), "");
  // 20.1.1.1 arrives as an RDP peer (required) before it is seen as a WTS client.
  platform::fake::SeedTcpConnections({RdpListener(), Tcp(platform::kTcpStateEstablished, 3389, "20.1.1.1", 50001)});
  EXPECT_EQ(Describe(CollectAdminBypassCandidates()),
            "198.51.100.30/WTS/optional;20.1.1.1/RDP_TCP_ESTABLISHED/required;");
  // A failing enumeration still leaves the console session's client.
  platform::fake::FailNextCall("EnumerateSessions", 5);
  platform::fake::SeedTcpConnections({});
  EXPECT_EQ(Describe(CollectAdminBypassCandidates()), "198.51.100.30/WTS/optional;");
}

}  // namespace
}  // namespace quorvane
