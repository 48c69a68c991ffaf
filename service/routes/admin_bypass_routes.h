// The host routes (/32) that carry each admin bypass address through the
// physical default gateway instead of the tunnel: adding, checking and
// removing them, and the record of each attempt.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ip_routes.h"
#include "routes/admin_bypass_candidates.h"

namespace quorvane {

// The next hop and interface of the physical default route; both 0 until the
// preparation of a connect has found them. Windows counts a route's metric1
// as its own metric plus the interface's IPv4 metric (0 where it cannot be
// read, as under Wine).
struct PhysicalGateway {
  platform::Ipv4Address next_hop = 0;
  uint32_t if_index = 0;
  uint32_t interface_metric = 0;
};
// The gateway of |next_hop| on |if_index|, with that interface's metric.
PhysicalGateway MakePhysicalGateway(platform::Ipv4Address next_hop, uint32_t if_index);
PhysicalGateway CurrentPhysicalGateway();
void SetPhysicalGateway(const PhysicalGateway& gateway);

// The rows this service created and has not deleted yet, in creation order.
std::vector<platform::ForwardRow> AddedBypassRoutes();

struct AdminBypassRouteResult {
  std::string ip;
  std::string source;
  bool required = false;
  bool add_attempted = false;
  bool already_exists = false;
  bool add_success = false;
  uint32_t win32_error_code = 0;
  std::string error_message;
  std::string gateway;
  std::string interface_index;
  std::string existing_route_gateway;
  std::string existing_route_interface_index;
  bool route_verify_success = false;
  std::string failure_reason;
};

std::string WriteRouteResultJson(const AdminBypassRouteResult& result);
std::string WriteRouteResultsJson(const std::vector<AdminBypassRouteResult>& results);

// A /32 row to |address| through |next_hop| on |if_index|; its first metric.
bool FindHostRoute(platform::Ipv4Address address, platform::Ipv4Address next_hop, uint32_t if_index,
                   uint32_t* metric1);
// Any /32 row to |address|; its next hop and interface.
bool FindAnyHostRoute(platform::Ipv4Address address, platform::Ipv4Address* next_hop, uint32_t* if_index);

// Gives the candidate a usable route through the physical gateway (one with a
// first metric below 16), unless it has one already.
AdminBypassRouteResult AddAdminBypassRoute(const AdminBypassCandidate& candidate);

// True when |ips| is not empty and each has a usable route; |summary| (when
// given) gets "ip:ok(metric=M);", "ip:metric_high(M);", "ip:missing;" or
// "ip:invalid;" per address.
bool VerifyAdminBypassRoutes(const std::vector<std::string>& ips, std::string* summary);

// Adds |ip| again as a required "legacy" candidate; |summary| gets "ip:added"
// or "ip:add_failed(code)".
bool ReaddAdminBypassRoute(const std::string& ip, std::string* summary);

// Deletes every route this service created (failures are ignored) and
// forgets them.
void DeleteAddedBypassRoutes();

// Back to a new process's records, touching no route: for tests, which run
// many "processes" in one.
void ResetAdminBypassRouteRecords();

}  // namespace quorvane
