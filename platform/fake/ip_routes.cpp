#include "platform/ip_routes.h"

#include "fake_state.h"
#include "platform/sized_read.h"

namespace platform {
namespace {

using Guard = std::lock_guard<std::mutex>;

constexpr uint32_t kErrorNotFound = 1168;

bool SameRoute(const ForwardRow& a, const ForwardRow& b) {
  return a.destination == b.destination && a.mask == b.mask && a.next_hop == b.next_hop && a.if_index == b.if_index;
}

std::string RouteText(const ForwardRow& row) {
  return std::to_string(row.destination) + "/" + std::to_string(row.mask) + "->" + std::to_string(row.next_hop) +
         "@" + std::to_string(row.if_index);
}

// A table read as Windows answers it: the size query, then fills that fail
// with |too_small| and a larger size for as long as the table is set to grow
// between the calls (SetTableGrowth). Holds the world's lock.
template <typename Row>
bool ReadTable(fake::FakeWorld& world, const char* read, uint32_t too_small, const std::vector<Row>& table,
               std::vector<Row>* rows, uint32_t* error_code) {
  int& growth = world.table_growth[read];
  const auto call = [&](Row* buffer, uint32_t* size) -> uint32_t {
    const uint32_t needed = static_cast<uint32_t>((table.size() + 1) * sizeof(Row));
    if (buffer == nullptr) {
      *size = needed;
      return too_small;
    }
    if (growth > 0) {
      // A row appeared since the size was given: more than the slack allows.
      --growth;
      *size += static_cast<uint32_t>((kSizedReadSlack + 1) * sizeof(Row));
      return too_small;
    }
    if (*size < needed) {
      *size = needed;
      return too_small;
    }
    return 0;
  };
  std::vector<Row> buffer;
  if (!ReadSized(call, too_small, &buffer, error_code)) return false;
  *rows = table;
  return true;
}

constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorBufferOverflow = 111;

}  // namespace

bool ReadIpForwardTable(std::vector<ForwardRow>* rows, uint32_t* error_code) {
  rows->clear();
  fake::FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ReadIpForwardTable", "", error_code)) return false;
  return ReadTable(world, "ReadIpForwardTable", kErrorInsufficientBuffer, world.routes, rows, error_code);
}

bool FindBestRoute(Ipv4Address destination, ForwardRow* row, uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "FindBestRoute", std::to_string(destination), error_code)) return false;
  if (!world.best_route) {
    *error_code = kErrorNotFound;
    return false;
  }
  *row = *world.best_route;
  return true;
}

bool ReadInterfaceEntry(uint32_t if_index, InterfaceEntry* entry, uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ReadInterfaceEntry", std::to_string(if_index), error_code)) return false;
  const auto found = world.interfaces.find(if_index);
  if (found == world.interfaces.end()) {
    *error_code = kErrorNotFound;
    return false;
  }
  *entry = found->second;
  return true;
}

uint32_t CreateForwardEntry(const ForwardRow& row) {
  fake::FakeWorld& world = fake::World();
  Guard guard(world.lock);
  uint32_t error_code = 0;
  if (fake::RecordCall(world, "CreateForwardEntry", RouteText(row), &error_code)) return error_code;
  // Windows takes metric1 as route metric plus interface metric, and refuses
  // less than the interface's own.
  const auto interface_metric = world.interface_metrics.find(row.if_index);
  if (interface_metric != world.interface_metrics.end() && row.metric1 < interface_metric->second) {
    return kErrorBadArguments;
  }
  for (const ForwardRow& existing : world.routes) {
    if (SameRoute(existing, row)) return kErrorObjectAlreadyExists;
  }
  ForwardRow added = row;
  if (world.created_route_metric) added.metric1 = *world.created_route_metric;
  world.routes.push_back(added);
  return 0;
}

uint32_t DeleteForwardEntry(const ForwardRow& row) {
  fake::FakeWorld& world = fake::World();
  Guard guard(world.lock);
  uint32_t error_code = 0;
  if (fake::RecordCall(world, "DeleteForwardEntry", RouteText(row), &error_code)) return error_code;
  for (auto it = world.routes.begin(); it != world.routes.end(); ++it) {
    if (SameRoute(*it, row)) {
      world.routes.erase(it);
      return 0;
    }
  }
  return kErrorNotFound;
}

