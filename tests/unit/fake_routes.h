// Route rows for the fake route table and TCP table rows, written with
// dotted-quad texts, and session client addresses as the session calls hand
// them out.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "common/ip_prefix.h"
#include "platform/fake/fake_windows.h"
#include "platform/ip_routes.h"
#include "platform/service_control.h"
#include "platform/sessions.h"

namespace quorvane {

inline platform::Ipv4Address Ip(const std::string& text) {
  platform::Ipv4Address address = 0;
  EXPECT_TRUE(platform::ParseIpv4Address(text, &address)) << text;
  return address;
}

inline platform::ForwardRow Route(const std::string& destination, const std::string& mask,
                                  const std::string& next_hop, uint32_t if_index, uint32_t metric1 = 0) {
  platform::ForwardRow row;
  row.destination = Ip(destination);
  row.mask = Ip(mask);
  row.next_hop = Ip(next_hop);
  row.if_index = if_index;
  row.metric1 = metric1;
  return row;
}

inline platform::ForwardRow HostRoute(const std::string& ip, const std::string& next_hop, uint32_t if_index,
                                      uint32_t metric1) {
  return Route(ip, "255.255.255.255", next_hop, if_index, metric1);
}

// The process of the Remote Desktop service, which listens on 3389.
constexpr uint32_t kRdpServicePid = 900;

inline platform::TcpConnection Tcp(uint32_t state, uint16_t local_port, const std::string& remote,
                                   uint16_t remote_port, uint32_t owning_pid = kRdpServicePid) {
  platform::TcpConnection connection;
  connection.state = state;
  connection.local_address = Ip("192.0.2.10");
  connection.local_port = local_port;
  connection.remote_address = Ip(remote);
  connection.remote_port = remote_port;
  connection.owning_pid = owning_pid;
  return connection;
}

inline platform::TcpConnection RdpListener() { return Tcp(platform::kTcpStateListen, 3389, "0.0.0.0", 0); }

inline platform::Ipv6Address Ip6(const std::string& text) {
  IpPrefix prefix;
  EXPECT_TRUE(ParseIpPrefix(text, &prefix) && prefix.v6) << text;
  return prefix.bytes;
}

inline platform::Tcp6Connection Tcp6(uint32_t state, uint16_t local_port, const std::string& remote,
                                     uint32_t owning_pid = kRdpServicePid) {
  platform::Tcp6Connection connection;
  connection.state = state;
  connection.local_port = local_port;
  connection.remote_address = Ip6(remote);
  connection.remote_port = 50100;
  connection.owning_pid = owning_pid;
  return connection;
}

// The Remote Desktop service running in process kRdpServicePid, and a user
// logged on over Remote Desktop in session |session_id|: its peers count.
inline void SeedRdpServer(uint32_t session_id = 2) {
  platform::fake::FakeService service;
  service.registration.name = L"TermService";
  service.state = platform::kServiceRunning;
  service.process_id = kRdpServicePid;
  platform::fake::SeedService(service);
  platform::fake::SeedSessions({{session_id, platform::kSessionActive, platform::kProtocolRdp}});
  platform::fake::SetSessionUserSid(session_id, L"S-1-5-21-7-7-7-500");
}

inline platform::SessionClientAddress ClientAddress(uint32_t family, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  platform::SessionClientAddress address;
  address.family = family;
  address.address[0] = 0x0D;  // two bytes before the IPv4 address
  address.address[1] = 0x3D;
  address.address[2] = a;
  address.address[3] = b;
  address.address[4] = c;
  address.address[5] = d;
  return address;
}

}  // namespace quorvane
