#include "routes/admin_bypass.h"

#include <algorithm>
#include <mutex>

#include "common/ipv4_text.h"
#include "common/service_log.h"
#include "common/wide_text.h"
#include "common/json_text.h"
#include "platform/process.h"
#include "routes/admin_bypass_candidates.h"
#include "routes/admin_bypass_routes.h"
#include "routes/route_table.h"
#include "common/safe_mode_settings.h"

namespace quorvane {
namespace {

// The records are replaced by the request thread and the automatic stop, and
// read for status replies; the lock is held only to copy or assign.
std::mutex g_lock;
AdminBypassState g_last_state;
std::vector<std::string> g_selected_ips;
std::vector<std::string> g_required_ips;

void Publish(const AdminBypassState& state) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_last_state = state;
}

std::vector<std::string> RequiredBypassIps() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_required_ips;
}

std::string JsonCandidateArray(const std::vector<AdminBypassCandidate>& candidates) {
  std::string json = "[";
  for (size_t i = 0; i < candidates.size(); ++i) {
    json += i > 0 ? ",{" : "{";
    AppendJsonText(&json, "ip", candidates[i].ip);
    AppendJsonText(&json, "source", candidates[i].source);
    AppendJsonFlag(&json, "required", candidates[i].required);
    json += "}";
  }
  return json + "]";
}

AdminBypassState Finish(const AdminBypassState& state) {
  Publish(state);
  LogAdminBypassState(state);
  return state;
}

AdminBypassState Fail(AdminBypassState* state, const char* reason, const std::string& message) {
  state->failure_reason = reason;
  state->message = message;
  return Finish(*state);
}

// Removes what the failed preparation added, then publishes the failure.
AdminBypassState FailAndRelease(AdminBypassState* state, const char* reason, const std::string& message) {
  state->failure_reason = reason;
  state->message = message;
  ReleaseAdminBypass();
  return Finish(*state);
}

// The route to |probe| that leaves through a physical interface. While an
// earlier tunnel runs, the best route follows the tunnel; then the physical
// default route with the lowest metric is the way out.
bool FindPhysicalRoute(platform::Ipv4Address probe, platform::ForwardRow* route) {
  uint32_t error_code = 0;
  if (!platform::FindBestRoute(probe, route, &error_code)) return false;
  if (!IsTunnelInterface(route->if_index)) return route->next_hop != 0;
  std::vector<platform::ForwardRow> rows;
  if (!platform::ReadIpForwardTable(&rows, &error_code)) return false;
  bool found = false;
  for (const platform::ForwardRow& row : rows) {
    if (row.destination != 0 || row.mask != 0 || row.next_hop == 0 || IsTunnelInterface(row.if_index)) continue;
    if (!found || row.metric1 < route->metric1) *route = row;
    found = true;
  }
  return found;
}

}  // namespace