bool ReadAdapterIpv4Addresses(std::vector<Ipv4Address>* addresses, uint32_t* error_code) {
  addresses->clear();
  fake::FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ReadAdapterIpv4Addresses", "", error_code)) return false;
  return ReadTable(world, "ReadAdapterIpv4Addresses", kErrorBufferOverflow, world.adapter_addresses, addresses,
                   error_code);
}

bool ReadInterfaceIpv4Metric(uint32_t if_index, uint32_t* metric, uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ReadInterfaceIpv4Metric", std::to_string(if_index), error_code)) return false;
  const auto found = world.interface_metrics.find(if_index);
  if (found == world.interface_metrics.end()) {
    *error_code = kErrorNotFound;
    return false;
  }
  *metric = found->second;
  return true;
}

bool ReadTcpConnections(std::vector<TcpConnection>* connections, uint32_t* error_code) {
  connections->clear();
  fake::FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ReadTcpConnections", "", error_code)) return false;
  return ReadTable(world, "ReadTcpConnections", kErrorInsufficientBuffer, world.tcp_connections, connections,
                   error_code);
}

bool ReadTcp6Connections(std::vector<Tcp6Connection>* connections, uint32_t* error_code) {
  connections->clear();
  fake::FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ReadTcp6Connections", "", error_code)) return false;
  return ReadTable(world, "ReadTcp6Connections", kErrorInsufficientBuffer, world.tcp6_connections, connections,
                   error_code);
}

bool ReadIpv6ForwardTable(std::vector<Ipv6ForwardRow>* rows, uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ReadIpv6ForwardTable", "", error_code)) return false;
  *rows = world.ipv6_routes;
  return true;
}

// What InetPton accepts for IPv4: exactly four decimal parts of 0..255, one to
// three digits each, no leading zero, nothing before or after.
bool ParseIpv4Address(const std::string& text, Ipv4Address* address) {
  uint32_t result = 0;
  size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
    const size_t start = at;
    uint32_t value = 0;
    while (at < text.size() && at - start < 4 && text[at] >= '0' && text[at] <= '9') {
      value = value * 10 + static_cast<uint32_t>(text[at] - '0');
      ++at;
    }
    const size_t digits = at - start;
    if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text[start] == '0')) return false;
    result |= value << (8 * part);
  }
  if (at != text.size()) return false;
  *address = result;
  return true;
}

}  // namespace platform

namespace platform::fake {

void SeedRoutes(const std::vector<ForwardRow>& rows) {
  Guard guard(World().lock);
  World().routes = rows;
}

void SeedInterface(uint32_t if_index, const InterfaceEntry& entry) {
  Guard guard(World().lock);
  World().interfaces[if_index] = entry;
}

void SeedBestRoute(const ForwardRow& row) {
  Guard guard(World().lock);
  World().best_route = row;
}

}  // namespace platform::fake

namespace platform::fake {

std::vector<ForwardRow> Routes() {
  Guard guard(World().lock);
  return World().routes;
}

void SetCreatedRouteMetric(uint32_t metric1) {
  Guard guard(World().lock);
  World().created_route_metric = metric1;
}

void SeedAdapterAddresses(const std::vector<Ipv4Address>& addresses) {
  Guard guard(World().lock);
  World().adapter_addresses = addresses;
}

void SeedTcpConnections(const std::vector<TcpConnection>& connections) {
  Guard guard(World().lock);
  World().tcp_connections = connections;
}

void SeedTcp6Connections(const std::vector<Tcp6Connection>& connections) {
  Guard guard(World().lock);
  World().tcp6_connections = connections;
}

void SeedIpv6Routes(const std::vector<Ipv6ForwardRow>& rows) {
  Guard guard(World().lock);
  World().ipv6_routes = rows;
}

void SeedInterfaceMetric(uint32_t if_index, uint32_t metric) {
  Guard guard(World().lock);
  World().interface_metrics[if_index] = metric;
}

void ChangeInterfaceMetric(uint32_t if_index, uint32_t metric) {
  Guard guard(World().lock);
  const uint32_t before = World().interface_metrics[if_index];
  World().interface_metrics[if_index] = metric;
  for (ForwardRow& row : World().routes) {
    if (row.if_index == if_index) row.metric1 = row.metric1 - before + metric;
  }
}

void SetTableGrowth(const std::string& read, int times) {
  Guard guard(World().lock);
  World().table_growth[read] = times;
}

}  // namespace platform::fake
