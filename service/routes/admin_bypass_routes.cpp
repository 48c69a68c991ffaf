#include "routes/admin_bypass_routes.h"

#include <mutex>

#include "common/ipv4_text.h"
#include "common/json_text.h"
#include "routes/route_journal.h"
#include "common/startup_record.h"

namespace quorvane {
namespace {

constexpr platform::Ipv4Address kHostMask = 0xFFFFFFFF;
constexpr uint32_t kHighMetric = 16;
constexpr uint32_t kBypassRouteMetric = 1;
constexpr uint32_t kRouteTypeIndirect = 4;
constexpr uint32_t kProtocolNetMgmt = 3;

// Requests are handled one at a time, but the automatic stop removes routes
// from a thread of its own; the lock is held only to copy or assign.
std::mutex g_lock;
PhysicalGateway g_gateway;
std::vector<platform::ForwardRow> g_added_routes;

bool SameRoute(const platform::ForwardRow& a, const platform::ForwardRow& b) {
  return a.destination == b.destination && a.mask == b.mask && a.next_hop == b.next_hop && a.if_index == b.if_index;
}

// Never twice: a route created again (Wine answers success without adding
// anything) is still one route to remove.
void RecordAddedRoute(const platform::ForwardRow& row) {
  std::lock_guard<std::mutex> guard(g_lock);
  for (const platform::ForwardRow& recorded : g_added_routes) {
    if (SameRoute(recorded, row)) return;
  }
  g_added_routes.push_back(row);
}

bool ReadTable(std::vector<platform::ForwardRow>* rows) {
  uint32_t error_code = 0;
  return platform::ReadIpForwardTable(rows, &error_code);
}

// The low-metric rule: a route through the physical gateway whose own metric
// (metric1 less the interface's) is below 16 carries the traffic; |metric1|,
// as the table shows it, is set whenever one exists.
bool HasUsableRoute(platform::Ipv4Address address, const PhysicalGateway& gateway, bool* exists,
                    uint32_t* metric1) {
  *exists = FindHostRoute(address, gateway.next_hop, gateway.if_index, metric1);
  const uint32_t own = *metric1 >= gateway.interface_metric ? *metric1 - gateway.interface_metric : *metric1;
  return *exists && own < kHighMetric;
}

bool HasUsableRoute(platform::Ipv4Address address, const PhysicalGateway& gateway) {
  bool exists = false;
  uint32_t metric1 = 0;
  return HasUsableRoute(address, gateway, &exists, &metric1);
}

void FillExistingRoute(platform::Ipv4Address address, AdminBypassRouteResult* result) {
  platform::Ipv4Address next_hop = 0;
  uint32_t if_index = 0;
  if (!FindAnyHostRoute(address, &next_hop, &if_index)) return;
  result->existing_route_gateway = Ipv4Text(next_hop);
  result->existing_route_interface_index = std::to_string(if_index);
}

platform::ForwardRow BypassRow(platform::Ipv4Address address, const PhysicalGateway& gateway) {
  platform::ForwardRow row;
  row.destination = address;
  row.mask = kHostMask;
  row.next_hop = gateway.next_hop;
  row.if_index = gateway.if_index;
  row.type = kRouteTypeIndirect;
  row.protocol = kProtocolNetMgmt;
  // Below the interface's metric Windows refuses the row (160).
  row.metric1 = gateway.interface_metric + kBypassRouteMetric;
  return row;
}

}  // namespace

PhysicalGateway MakePhysicalGateway(platform::Ipv4Address next_hop, uint32_t if_index) {
  PhysicalGateway gateway{next_hop, if_index, 0};
  uint32_t error_code = 0;
  platform::ReadInterfaceIpv4Metric(if_index, &gateway.interface_metric, &error_code);
  return gateway;
}

PhysicalGateway CurrentPhysicalGateway() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_gateway;
}

void SetPhysicalGateway(const PhysicalGateway& gateway) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_gateway = gateway;
}

std::vector<platform::ForwardRow> AddedBypassRoutes() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_added_routes;
}

std::string WriteRouteResultJson(const AdminBypassRouteResult& result) {
  std::string json = "{";
  AppendJsonText(&json, "ip", result.ip);
  AppendJsonText(&json, "source", result.source);
  AppendJsonFlag(&json, "required", result.required);
  AppendJsonFlag(&json, "add_attempted", result.add_attempted);
  AppendJsonFlag(&json, "already_exists", result.already_exists);
  AppendJsonFlag(&json, "add_success", result.add_success);
  AppendJsonNumber(&json, "win32_error_code", result.win32_error_code);
  AppendJsonText(&json, "error_message", result.error_message);
  AppendJsonText(&json, "gateway", result.gateway);
  AppendJsonText(&json, "interface_index", result.interface_index);
  AppendJsonText(&json, "existing_route_gateway", result.existing_route_gateway);
  AppendJsonText(&json, "existing_route_interface_index", result.existing_route_interface_index);
  AppendJsonFlag(&json, "route_verify_success", result.route_verify_success);
  AppendJsonText(&json, "failure_reason", result.failure_reason);
  json += "}";
  return json;
}

std::string WriteRouteResultsJson(const std::vector<AdminBypassRouteResult>& results) {
  std::string json = "[";
  for (size_t i = 0; i < results.size(); ++i) json += (i > 0 ? "," : "") + WriteRouteResultJson(results[i]);
  return json + "]";
}

