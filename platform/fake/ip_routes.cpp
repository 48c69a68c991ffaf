#include "platform/ip_routes.h"

#include "fake_state.h"

namespace platform {
namespace {

using Guard = std::lock_guard<std::mutex>;

constexpr uint32_t kErrorNotFound = 1168;

}  // namespace

bool ReadIpForwardTable(std::vector<ForwardRow>* rows, uint32_t* error_code) {
  rows->clear();
  fake::FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ReadIpForwardTable", "", error_code)) return false;
  *rows = world.routes;
  return true;
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
