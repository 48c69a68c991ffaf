// IPv4 routing: the forward table and changes to it, the best route to an
// address, interfaces and their addresses, the TCP connection table, and the
// system's IPv4 text conversion.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// An IPv4 address as Windows stores it in its structures: network byte order
// in memory, so the first octet is the lowest byte of the value.
using Ipv4Address = uint32_t;

// One row of the IPv4 forward table (MIB_IPFORWARDROW).
struct ForwardRow {
  Ipv4Address destination = 0;
  Ipv4Address mask = 0;
  uint32_t policy = 0;
  Ipv4Address next_hop = 0;
  uint32_t if_index = 0;
  uint32_t type = 0;
  uint32_t protocol = 0;
  uint32_t age = 0;
  uint32_t next_hop_as = 0;
  uint32_t metric1 = 0;
  uint32_t metric2 = 0;
  uint32_t metric3 = 0;
  uint32_t metric4 = 0;
  uint32_t metric5 = 0;
};

// Interface alias (friendly name) and description, from GetIfEntry2.
struct InterfaceEntry {
  std::wstring alias;
  std::wstring description;
};

// The whole forward table, sorted, read with GetIpForwardTable's size query
// then fill (ReadSized: a table that grows in between is read again). Fails
// with the size query's result when that is anything but "insufficient
// buffer" (122), or with the fill's result when it is non-zero. metric1 is
// what Windows shows: the route's own metric plus its interface's metric.
bool ReadIpForwardTable(std::vector<ForwardRow>* rows, uint32_t* error_code);

// The route that would carry traffic to |destination| (GetBestRoute, any source).
bool FindBestRoute(Ipv4Address destination, ForwardRow* row, uint32_t* error_code);

bool ReadInterfaceEntry(uint32_t if_index, InterfaceEntry* entry, uint32_t* error_code);

constexpr uint32_t kErrorObjectAlreadyExists = 5010;
constexpr uint32_t kErrorBadArguments = 160;

// CreateIpForwardEntry and DeleteIpForwardEntry with the whole row; the
// result is the call's own (0 on success). Windows takes metric1 as the
// route's metric plus the interface's and refuses one below the interface's
// metric with kErrorBadArguments.
uint32_t CreateForwardEntry(const ForwardRow& row);
uint32_t DeleteForwardEntry(const ForwardRow& row);

// The unicast IPv4 addresses of every adapter (GetAdaptersAddresses for the
// IPv4 family without anycast and multicast addresses: a size query that must
// answer "buffer overflow", then the fill, through ReadSized).
bool ReadAdapterIpv4Addresses(std::vector<Ipv4Address>* addresses, uint32_t* error_code);

// The IPv4 interface metric of the adapter with |if_index| (Ipv4Metric of
// GetAdaptersAddresses; GetIpInterfaceEntry would be the other source, but
// Wine ends the process on it). Fails with 1168 for an unknown index.
bool ReadInterfaceIpv4Metric(uint32_t if_index, uint32_t* metric, uint32_t* error_code);

constexpr uint32_t kTcpStateListen = 2;
constexpr uint32_t kTcpStateEstablished = 5;

// One row of the IPv4 TCP connection table; ports in host byte order.
struct TcpConnection {
  uint32_t state = 0;
  Ipv4Address local_address = 0;
  uint16_t local_port = 0;
  Ipv4Address remote_address = 0;
  uint16_t remote_port = 0;
  uint32_t owning_pid = 0;
};

// The IPv4 TCP connections and listeners with their owning processes,
// unsorted: a size query that must answer "insufficient buffer", then the
// fill, through ReadSized.
bool ReadTcpConnections(std::vector<TcpConnection>* connections, uint32_t* error_code);

// An IPv6 address as its sixteen bytes, in network order.
using Ipv6Address = std::array<uint8_t, 16>;

// One row of the IPv6 TCP connection table; ports in host byte order.
struct Tcp6Connection {
  uint32_t state = 0;
  uint16_t local_port = 0;
  Ipv6Address remote_address{};
  uint16_t remote_port = 0;
  uint32_t owning_pid = 0;
};

// The IPv6 TCP connections and listeners with their owning processes, read
// as ReadTcpConnections reads the IPv4 ones.
bool ReadTcp6Connections(std::vector<Tcp6Connection>* connections, uint32_t* error_code);

// One route of the IPv6 forward table (MIB_IPFORWARD_ROW2).
struct Ipv6ForwardRow {
  Ipv6Address destination{};
  uint8_t prefix_length = 0;
  Ipv6Address next_hop{};
  uint32_t if_index = 0;
  uint32_t metric = 0;
};

// The whole IPv6 forward table (GetIpForwardTable2 for AF_INET6).
bool ReadIpv6ForwardTable(std::vector<Ipv6ForwardRow>* rows, uint32_t* error_code);

// The system's text-to-address conversion for IPv4 (InetPton).
bool ParseIpv4Address(const std::string& text, Ipv4Address* address);

}  // namespace platform
