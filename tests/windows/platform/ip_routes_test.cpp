#include "platform/ip_routes.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "loopback_connection.h"

namespace {

// The machine's real table as Wine reads it from the host: whatever it holds,
// every row's interface can be named and the best route to a row's own
// destination exists.
TEST(IpRoutes, ForwardTable_RowsHaveNamedInterfacesAndBestRoutes) {
  std::vector<platform::ForwardRow> rows;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::ReadIpForwardTable(&rows, &error_code)) << error_code;
  ASSERT_FALSE(rows.empty());
  for (const platform::ForwardRow& row : rows) {
    platform::InterfaceEntry entry;
    ASSERT_TRUE(platform::ReadInterfaceEntry(row.if_index, &entry, &error_code)) << row.if_index;
    EXPECT_FALSE(entry.alias.empty() && entry.description.empty()) << row.if_index;
  }
  platform::ForwardRow best;
  ASSERT_TRUE(platform::FindBestRoute(rows.front().destination, &best, &error_code)) << error_code;
  EXPECT_NE(best.if_index, 0u);
}

TEST(IpRoutes, UnknownInterface_Fails) {
  platform::InterfaceEntry entry;
  uint32_t error_code = 0;
  EXPECT_FALSE(platform::ReadInterfaceEntry(0x7FFFFFF0, &entry, &error_code));
  EXPECT_NE(error_code, 0u);
  uint32_t metric = 0;
  EXPECT_FALSE(platform::ReadInterfaceIpv4Metric(0x7FFFFFF0, &metric, &error_code));
  EXPECT_EQ(error_code, 1168u);
}

// Every interface of the table has an IPv4 metric from the adapter list
// (Wine answers 0 for each; Windows typically 25 to 50 on Ethernet and Wi-Fi).
TEST(IpRoutes, InterfaceMetric_IsReadForEveryRoutedInterface) {
  std::vector<platform::ForwardRow> rows;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::ReadIpForwardTable(&rows, &error_code)) << error_code;
  for (const platform::ForwardRow& row : rows) {
    uint32_t metric = 0xFFFFFFFF;
    EXPECT_TRUE(platform::ReadInterfaceIpv4Metric(row.if_index, &metric, &error_code)) << row.if_index;
    EXPECT_LT(metric, 0xFFFFFFFFu) << row.if_index;
  }
}

}  // namespace

namespace {

TEST(Ipv4Text, SystemConversion_AcceptsPlainDottedQuadsOnly) {
  const struct {
    const char* text;
    bool ok;
    uint32_t address;
  } cases[] = {
      {"192.168.1.20", true, 0x1401A8C0u}, {"0.0.0.0", true, 0},       {"255.255.255.255", true, 0xFFFFFFFFu},
      {"1.2.3", false, 0},                 {"1.2.3.4.5", false, 0},    {"256.1.1.1", false, 0},
      {" 1.2.3.4", false, 0},              {"1.2.3.4 ", false, 0},     {"0x1.2.3.4", false, 0},
      {"::1", false, 0},                   {"host.example", false, 0}, {"", false, 0},
  };
  for (const auto& c : cases) {
    platform::Ipv4Address address = 0;
    EXPECT_EQ(platform::ParseIpv4Address(c.text, &address), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(address, c.address) << c.text;
    }
  }
}

TEST(IpRoutes, AdapterAddresses_IncludeLoopback) {
  std::vector<platform::Ipv4Address> addresses;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::ReadAdapterIpv4Addresses(&addresses, &error_code)) << error_code;
  platform::Ipv4Address loopback = 0;
  ASSERT_TRUE(platform::ParseIpv4Address("127.0.0.1", &loopback));
  EXPECT_NE(std::find(addresses.begin(), addresses.end(), loopback), addresses.end());
}

// A loopback "RDP" connection: both of its rows show in the table, ports in
// host byte order.
TEST(IpRoutes, TcpTable_ShowsAnEstablishedLoopbackConnectionOnPort3389) {
  LoopbackConnection rdp(3389);
  ASSERT_TRUE(rdp.ok()) << rdp.error();
  std::vector<platform::TcpConnection> connections;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::ReadTcpConnections(&connections, &error_code)) << error_code;
  int server_rows = 0;
  int client_rows = 0;
  for (const platform::TcpConnection& row : connections) {
    if (row.state != platform::kTcpStateEstablished) continue;
    server_rows += row.local_port == 3389;
    client_rows += row.remote_port == 3389;
  }
  EXPECT_EQ(server_rows, 1);
  EXPECT_EQ(client_rows, 1);
}

// The same over IPv6, where safe mode looks for administrators too. (Wine
// shows every row's owning process as 0.) The IPv6 route table reads.
TEST(IpRoutes, Tcp6TableAndIpv6Routes_AreRead) {
  LoopbackConnection rdp(3389, AF_INET6);
  if (!rdp.ok()) GTEST_SKIP() << "no IPv6 loopback here (Winsock error " << rdp.error() << ")";
  std::vector<platform::Tcp6Connection> connections;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::ReadTcp6Connections(&connections, &error_code)) << error_code;
  platform::Ipv6Address loopback{};
  loopback[15] = 1;
  int server_rows = 0;
  for (const platform::Tcp6Connection& row : connections) {
    if (row.state != platform::kTcpStateEstablished || row.local_port != 3389) continue;
    ++server_rows;
    EXPECT_EQ(row.remote_address, loopback);
    EXPECT_NE(row.remote_port, 0u);
  }
  EXPECT_EQ(server_rows, 1);
  std::vector<platform::Ipv6ForwardRow> routes;
  ASSERT_TRUE(platform::ReadIpv6ForwardTable(&routes, &error_code)) << error_code;
  for (const platform::Ipv6ForwardRow& row : routes) EXPECT_LE(row.prefix_length, 128u);
}

}  // namespace