AdminBypassState PrepareAdminBypass(bool safe_mode) {
  AdminBypassState state;
  state.enabled = IsAdminBypassEnabled();
  state.auto_stop_seconds = AutoStopSeconds();
  state.required_enforced = !safe_mode;
  state.skipped_for_safe_mode = safe_mode;

  // Routes created by an earlier connect stay recorded: the next removal
  // deletes them, and deleting them now could cut the administrator off while
  // an earlier tunnel still carries the default route.
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_selected_ips.clear();
    g_required_ips.clear();
  }
  SetPhysicalGateway(PhysicalGateway());

  if (!state.enabled) {
    state.message = "admin bypass disabled for this build/config";
    Publish(state);
    return state;
  }
  state.attempted = true;
  state.rdp_tcp_remote_addresses = JsonTextArray(ListRdpTcpRemoteAddresses());
  state.admin_env_ips = JsonTextArray(ReadAdminEnvIps());
  const std::vector<AdminBypassCandidate> candidates = CollectAdminBypassCandidates();
  state.selected_bypass_ip_entries = JsonCandidateArray(candidates);

  std::vector<std::string> selected;
  std::vector<std::string> required;
  for (const AdminBypassCandidate& candidate : candidates) {
    selected.push_back(candidate.ip);
    if (candidate.required) required.push_back(candidate.ip);
  }
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_selected_ips = selected;
    g_required_ips = required;
  }
  state.selected_admin_bypass_ips = JsonTextArray(selected);

  if (safe_mode) {
    state.routes_ready_before_tunnel = true;
    state.message = "admin bypass skipped for POC safe mode (disable-default-route)";
    return Finish(state);
  }
  if (required.empty()) {
    return Fail(&state, "no_admin_bypass_ips",
                "no required RDP/admin IPs detected; set ADMIN_BYPASS_IP, ADMIN_BYPASS_IPS, or establish RDP "
                "before connecting");
  }

  platform::Ipv4Address probe = 0;
  if (!platform::ParseIpv4Address("8.8.8.8", &probe)) {
    return Fail(&state, "physical_gateway_missing", "probe address parse failed");
  }
  platform::ForwardRow best;
  if (!FindPhysicalRoute(probe, &best)) {
    return Fail(&state, "physical_gateway_missing", "physical default gateway not found before tunnel (GetBestRoute)");
  }
  SetPhysicalGateway(MakePhysicalGateway(best.next_hop, best.if_index));
  state.physical_default_gateway_before_tunnel = Ipv4Text(best.next_hop);
  state.physical_interface_index_before_tunnel = std::to_string(best.if_index);
  state.gateway = state.physical_default_gateway_before_tunnel;
  state.client_ip = required.front();

  std::vector<AdminBypassRouteResult> results;
  std::string first_required_failure;
  bool required_failed = false;
  for (const AdminBypassCandidate& candidate : candidates) {
    results.push_back(AddAdminBypassRoute(candidate));
    const AdminBypassRouteResult& result = results.back();
    state.route_add_results += candidate.ip + ":" + (result.add_success ? "added" : "failed") + ";";
    if (candidate.required && !result.add_success && !required_failed) {
      first_required_failure = candidate.ip + " (" + result.failure_reason + ")";
    }
    required_failed = required_failed || (candidate.required && !result.add_success);
  }
  state.route_add_results_detail = WriteRouteResultsJson(results);
  if (required_failed) {
    return FailAndRelease(&state, "route_add_failed",
                          "required admin bypass host route failed to add: " + first_required_failure);
  }

  state.routes_ready_before_tunnel = VerifyAdminBypassRoutes(required, &state.route_verify_before_tunnel);
  if (!state.routes_ready_before_tunnel) {
    return FailAndRelease(&state, "route_verify_before_tunnel_failed",
                          "required admin bypass routes not verified before tunnel; refusing connect");
  }
  state.applied = true;
  state.message = "required admin bypass host routes verified before tunnel";
  return Finish(state);
}

AdminBypassState ConfirmAdminBypassAfterTunnel() {
  AdminBypassState state = CurrentAdminBypassState();
  const std::vector<std::string> selected = CopySelectedBypassIps();
  if (!state.enabled || !state.attempted || selected.empty()) return state;

  const std::vector<std::string> required = RequiredBypassIps();
  if (VerifyAdminBypassRoutes(required, &state.route_verify_after_tunnel)) {
    state.applied = true;
    state.message = "admin bypass routes verified after tunnel";
    return Finish(state);
  }

  state.route_readded_after_tunnel = true;
  std::string summary;
  for (const std::string& ip : selected) {
    std::string one;
    ReaddAdminBypassRoute(ip, &one);
    summary += one + ";";
  }
  state.route_add_results = summary;
  const bool verified = VerifyAdminBypassRoutes(required, &state.route_verify_after_tunnel);
  state.routes_ready_before_tunnel = verified;
  state.applied = verified;
  if (verified) {
    state.message = "admin bypass routes re-added and verified after tunnel";
    return Finish(state);
  }
  return Fail(&state, "route_verify_after_tunnel_failed",
              "admin bypass routes lost after tunnel start and could not be restored");
}

AdminBypassState ReleaseAdminBypass() {
  AdminBypassState state = CurrentAdminBypassState();
  DeleteAddedBypassRoutes();
  state.applied = false;
  if (state.message.empty()) state.message = "admin bypass host routes removed";
  return Finish(state);
}

bool FollowPhysicalGateway(std::string* moved) {
  const PhysicalGateway old = CurrentPhysicalGateway();
  const std::vector<platform::ForwardRow> routes = AddedBypassRoutes();
  platform::Ipv4Address probe = 0;
  platform::ForwardRow best;
  if (routes.empty() || old.next_hop == 0 || !platform::ParseIpv4Address("8.8.8.8", &probe) ||
      !FindPhysicalRoute(probe, &best) || (best.next_hop == old.next_hop && best.if_index == old.if_index)) {
    return false;
  }
  const std::string from = Ipv4Text(old.next_hop) + "@if" + std::to_string(old.if_index);
  const std::string to = Ipv4Text(best.next_hop) + "@if" + std::to_string(best.if_index);
  // The old routes lead nowhere now; each is added again through the new way out.
  DeleteAddedBypassRoutes();
  SetPhysicalGateway(MakePhysicalGateway(best.next_hop, best.if_index));
  const std::vector<std::string> required = RequiredBypassIps();
  std::string added;
  for (const platform::ForwardRow& row : routes) {
    std::string one;
    const std::string ip = Ipv4Text(row.destination);
    const bool is_required = std::find(required.begin(), required.end(), ip) != required.end();
    const AdminBypassRouteResult result = AddAdminBypassRoute(AdminBypassCandidate{ip, kSourceLegacy, is_required});
    added += ip + (result.add_success ? ":added;" : ":add_failed(" + std::to_string(result.win32_error_code) + ");");
  }
  AdminBypassState state = CurrentAdminBypassState();
  const bool verified = VerifyAdminBypassRoutes(required, &state.route_verify_after_tunnel);
  state.gateway = Ipv4Text(best.next_hop);
  state.route_add_results = added;
  state.route_moves += from + "->" + to + (verified ? ":ok;" : ":failed;");
  state.message = "physical default gateway changed from " + from + " to " + to + "; bypass routes moved" +
                  (verified ? "" : ", and a required one did not verify");
  state.applied = verified;
  Finish(state);
  *moved = state.message;
  return true;
}

