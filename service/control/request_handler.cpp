#include "control/request_handler.h"

#include <exception>
#include <system_error>

#include "common/utc_time_text.h"
#include "control/connect_flow.h"
#include "platform/process.h"
#include "common/service_log.h"
#include "common/wide_text.h"
#include "routes/admin_bypass.h"
#include "routes/route_journal.h"
#include "tunnel/active_conf_store.h"
#include "tunnel/tunnel_manager.h"

namespace quorvane {
namespace {

constexpr uint32_t kAutoStopStepMs = 100;

std::string HandleStatus(ControlState* state) {
  const PhaseAndNode current = ReadPhase(state);
  return WithReports(StatusReply(current.phase, current.node, IsTunnelRunning()),
                     WriteAdminBypassJson(CurrentAdminBypassState()), WriteRouteGuardJson(RouteGuardReport()));
}

std::string HandleDisconnect(ControlState* state) {
  CancelAutoStop(state);
  const AdminBypassState bypass = TearDownTunnel();
  SetPhase(state, kPhaseDisconnected, "");
  return WithReports(SuccessReply(kPhaseDisconnected, ""), WriteAdminBypassJson(bypass),
                     WriteRouteGuardJson(RouteGuardReport()));
}

// Waits for the wall clock to reach |deadline|, not for a sum of sleeps: a
// wait does not count the time the machine was asleep.
void RunAutoStop(ControlState* state, int64_t deadline) {
  while (platform::UnixTimeSeconds() < deadline) {
    if (state->auto_stop_cancel) return;
    platform::SleepMilliseconds(kAutoStopStepMs);
  }
  // A request that changes the tunnel may be running; wait for it, unless
  // that request cancels this stop (it then waits for this thread).
  std::unique_lock<std::mutex> work(state->work_lock, std::defer_lock);
  while (!work.try_lock()) {
    if (state->auto_stop_cancel) return;
    platform::SleepMilliseconds(kAutoStopStepMs);
  }
  if (state->auto_stop_cancel) return;
  TearDownTunnel();
  SetPhase(state, kPhaseDisconnected, "");
}

// Nothing may escape the thread: that would end the whole service.
void AutoStopThread(ControlState* state, int64_t deadline) {
  try {
    RunAutoStop(state, deadline);
  } catch (const std::exception&) {
  }
  state->auto_stop_pending = false;
}

}  // namespace

void CleanUpEarlierProcessRoutes() {
  const std::string done = CleanUpEarlierRoutes();
  if (!done.empty()) Diagnose(L"[Quorvane][route_journal] " + Utf8ToWide(done) + L"\n");
}

AdminBypassState TearDownTunnel() {
  CleanUpEarlierProcessRoutes();
  TunnelManager::Stop(nullptr);
  const AdminBypassState bypass = ReleaseAdminBypass();
  DeleteActiveConf(nullptr);
  return bypass;
}

std::string HandleRequest(ControlState* state, const std::string& request) {
  if (ContainsForbiddenKey(request)) return ErrorReply(kForbiddenPath);
  const std::string op = ReadJsonString(request, "op");
  if (op == kOpStatus) return HandleStatus(state);
  if (op == kOpRegisterSession) {
    state->registered_nonce = ReadJsonString(request, "session_nonce");
    return SuccessReply(kPhaseDisconnected, "");
  }
  if (op == kOpDisconnect || op == kOpConnect) {
    std::lock_guard<std::mutex> work(state->work_lock);
    return op == kOpConnect ? HandleConnect(state, request) : HandleDisconnect(state);
  }
  return ErrorReply(kUnknownOp);
}

void CancelAutoStop(ControlState* state) {
  state->auto_stop_cancel = true;
  state->auto_stop_pending = false;
  std::thread pending;
  {
    std::lock_guard<std::mutex> guard(state->auto_stop_lock);
    pending.swap(state->auto_stop_thread);
  }
  if (pending.joinable()) pending.join();
}

bool ScheduleAutoStop(ControlState* state, int32_t seconds, RouteGuardReport* report) {
  if (seconds <= 0) return true;
  report->auto_stop_scheduled = true;
  report->auto_stop_seconds = seconds;
  const int64_t deadline = platform::UnixTimeSeconds() + seconds;
  report->auto_stop_deadline_utc = UtcTimeText(deadline);
  CancelAutoStop(state);
  state->auto_stop_cancel = false;
  std::lock_guard<std::mutex> guard(state->auto_stop_lock);
  state->auto_stop_pending = true;
  try {
    state->auto_stop_thread = std::thread(AutoStopThread, state, deadline);
  } catch (const std::system_error&) {
    state->auto_stop_pending = false;
    report->auto_stop_scheduled = false;
    return false;
  }
  return true;
}

}  // namespace quorvane
