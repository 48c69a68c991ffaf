#include "platform/ip_routes.h"

#include "platform/sized_read.h"

#include <algorithm>
#include <iterator>

// winsock2.h must come before windows.h, and iphlpapi.h before netioapi.h.
#include <winsock2.h>
#include <ws2ipdef.h>
#include <ws2tcpip.h>
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
  row.metric2 = raw.dwForwardMetric2;
  row.metric3 = raw.dwForwardMetric3;
  row.metric4 = raw.dwForwardMetric4;
  row.metric5 = raw.dwForwardMetric5;
  return row;
}

MIB_IPFORWARDROW ToRaw(const ForwardRow& row) {
  MIB_IPFORWARDROW raw{};
  raw.dwForwardDest = row.destination;
  raw.dwForwardMask = row.mask;
  raw.dwForwardPolicy = row.policy;
  raw.dwForwardNextHop = row.next_hop;
  raw.dwForwardIfIndex = row.if_index;
  raw.dwForwardType = row.type;
  raw.dwForwardProto = row.protocol;
  raw.dwForwardAge = row.age;
  raw.dwForwardNextHopAS = row.next_hop_as;
  raw.dwForwardMetric1 = row.metric1;
  raw.dwForwardMetric2 = row.metric2;
  raw.dwForwardMetric3 = row.metric3;
  raw.dwForwardMetric4 = row.metric4;
  raw.dwForwardMetric5 = row.metric5;
  return raw;
}

}  // namespace

bool ReadIpForwardTable(std::vector<ForwardRow>* rows, uint32_t* error_code) {
  rows->clear();
  // MIB_IPFORWARDTABLE is a count followed by the rows; kept aligned for them.
  std::vector<MIB_IPFORWARDROW> buffer;
  const auto call = [](MIB_IPFORWARDROW* data, uint32_t* bytes) -> uint32_t {
    ULONG size = *bytes;
    const DWORD result = GetIpForwardTable(reinterpret_cast<MIB_IPFORWARDTABLE*>(data), &size, TRUE);
    *bytes = size;
    return result;
  };
  if (!ReadSized(call, ERROR_INSUFFICIENT_BUFFER, &buffer, error_code)) return false;
  const auto* table = reinterpret_cast<const MIB_IPFORWARDTABLE*>(buffer.data());
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

uint32_t CreateForwardEntry(const ForwardRow& row) {
  MIB_IPFORWARDROW raw = ToRaw(row);
  return CreateIpForwardEntry(&raw);
}

uint32_t DeleteForwardEntry(const ForwardRow& row) {
  MIB_IPFORWARDROW raw = ToRaw(row);
  return DeleteIpForwardEntry(&raw);
}

namespace {

// Every adapter's IPv4 information, without anycast and multicast addresses;
// kept aligned for the structures that the call lays out in the buffer.
bool ReadAdapters(std::vector<IP_ADAPTER_ADDRESSES>* buffer, uint32_t* error_code) {
  const auto call = [](IP_ADAPTER_ADDRESSES* data, uint32_t* bytes) -> uint32_t {
    ULONG size = *bytes;
    const ULONG result =
        GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST, nullptr, data, &size);
    *bytes = size;
    return result;
  };
  return ReadSized(call, ERROR_BUFFER_OVERFLOW, buffer, error_code);
}

}  // namespace

bool ReadInterfaceIpv4Metric(uint32_t if_index, uint32_t* metric, uint32_t* error_code) {
  std::vector<IP_ADAPTER_ADDRESSES> buffer;
  if (!ReadAdapters(&buffer, error_code)) return false;
  for (const IP_ADAPTER_ADDRESSES* adapter = buffer.data(); adapter != nullptr; adapter = adapter->Next) {
    if (adapter->IfIndex != if_index) continue;
    *metric = adapter->Ipv4Metric;
    return true;
  }
  *error_code = ERROR_NOT_FOUND;
  return false;
}

bool ReadAdapterIpv4Addresses(std::vector<Ipv4Address>* addresses, uint32_t* error_code) {
  addresses->clear();
  std::vector<IP_ADAPTER_ADDRESSES> buffer;
  if (!ReadAdapters(&buffer, error_code)) return false;
  for (const IP_ADAPTER_ADDRESSES* adapter = buffer.data(); adapter != nullptr; adapter = adapter->Next) {
    for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
         unicast = unicast->Next) {
      const SOCKADDR* address = unicast->Address.lpSockaddr;
      if (address == nullptr || address->sa_family != AF_INET) continue;
      addresses->push_back(reinterpret_cast<const SOCKADDR_IN*>(address)->sin_addr.S_un.S_addr);
    }
  }
  return true;
}