AdminBypassState CurrentAdminBypassState() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_last_state;
}

std::vector<std::string> CopySelectedBypassIps() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_selected_ips;
}

AdminBypassState WithoutAddresses(AdminBypassState state) {
  for (std::string* text :
       {&state.client_ip, &state.gateway, &state.rdp_tcp_remote_addresses, &state.admin_env_ips,
        &state.selected_admin_bypass_ips, &state.selected_bypass_ip_entries,
        &state.physical_default_gateway_before_tunnel, &state.physical_interface_index_before_tunnel,
        &state.route_add_results, &state.route_add_results_detail, &state.route_verify_before_tunnel,
        &state.route_verify_after_tunnel, &state.route_moves}) {
    text->clear();
  }
  return state;
}

std::string WriteAdminBypassJson(const AdminBypassState& state, bool every_key) {
  std::string json;
  json.reserve(512);
  json += "\"admin_bypass\":{";
  AppendJsonFlag(&json, "enabled", state.enabled);
  AppendJsonFlag(&json, "attempted", state.attempted);
  AppendJsonFlag(&json, "applied", state.applied);
  AppendJsonFlag(&json, "routes_ready_before_tunnel", state.routes_ready_before_tunnel);
  AppendJsonFlag(&json, "route_readded_after_tunnel", state.route_readded_after_tunnel);
  AppendJsonFlag(&json, "required_enforced", state.required_enforced);
  AppendJsonFlag(&json, "skipped_for_safe_mode", state.skipped_for_safe_mode);
  AppendJsonNumber(&json, "auto_stop_seconds", state.auto_stop_seconds);
  const auto text = [&json, every_key](const char* key, const std::string& value) {
    if (!value.empty() || every_key) AppendJsonEchoed(&json, key, value);
  };
  const auto raw = [&json, every_key](const char* key, const std::string& value) {
    if (!value.empty()) {
      AppendJsonEchoedArray(&json, key, value);
    } else if (every_key) {
      AppendJsonRaw(&json, key, "[]");
    }
  };
  text("client_ip", state.client_ip);
  text("gateway", state.gateway);
  text("message", state.message);
  text("failure_reason", state.failure_reason);
  raw("rdp_tcp_remote_addresses", state.rdp_tcp_remote_addresses);
  raw("admin_env_ips", state.admin_env_ips);
  raw("selected_admin_bypass_ips", state.selected_admin_bypass_ips);
  raw("selected_bypass_ip_entries", state.selected_bypass_ip_entries);
  text("physical_default_gateway_before_tunnel", state.physical_default_gateway_before_tunnel);
  text("physical_interface_index_before_tunnel", state.physical_interface_index_before_tunnel);
  text("route_add_results", state.route_add_results);
  raw("route_add_results_detail", state.route_add_results_detail);
  text("route_verify_before_tunnel", state.route_verify_before_tunnel);
  text("route_verify_after_tunnel", state.route_verify_after_tunnel);
  text("route_moves", state.route_moves);
  json += "}";
  return json;
}

void LogAdminBypassState(const AdminBypassState& state) {
  const std::wstring line = std::wstring(L"[Quorvane][admin_bypass] enabled=") + (state.enabled ? L"1" : L"0") +
                            L" applied=" + (state.applied ? L"1" : L"0") +
                            L" failure=" + Utf8ToWide(state.failure_reason) + L"\n";
  platform::WriteDebuggerOutput(line);
  Diagnose(line);
}

void ResetAdminBypassRecords() {
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_last_state = AdminBypassState();
    g_selected_ips.clear();
    g_required_ips.clear();
  }
  ResetAdminBypassRouteRecords();
  ResetLocalPublicAddresses();
}

}  // namespace quorvane
