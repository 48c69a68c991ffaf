#include "control/connect_flow.h"

#include "common/program_folder.h"
#include "control/request_handler.h"
#include "routes/admin_bypass.h"
#include "routes/route_guard.h"
#include "routes/route_table.h"
#include "common/safe_mode_settings.h"
#include "common/startup_record.h"
#include "common/utc_time_text.h"
#include "tunnel/active_conf_store.h"
#include "tunnel/tunnel_libraries.h"
#include "tunnel/tunnel_manager.h"

namespace quorvane {
namespace {

constexpr char kRdpRequiresSafeMode[] =
    "RDP session detected; set QUORVANE_POC_DISABLE_DEFAULT_ROUTE=1 (Machine env + restart QuorvaneVpnService)";
// A service reads the machine environment at each connect: no restart is needed.
constexpr char kRdpRequiresSafeModeService[] =
    "RDP session detected; set QUORVANE_POC_DISABLE_DEFAULT_ROUTE=1 in the Machine environment (read at each "
    "connect; no restart needed)";
constexpr char kHalvesNote[] =
    "; catch-all AllowedIPs written as their two /1 halves, so that the tunnel's kill switch stays off and the "
    "bypass routes keep administration reachable";

// The working records of one connect.
struct Connect {
  ControlState* state;
  const Caller* caller;
  // Who owns what runs if this connect is refused before its tunnel start,
  // and the node a failed connect leaves in the state, as before it.
  std::wstring earlier_owner;
  std::string earlier_node;
  TunnelProfile profile;
  RouteGuardReport report;
  AdminBypassState bypass;
  std::string error;
};

std::string ReplyWithReports(const Connect& connect, const std::string& code, const std::string& message) {
  return ErrorReplyWithReportsFor(*connect.caller, code, message, connect.bypass, connect.report);
}

// Undoes a connect whose tunnel was started; what the stop had to do, or why
// the tunnel may still run, for the reply's message. A tunnel that would not
// stop keeps what it depends on, and stays this connect's, in hand.
std::string UndoStartedTunnel(Connect* connect) {
  const Teardown down = TearDownTunnel();
  if (down.tunnel_gone) ResetPhase(connect->state, L"", connect->earlier_node);
  return down.note.empty() ? "" : "; " + down.note;
}

// Steps after the checks: guard, bypass, configuration, tunnel, and the look
// at the routing table afterwards.
std::string RunConnect(Connect* connect) {
  ControlState* state = connect->state;
  // Said before anything changes: a program folder others may write (checked
  // at each connect, so that fixing it is enough), and a missing tunnel.dll,
  // rather than by a tunnel service that never runs.
  const std::string unsafe = ProgramFolderProblem();
  if (!unsafe.empty()) {
    ResetPhase(state, connect->earlier_owner, connect->earlier_node);
    return ErrorReply(kErrorProgramFolderUnsafe, unsafe);
  }
  std::string missing;
  if (!TunnelLibraryFound(&missing)) {
    ResetPhase(state, connect->earlier_owner, connect->earlier_node);
    return ErrorReply(kErrorTunnelStartFailed, missing);
  }
  CleanUpEarlierProcessRoutes();
  ApplyRouteGuard(&connect->profile, &connect->report);
  RouteGuardReport& report = connect->report;
  if (report.poc_env_read_failed) {
    ResetPhase(state, connect->earlier_owner, connect->earlier_node);
    return ErrorReplyWithReportsFor(*connect->caller, kErrorEnvReadFailed, report.message, AdminBypassState(),
                                    report);
  }

  connect->bypass = PrepareAdminBypass(report.effective_disable_default_route);
  if (report.effective_auto_stop_seconds > 0) connect->bypass.auto_stop_seconds = report.effective_auto_stop_seconds;
  if (report.poc_route_guard_failed) {
    ReleaseAdminBypass();
    ResetPhase(state, connect->earlier_owner, connect->earlier_node);
    return ReplyWithReports(*connect, kErrorRouteGuardFailed, report.message);
  }
  if (report.rdp_session_active && !report.effective_disable_default_route) {
    ReleaseAdminBypass();
    ResetPhase(state, connect->earlier_owner, connect->earlier_node);
    report.failure_reason = "rdp_requires_disable_default_route";
    report.message = InServiceMode() ? kRdpRequiresSafeModeService : kRdpRequiresSafeMode;
    return ReplyWithReports(*connect, kErrorRouteGuardFailed, report.message);
  }
  if (!report.rdp_session_active && !report.effective_disable_default_route && connect->bypass.enabled &&
      !connect->bypass.routes_ready_before_tunnel) {
    ResetPhase(state, connect->earlier_owner, connect->earlier_node);
    return ReplyWithReports(*connect, kErrorAdminBypassFailed, connect->bypass.message);
  }

  const bool halves = connect->bypass.enabled && !report.effective_disable_default_route &&
                      SplitCatchAllsIntoHalves(&connect->profile.allowed_ips_csv);
  const std::vector<std::string> selected = CopySelectedBypassIps();
  report.default_routes_before_tunnel = DefaultRoutesSummary();
  report.rdp_routes_before_tunnel = HostRoutesSummary(selected);

  if (!WriteActiveConf(connect->profile, &connect->error)) {
    ReleaseAdminBypass();
    ResetPhase(state, connect->earlier_owner, connect->earlier_node);
    return ErrorReply(kErrorConfigWriteFailed, connect->error);
  }
  // Only now is the earlier tunnel replaced: a connect refused before this
  // point leaves it running with its automatic stop.
  CancelAutoStop(state);
  if (!TunnelManager::Start(ActiveConfPath(), &connect->error)) {
    if (TunnelServiceGone()) {
      std::string ignored;
      ReleaseAdminBypass();
      DeleteActiveConf(&ignored);
      ResetPhase(state, L"", connect->earlier_node);
    } else {
      ResetPhase(state, connect->earlier_owner, connect->earlier_node);  // the earlier tunnel would not stop
    }
    return ErrorReply(kErrorTunnelStartFailed, connect->error);
  }
  KickTunnelWatch(&state->tunnel_watch);
  // The checks below judge what the tunnel did to the table, so they wait
  // until it has done it; a tunnel that never runs is a failed start.
  std::string not_running;
  if (!WaitForTunnelRunning(&state->connect_cancelled, &not_running)) {
    return ErrorReply(kErrorTunnelStartFailed, not_running + UndoStartedTunnel(connect));
  }

  report.default_routes_after_tunnel = DefaultRoutesSummary();
  report.rdp_routes_after_tunnel = HostRoutesSummary(selected);
  if (report.effective_disable_default_route) {
    std::string offending;
    if (HasTunnelDefaultRoute(&offending) || TunnelRouteCoversAny(report.administration_peers, &offending)) {
      report.poc_default_route_detected = true;
      report.offending_default_route = offending;
      report.failure_reason = kDefaultRouteDetected.code;
      report.message = kDefaultRouteDetected.message;
      return ReplyWithReports(*connect, kDefaultRouteDetected.code,
                              kDefaultRouteDetected.message + UndoStartedTunnel(connect));
    }
  } else {
    connect->bypass = ConfirmAdminBypassAfterTunnel();
    if (connect->bypass.enabled && !connect->bypass.applied) {
      const std::string undone = UndoStartedTunnel(connect);
      return ReplyWithReports(*connect, kErrorAdminBypassFailed, connect->bypass.message + undone);
    }
    if (halves) connect->bypass.message += kHalvesNote;
  }

  SetPhase(state, kPhaseConnected, connect->profile.node_id);
  int32_t seconds = report.effective_auto_stop_seconds;
  if (seconds < 1) seconds = AutoStopSeconds();
  ScheduleAutoStop(state, seconds, &report);
  {
    std::lock_guard<std::mutex> guard(state->state_lock);
    state->facts = TunnelFacts{CurrentUtcTimeText(),
                               connect->profile.endpoint_host + ":" + std::to_string(connect->profile.endpoint_port),
                               connect->profile.address_cidr, report.effective_disable_default_route,
                               report.auto_stop_deadline_utc};
  }
  return WithReportsFor(*connect->caller, SuccessReply(kPhaseConnected, connect->profile.node_id), connect->bypass,
                        report);
}

}  // namespace

std::string HandleConnect(ControlState* state, const Caller& caller, const std::string& request) {
  const std::string nonce = ReadJsonString(request, "session_nonce");
  Connect connect{state,           &caller,          std::wstring(), std::string(), TunnelProfile(),
                  RouteGuardReport(), AdminBypassState(), std::string()};
  {
    // Each user's own registration; one who registered none is not asked.
    std::lock_guard<std::mutex> guard(state->state_lock);
    const auto registered = state->registered_nonces.find(caller.user_sid);
    if (registered != state->registered_nonces.end() && nonce != registered->second) {
      return ErrorReply(kSessionMismatch);
    }
  }
  std::string message;
  if (!ReadTunnelProfile(request, &connect.profile, &message)) return ErrorReply("invalid_profile", message);

  {
    // From here until it goes down, the tunnel is the caller's.
    std::lock_guard<std::mutex> guard(state->state_lock);
    state->phase = kPhaseConnecting;
    connect.earlier_owner = state->tunnel_owner;
    connect.earlier_node = state->node;
    state->node = connect.profile.node_id;
    state->tunnel_owner = caller.user_sid;
    state->connect_cancelled = false;
    state->status_message.clear();
    ++state->generation;
    state->changed.notify_all();
  }
  MarkUserConnectBegun();
  return RunConnect(&connect);
}

}  // namespace quorvane
