#include "platform/ip_routes.h"

// winsock2.h must come before windows.h, and iphlpapi.h before netioapi.h.
#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
#include <netioapi.h>
#include <windows.h>

namespace platform {
namespace {

ForwardRow FromRaw(const MIB_IPFORWARDROW& raw) {
  ForwardRow row;
  row.destination = raw.dwForwardDest;
  row.mask = raw.dwForwardMask;
  row.policy = raw.dwForwardPolicy;
  row.next_hop = raw.dwForwardNextHop;
  row.if_index = raw.dwForwardIfIndex;
  row.type = raw.dwForwardType;
  row.protocol = raw.dwForwardProto;
  row.age = raw.dwForwardAge;
  row.next_hop_as = raw.dwForwardNextHopAS;
  row.metric1 = raw.dwForwardMetric1;
  return row;
}

}  // namespace

bool ReadIpForwardTable(std::vector<ForwardRow>* rows, uint32_t* error_code) {
  rows->clear();
  ULONG size = 0;
  DWORD result = GetIpForwardTable(nullptr, &size, TRUE);
  if (result != ERROR_INSUFFICIENT_BUFFER) {
    *error_code = result;
    return false;
  }
  // MIB_IPFORWARDTABLE is a count followed by the rows; keep it aligned for them.
  std::vector<MIB_IPFORWARDROW> buffer(size / sizeof(MIB_IPFORWARDROW) + 1);
  auto* table = reinterpret_cast<MIB_IPFORWARDTABLE*>(buffer.data());
  size = static_cast<ULONG>(buffer.size() * sizeof(MIB_IPFORWARDROW));
  result = GetIpForwardTable(table, &size, TRUE);
  if (result != NO_ERROR) {
    *error_code = result;
    return false;
  }
  for (DWORD i = 0; i < table->dwNumEntries; ++i) rows->push_back(FromRaw(table->table[i]));
  return true;
}

bool FindBestRoute(Ipv4Address destination, ForwardRow* row, uint32_t* error_code) {
  MIB_IPFORWARDROW raw{};
  const DWORD result = GetBestRoute(destination, 0, &raw);
  if (result != NO_ERROR) {
    *error_code = result;
    return false;
  }
  *row = FromRaw(raw);
  return true;
}

bool ReadInterfaceEntry(uint32_t if_index, InterfaceEntry* entry, uint32_t* error_code) {
  MIB_IF_ROW2 raw{};
  raw.InterfaceIndex = if_index;
  const DWORD result = GetIfEntry2(&raw);
  if (result != NO_ERROR) {
    *error_code = result;
    return false;
  }
  // Both arrays are fixed-size and zero-terminated within their bounds.
  entry->alias.assign(raw.Alias, wcsnlen(raw.Alias, IF_MAX_STRING_SIZE + 1));
  entry->description.assign(raw.Description, wcsnlen(raw.Description, IF_MAX_STRING_SIZE + 1));
  return true;
}

}  // namespace platform