bool FindHostRoute(platform::Ipv4Address address, platform::Ipv4Address next_hop, uint32_t if_index,
                   uint32_t* metric1) {
  std::vector<platform::ForwardRow> rows;
  if (!ReadTable(&rows)) return false;
  for (const platform::ForwardRow& row : rows) {
    if (row.destination == address && row.mask == kHostMask && row.next_hop == next_hop &&
        row.if_index == if_index) {
      *metric1 = row.metric1;
      return true;
    }
  }
  return false;
}

bool FindAnyHostRoute(platform::Ipv4Address address, platform::Ipv4Address* next_hop, uint32_t* if_index) {
  std::vector<platform::ForwardRow> rows;
  if (!ReadTable(&rows)) return false;
  for (const platform::ForwardRow& row : rows) {
    if (row.destination == address && row.mask == kHostMask) {
      *next_hop = row.next_hop;
      *if_index = row.if_index;
      return true;
    }
  }
  return false;
}

AdminBypassRouteResult AddAdminBypassRoute(const AdminBypassCandidate& candidate) {
  const PhysicalGateway gateway = CurrentPhysicalGateway();
  AdminBypassRouteResult result;
  result.ip = candidate.ip;
  result.source = candidate.source;
  result.required = candidate.required;
  result.gateway = Ipv4Text(gateway.next_hop);
  result.interface_index = std::to_string(gateway.if_index);

  platform::Ipv4Address address = 0;
  if (!platform::ParseIpv4Address(candidate.ip, &address)) {
    result.error_message = "invalid_ip";
    result.failure_reason = "invalid_ip";
    return result;
  }
  FillExistingRoute(address, &result);
  if (HasUsableRoute(address, gateway)) {
    result.already_exists = true;
    result.add_success = true;
    result.route_verify_success = true;
    result.existing_route_gateway = result.gateway;
    result.existing_route_interface_index = result.interface_index;
    return result;
  }

  result.add_attempted = true;
  const platform::ForwardRow row = BypassRow(address, gateway);
  // On disk before it is in the table: a process that ends without its
  // clean-up leaves a journal that the next one removes it by.
  std::string journal_error;
  if (!JournalRoute(row, &journal_error)) {
    result.error_message = journal_error;
    result.failure_reason = "route_add_failed";
    return result;
  }
  CheckNetworkMutation(kMutationCreateRoute);
  result.win32_error_code = platform::CreateForwardEntry(row);
  NoteStartupRouteMutation();

  if (result.win32_error_code != 0) {
    UnjournalRoute(row);  // not ours: an existing route is never removed by us
    result.already_exists = result.win32_error_code == platform::kErrorObjectAlreadyExists;
    FillExistingRoute(address, &result);
    if (HasUsableRoute(address, gateway)) {
      result.route_verify_success = true;
      result.add_success = true;
      return result;
    }
    result.error_message = "CreateIpForwardEntry failed";
    result.failure_reason = "route_add_failed";
    return result;
  }

  // Recorded even when it does not verify, so that removal takes it away.
  RecordAddedRoute(row);
  result.add_success = true;
  if (HasUsableRoute(address, gateway)) {
    result.route_verify_success = true;
    return result;
  }
  result.failure_reason = "route_verify_failed";
  result.error_message = "route verify failed after add";
  result.add_success = false;
  return result;
}

bool VerifyAdminBypassRoutes(const std::vector<std::string>& ips, std::string* summary) {
  const PhysicalGateway gateway = CurrentPhysicalGateway();
  std::string text;
  bool all_ok = !ips.empty();
  for (const std::string& ip : ips) {
    platform::Ipv4Address address = 0;
    if (!platform::ParseIpv4Address(ip, &address)) {
      text += ip + ":invalid;";
      all_ok = false;
      continue;
    }
    bool exists = false;
    uint32_t metric1 = 0;
    if (HasUsableRoute(address, gateway, &exists, &metric1)) {
      text += ip + ":ok(metric=" + std::to_string(metric1) + ");";
    } else {
      text += exists ? ip + ":metric_high(" + std::to_string(metric1) + ");" : ip + ":missing;";
      all_ok = false;
    }
  }
  if (summary != nullptr) *summary = text;
  return all_ok;
}

bool ReaddAdminBypassRoute(const std::string& ip, std::string* summary) {
  const AdminBypassRouteResult result = AddAdminBypassRoute(AdminBypassCandidate{ip, kSourceLegacy, true});
  if (summary != nullptr) {
    *summary = result.add_success ? ip + ":added" : ip + ":add_failed(" + std::to_string(result.win32_error_code) + ")";
  }
  return result.add_success;
}

void DeleteAddedBypassRoutes() {
  std::vector<platform::ForwardRow> rows;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    rows.swap(g_added_routes);
  }
  for (const platform::ForwardRow& row : rows) {
    CheckNetworkMutation(kMutationDeleteRoute);
    platform::DeleteForwardEntry(row);
    NoteStartupRouteMutation();
    UnjournalRoute(row);
  }
}

void ResetAdminBypassRouteRecords() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_gateway = PhysicalGateway();
  g_added_routes.clear();
}

}  // namespace quorvane
