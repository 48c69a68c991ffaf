// Safe mode's guard around the tunnel: with "QUORVANE_POC_DISABLE_DEFAULT_ROUTE"
// on, the profile may carry no catch-all route and no DNS servers, and the
// report of what was decided and seen goes back to the client.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tunnel/tunnel_profile.h"

namespace quorvane {

// Refusal codes of the guard; the connect answers with them as error codes.
constexpr char kErrorEnvReadFailed[] = "poc_env_read_failed";
constexpr char kErrorRouteGuardFailed[] = "poc_route_guard_failed";

struct RouteGuardReport {
  bool effective_disable_default_route = false;
  bool poc_route_guard_failed = false;
  bool poc_default_route_detected = false;
  bool poc_env_read_failed = false;
  bool rdp_session_active = false;
  bool auto_stop_scheduled = false;
  std::string process_disable_default_route;
  std::string machine_disable_default_route;
  std::string user_disable_default_route;
  std::string process_auto_stop_seconds;
  std::string machine_auto_stop_seconds;
  std::string user_auto_stop_seconds;
  std::string generated_allowed_ips_before;
  std::string generated_allowed_ips_after;
  std::string default_routes_before_tunnel;
  std::string default_routes_after_tunnel;
  std::string rdp_routes_before_tunnel;
  std::string rdp_routes_after_tunnel;
  std::string offending_default_route;
  std::string failure_reason;
  std::string message;
  int32_t auto_stop_seconds = 0;
  int32_t effective_auto_stop_seconds = 0;
  std::string auto_stop_deadline_utc;
  // Safe mode: each administrator's address carved out of AllowedIPs, with
  // the entry it came from and why ("10.1.2.3/32 from 10.0.0.0/8 (ADMIN_BYPASS_IPS)").
  std::string carved_allowed_ips;
  // Those addresses, which no tunnel route may cover either (not sent).
  std::vector<std::string> administration_peers;
};

// "0.0.0.0/0" or "::/0" anywhere in |text|.
bool ContainsCatchAll(const std::string& text);

// Whether the ranges of an AllowedIPs list take every address of IPv4 or of
// IPv6, read as the tunnel library reads them ("::0/0", "1.2.3.4/0", the two
// /1 halves, ...).
bool IsCatchAll(const std::string& list);

// With a /0 entry in AllowedIPs the WireGuard library turns on its kill
// switch, which blocks all traffic outside the tunnel and so the admin bypass
// routes. Each /0 entry is written as its two /1 halves instead (the same
// routes, no kill switch). True when the list changed.
bool SplitCatchAllsIntoHalves(std::string* allowed_ips);

// Runs before the configuration is written: fills |report| and, in safe mode,
// replaces a catch-all AllowedIPs by the client's /24, carves every
// administrator's address out of what remains (there are no bypass routes
// in safe mode to keep them reachable), and drops the DNS servers. |report|.poc_route_guard_failed set means: refuse the connect.
void ApplyRouteGuard(TunnelProfile* profile, RouteGuardReport* report);

// The "poc_route_guard" member, all 25 keys, no leading comma.
std::string WriteRouteGuardJson(const RouteGuardReport& report);

// What a user who is not an administrator may read: every key, with the
// route texts and the AllowedIPs that carving made (they hold the
// administrators' addresses) empty.
RouteGuardReport WithoutAddresses(RouteGuardReport report);

}  // namespace quorvane