namespace {

// The TCP connections of |family| with their owning processes, as Windows
// lays them out (Table: a count, then Row after Row).
template <typename Table, typename Row>
bool ReadOwnerPidRows(ULONG family, std::vector<Row>* rows, uint32_t* error_code) {
  rows->clear();
  std::vector<Row> buffer;  // kept aligned for the rows
  const auto call = [family](Row* data, uint32_t* bytes) -> uint32_t {
    DWORD size = *bytes;
    const DWORD result = GetExtendedTcpTable(data, &size, FALSE, family, TCP_TABLE_OWNER_PID_ALL, 0);
    *bytes = size;
    return result;
  };
  if (!ReadSized(call, ERROR_INSUFFICIENT_BUFFER, &buffer, error_code)) return false;
  const auto* table = reinterpret_cast<const Table*>(buffer.data());
  rows->assign(table->table, table->table + table->dwNumEntries);
  return true;
}

// A port is in network byte order in the low 16 bits.
uint16_t Port(DWORD raw) { return ntohs(static_cast<u_short>(raw)); }

}  // namespace

bool ReadTcpConnections(std::vector<TcpConnection>* connections, uint32_t* error_code) {
  connections->clear();
  std::vector<MIB_TCPROW_OWNER_PID> rows;
  if (!ReadOwnerPidRows<MIB_TCPTABLE_OWNER_PID>(AF_INET, &rows, error_code)) return false;
  for (const MIB_TCPROW_OWNER_PID& raw : rows) {
    connections->push_back(TcpConnection{raw.dwState, raw.dwLocalAddr, Port(raw.dwLocalPort), raw.dwRemoteAddr,
                                         Port(raw.dwRemotePort), raw.dwOwningPid});
  }
  return true;
}

bool ReadTcp6Connections(std::vector<Tcp6Connection>* connections, uint32_t* error_code) {
  connections->clear();
  std::vector<MIB_TCP6ROW_OWNER_PID> rows;
  if (!ReadOwnerPidRows<MIB_TCP6TABLE_OWNER_PID>(AF_INET6, &rows, error_code)) return false;
  for (const MIB_TCP6ROW_OWNER_PID& raw : rows) {
    Tcp6Connection connection{raw.dwState, Port(raw.dwLocalPort), {}, Port(raw.dwRemotePort), raw.dwOwningPid};
    std::copy(std::begin(raw.ucRemoteAddr), std::end(raw.ucRemoteAddr), connection.remote_address.begin());
    connections->push_back(connection);
  }
  return true;
}

namespace {

// Owner of a table that the IP Helper allocated.
class MibTable {
 public:
  MibTable() = default;
  MibTable(const MibTable&) = delete;
  MibTable& operator=(const MibTable&) = delete;
  ~MibTable() {
    if (table_ != nullptr) FreeMibTable(table_);
  }
  MIB_IPFORWARD_TABLE2** receive() { return &table_; }
  const MIB_IPFORWARD_TABLE2* get() const { return table_; }

 private:
  MIB_IPFORWARD_TABLE2* table_ = nullptr;
};

}  // namespace

bool ReadIpv6ForwardTable(std::vector<Ipv6ForwardRow>* rows, uint32_t* error_code) {
  rows->clear();
  MibTable table;
  const DWORD result = GetIpForwardTable2(AF_INET6, table.receive());
  if (result != NO_ERROR) {
    *error_code = result;
    return false;
  }
  for (ULONG i = 0; i < table.get()->NumEntries; ++i) {
    const MIB_IPFORWARD_ROW2& raw = table.get()->Table[i];
    if (raw.DestinationPrefix.Prefix.si_family != AF_INET6) continue;
    Ipv6ForwardRow row;
    const auto& destination = raw.DestinationPrefix.Prefix.Ipv6.sin6_addr.s6_addr;
    std::copy(std::begin(destination), std::end(destination), row.destination.begin());
    row.prefix_length = raw.DestinationPrefix.PrefixLength;
    if (raw.NextHop.si_family == AF_INET6) {
      const auto& hop = raw.NextHop.Ipv6.sin6_addr.s6_addr;
      std::copy(std::begin(hop), std::end(hop), row.next_hop.begin());
    }
    row.if_index = raw.InterfaceIndex;
    row.metric = raw.Metric;
    rows->push_back(row);
  }
  return true;
}

bool ParseIpv4Address(const std::string& text, Ipv4Address* address) {
  IN_ADDR parsed{};
  if (InetPtonA(AF_INET, text.c_str(), &parsed) != 1) return false;
  *address = parsed.S_un.S_addr;
  return true;
}

}  // namespace platform
