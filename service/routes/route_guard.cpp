#include "routes/route_guard.h"

#include <cstdio>

#include "common/ip_prefix.h"
#include "routes/admin_bypass_candidates.h"
#include "common/remote_sessions.h"
#include "common/json_text.h"
#include "common/safe_mode_settings.h"

namespace quorvane {
namespace {

// The client's own /24, from the first three octets of its address; a
// profile without an IPv4 address gets a fixed private /24.
std::string ClientSlash24(const std::string& address_cidr) {
  unsigned octets[4] = {};
  unsigned prefix = 0;
  if (std::sscanf(address_cidr.c_str(), "%u.%u.%u.%u/%u", &octets[0], &octets[1], &octets[2], &octets[3], &prefix) <
      4) {
    return "10.66.66.0/24";
  }
  char text[64];
  std::snprintf(text, sizeof(text), "%u.%u.%u.0/24", octets[0], octets[1], octets[2]);
  return text;
}

// An RDP peer, a session's client or an address the administrator named
// must stay reachable outside the tunnel, which safe mode gives no bypass
// route: any AllowedIPs entry that holds one is split around it.
void CarveAdministrationPeers(TunnelProfile* profile, RouteGuardReport* report) {
  const std::vector<AdminBypassCandidate> peers = AdministrationPeers();
  for (const AdminBypassCandidate& peer : peers) report->administration_peers.push_back(peer.ip);
  std::vector<std::string> carved;
  const std::string rewritten = CarveHostsOut(profile->allowed_ips_csv, report->administration_peers, &carved);
  if (carved.empty()) return;
  profile->allowed_ips_csv = rewritten;
  for (const std::string& entry : carved) {
    const std::string host = entry.substr(0, entry.find('/'));
    for (const AdminBypassCandidate& peer : peers) {
      if (peer.ip != host) continue;
      if (!report->carved_allowed_ips.empty()) report->carved_allowed_ips += "; ";
      report->carved_allowed_ips += entry + " (" + peer.source + ")";
    }
  }
}

void Refuse(RouteGuardReport* report, const char* reason, const char* message) {
  report->poc_route_guard_failed = true;
  report->failure_reason = reason;
  report->message = message;
}

}  // namespace

bool ContainsCatchAll(const std::string& text) {
  return text.find("0.0.0.0/0") != std::string::npos || text.find("::/0") != std::string::npos;
}

bool IsCatchAll(const std::string& list) { return ContainsCatchAll(list) || IsCatchAllList(list); }

bool SplitCatchAllsIntoHalves(std::string* allowed_ips) {
  std::string rewritten;
  bool changed = false;
  for (const std::string& entry : SplitList(*allowed_ips)) {
    IpPrefix prefix;
    std::string written = entry;
    if (ParseIpPrefix(entry, &prefix) && prefix.length == 0) {
      written = prefix.v6 ? "::/1, 8000::/1" : "0.0.0.0/1, 128.0.0.0/1";
      changed = true;
    }
    if (!rewritten.empty()) rewritten += ", ";
    rewritten += written;
  }
  if (changed) *allowed_ips = rewritten;
  return changed;
}

void ApplyRouteGuard(TunnelProfile* profile, RouteGuardReport* report) {
  report->rdp_session_active = IsRdpSessionActive();

  const SettingSources safe_mode = ReadSettingSources(kSettingDisableDefaultRoute);
  report->process_disable_default_route = safe_mode.process;
  report->machine_disable_default_route = safe_mode.machine;
  report->user_disable_default_route = safe_mode.user;
  report->effective_disable_default_route = ParseFlag(safe_mode.effective);

  const SettingSources auto_stop = ReadSettingSources(kSettingAutoStopSeconds);
  report->process_auto_stop_seconds = auto_stop.process;
  report->machine_auto_stop_seconds = auto_stop.machine;
  report->user_auto_stop_seconds = auto_stop.user;
  report->auto_stop_seconds = ParsePositiveInt(auto_stop.effective, 0);
  report->effective_auto_stop_seconds = report->auto_stop_seconds;

  // A service started before the administrator switched safe mode on in the
  // machine environment does not see it; refuse rather than tunnel unsafely.
  if (report->rdp_session_active && !safe_mode.machine.empty() && ParseFlag(safe_mode.machine) &&
      !report->effective_disable_default_route) {
    report->poc_env_read_failed = true;
    Refuse(report, kErrorEnvReadFailed, "Machine QUORVANE_POC_DISABLE_DEFAULT_ROUTE unreadable or invalid");
    return;
  }

  report->generated_allowed_ips_before = profile->allowed_ips_csv;
  if (!report->effective_disable_default_route) {
    report->message = "disable-default-route not active";
    return;
  }

  if (IsCatchAll(profile->allowed_ips_csv)) profile->allowed_ips_csv = ClientSlash24(profile->address_cidr);
  CarveAdministrationPeers(profile, report);
  profile->dns_csv.clear();
  report->generated_allowed_ips_after = profile->allowed_ips_csv;
  if (IsCatchAll(profile->allowed_ips_csv)) {
    Refuse(report, kErrorRouteGuardFailed, "AllowedIPs still contains catch-all after POC patch; refusing tunnel");
    return;
  }
  if (ContainsCatchAll(RenderWireGuardConfig(*profile)) || IsCatchAllList(profile->address_cidr)) {
    Refuse(report, kErrorRouteGuardFailed, "generated WireGuard config still contains catch-all AllowedIPs");
    return;
  }
  report->message = report->carved_allowed_ips.empty()
                        ? "POC safe AllowedIPs applied (no catch-all)"
                        : "POC safe AllowedIPs applied (no catch-all; administrators' addresses kept outside the tunnel)";
}

std::string WriteRouteGuardJson(const RouteGuardReport& report) {
  std::string json;
  json.reserve(1024);
  json += "\"poc_route_guard\":{";
  AppendJsonFlag(&json, "effective_disable_default_route", report.effective_disable_default_route);
  AppendJsonFlag(&json, "poc_route_guard_failed", report.poc_route_guard_failed);
  AppendJsonFlag(&json, "poc_default_route_detected", report.poc_default_route_detected);
  AppendJsonFlag(&json, "poc_env_read_failed", report.poc_env_read_failed);
  AppendJsonFlag(&json, "rdp_session_active", report.rdp_session_active);
  AppendJsonFlag(&json, "auto_stop_scheduled", report.auto_stop_scheduled);
  AppendJsonNumber(&json, "auto_stop_seconds", report.auto_stop_seconds);
  AppendJsonNumber(&json, "effective_auto_stop_seconds", report.effective_auto_stop_seconds);
  const std::pair<const char*, const std::string*> texts[] = {
      {"process_env_QUORVANE_POC_DISABLE_DEFAULT_ROUTE", &report.process_disable_default_route},
      {"machine_env_QUORVANE_POC_DISABLE_DEFAULT_ROUTE", &report.machine_disable_default_route},
      {"user_env_QUORVANE_POC_DISABLE_DEFAULT_ROUTE", &report.user_disable_default_route},
      {"process_env_QUORVANE_POC_AUTO_STOP_SECONDS", &report.process_auto_stop_seconds},
      {"machine_env_QUORVANE_POC_AUTO_STOP_SECONDS", &report.machine_auto_stop_seconds},
      {"user_env_QUORVANE_POC_AUTO_STOP_SECONDS", &report.user_auto_stop_seconds},
      {"generated_allowed_ips_before", &report.generated_allowed_ips_before},
      {"generated_allowed_ips_after", &report.generated_allowed_ips_after},
      {"default_routes_before_tunnel", &report.default_routes_before_tunnel},
      {"default_routes_after_tunnel", &report.default_routes_after_tunnel},
      {"rdp_routes_before_tunnel", &report.rdp_routes_before_tunnel},
      {"rdp_routes_after_tunnel", &report.rdp_routes_after_tunnel},
      {"offending_default_route", &report.offending_default_route},
      {"failure_reason", &report.failure_reason},
      {"message", &report.message},
      {"auto_stop_deadline_utc", &report.auto_stop_deadline_utc},
      {"carved_allowed_ips", &report.carved_allowed_ips},
  };
  for (const auto& [key, value] : texts) AppendJsonEchoed(&json, key, *value);
  json += "}";
  return json;
}

RouteGuardReport WithoutAddresses(RouteGuardReport report) {
  for (std::string* text : {&report.generated_allowed_ips_after, &report.default_routes_before_tunnel,
                            &report.default_routes_after_tunnel, &report.rdp_routes_before_tunnel,
                            &report.rdp_routes_after_tunnel, &report.offending_default_route,
                            &report.carved_allowed_ips}) {
    text->clear();
  }
  report.administration_peers.clear();
  return report;
}

}  // namespace quorvane
