// The IPv4 forward table, the best route to an address, and interface entries.
#pragma once

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
};

// Interface alias (friendly name) and description, from GetIfEntry2.
struct InterfaceEntry {
  std::wstring alias;
  std::wstring description;
};

// The whole forward table, sorted, read with GetIpForwardTable's size query
// then fill. Fails with the size query's result when that is anything but
// "insufficient buffer" (122), or with the fill's result when it is non-zero.
bool ReadIpForwardTable(std::vector<ForwardRow>* rows, uint32_t* error_code);

// The route that would carry traffic to |destination| (GetBestRoute, any source).
bool FindBestRoute(Ipv4Address destination, ForwardRow* row, uint32_t* error_code);

bool ReadInterfaceEntry(uint32_t if_index, InterfaceEntry* entry, uint32_t* error_code);

}  // namespace platform
