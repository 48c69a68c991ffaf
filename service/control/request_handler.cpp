#include "control/request_handler.h"

#include "common/windows_events.h"

#include <chrono>
#include <exception>
#include <system_error>

#include "common/startup_record.h"
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

// From memory: the watcher's last look at the tunnel service, never a call to
// the service manager, which a start or a stop may hold for long. Without a
// watcher (no server runs) the service is asked.
std::string HandleStatus(ControlState* state, const Caller& caller) {
  const bool running = state->tunnel_watch.running ? SnapshotRunning(ReadTunnelSnapshot(&state->tunnel_watch))
                                                   : IsTunnelRunning();
  std::string phase, node, message;
  uint64_t generation = 0;
  TunnelFacts facts;
  {
    std::lock_guard<std::mutex> guard(state->state_lock);
    phase = state->phase;
    node = state->node;
    message = state->status_message;
    generation = state->generation;
    facts = state->facts;
  }
  std::string reply = StatusReply(phase, node, running, generation);
  if (!facts.connected_since_utc.empty()) {
    // The server and the tunnel's address are the owner's business: named to
    // administrators alone, as the reports' addresses are.
    if (!caller.administrator) facts.endpoint = facts.tunnel_address = "";
    reply.pop_back();
    const auto text = [&reply](const char* key, const std::string& value) {
      if (!value.empty()) AppendJsonText(&reply, key, value);
    };
    text("connected_since_utc", facts.connected_since_utc);
    text("endpoint", facts.endpoint);
    text("tunnel_address", facts.tunnel_address);
    AppendJsonFlag(&reply, "safe_mode", facts.safe_mode);
    text("auto_stop_deadline_utc", facts.auto_stop_deadline_utc);
    reply += "}";
  }
  return WithReportsFor(caller, WithMessage(reply, message), CurrentAdminBypassState(), RouteGuardReport());
}

// Parked until the state moves past |since| (a missing or unreadable one is
// past at once), the idle bound, or the server's stop. At most kMaxWatchers
// wait at once.
std::string HandleWatch(ControlState* state, const Caller& caller, const std::string& since_text) {
  uint64_t since = 0;
  const bool readable = !since_text.empty() && since_text.size() <= 19 &&
                        since_text.find_first_not_of("0123456789") == std::string::npos;
  if (readable) since = std::stoull(since_text);
  {
    std::unique_lock<std::mutex> guard(state->state_lock);
    if (readable && since == state->generation && !state->watches_ending) {
      if (state->watchers >= kMaxWatchers) return ErrorReply(kWatchersBusy);
      ++state->watchers;
      state->changed.wait_for(guard, std::chrono::milliseconds(state->watch_idle_ms),
                              [state, since] { return state->generation != since || state->watches_ending; });
      --state->watchers;
    }
  }
  return HandleStatus(state, caller);
}

// What an earlier process may have left for a disconnect to undo: a tunnel
// service, journalled bypass routes, a configuration file.
bool LeftoverToUndo() {
  return !TunnelServiceGone() || !ReadRouteJournal().rows.empty() || ActiveConfPresent();
}

std::string HandleDisconnect(ControlState* state, const Caller& caller) {
  CancelAutoStop(state);
  // While the start is passive, a disconnect with nothing to undo changes
  // nothing (and so trips no guard); one that undoes what an earlier process
  // left is an explicit request, as a connect is, and ends the passive phase.
  if (StartupPassive()) {
    if (!LeftoverToUndo()) {
      SetPhase(state, kPhaseDisconnected, "");
      // No bypass route exists before a connect: this removes none.
      return WithReportsFor(caller, SuccessReply(kPhaseDisconnected, ""), ReleaseAdminBypass(), RouteGuardReport());
    }
    Diagnose(L"[Quorvane][startup_guard] a disconnect undoes what an earlier process left: the passive start-up "
             L"ends\n");
    MarkUserConnectBegun();
  }
  const Teardown down = TearDownTunnel();
  if (!down.tunnel_gone) {
    return ErrorReplyWithReportsFor(caller, kErrorTunnelStopFailed, down.note, down.bypass, RouteGuardReport());
  }
  SetPhase(state, kPhaseDisconnected, "");
  return WithReportsFor(caller, WithMessage(SuccessReply(kPhaseDisconnected, ""), down.note), down.bypass,
                        RouteGuardReport());
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
  TearDownAndForget(state, "automatic stop");
  ReportWindowsEvent(platform::EventType::kInformation, "The automatic stop took the tunnel down.");
}

// Nothing may escape the thread: that would end the whole service.
void AutoStopThread(ControlState* state, int64_t deadline) {
  try {
    RunAutoStop(state, deadline);
  } catch (...) {  // nothing may escape the thread: that would end the service
  }
  state->auto_stop_pending = false;
}

// Each user's registration is their own: an empty nonce clears only theirs.
void RegisterSession(ControlState* state, const Caller& caller, const std::string& nonce) {
  std::lock_guard<std::mutex> guard(state->state_lock);
  if (nonce.empty()) {
    state->registered_nonces.erase(caller.user_sid);
  } else {
    state->registered_nonces[caller.user_sid] = nonce;
  }
}

// The tunnel's owner and administrators may change a tunnel that runs or
// starts; anyone may when none does. With the state lock held.
bool MayChangeTunnel(const ControlState& state, const Caller& caller) {
  return caller.administrator || state.tunnel_owner.empty() || state.tunnel_owner == caller.user_sid;
}

// A change's place in the queue for the work lock, taken under one lock with
// the owner check and, for a disconnect, the cancelling of a connect in hand:
// a disconnect never cancels a connect it may not change. A connect waiting
// for its tunnel gives up then, so that the disconnect need not wait for it
// to run first.
const ProtocolError* QueueChange(ControlState* state, const Caller& caller, bool disconnect) {
  std::lock_guard<std::mutex> guard(state->state_lock);
  if (!MayChangeTunnel(*state, caller)) return &kTunnelOwnedByAnotherUser;
  if (state->changes_refused) return &kServiceStopping;
  if (!state->changes_waiting.insert(caller.user_sid).second) return &kChangeInProgress;
  if (disconnect && state->phase == kPhaseConnecting) state->connect_cancelled = true;
  return nullptr;
}

// Its turn has come: out of the queue, and checked again, since another
// user's connect may have taken the tunnel, or the server begun to stop,
// while it waited.
const ProtocolError* TakeTurn(ControlState* state, const Caller& caller) {
  std::lock_guard<std::mutex> guard(state->state_lock);
  state->changes_waiting.erase(caller.user_sid);
  if (state->changes_refused) return &kServiceStopping;
  return MayChangeTunnel(*state, caller) ? nullptr : &kTunnelOwnedByAnotherUser;
}

}  // namespace

void CleanUpEarlierProcessRoutes() {
  const std::string done = CleanUpEarlierRoutes();
  if (!done.empty()) Diagnose(L"[Quorvane][route_journal] " + Utf8ToWide(CapLoggedText(done)) + L"\n");
}

void TearDownAndForget(ControlState* state, const char* who) {
  const Teardown down = TearDownTunnel();
  if (down.tunnel_gone) {
    SetPhase(state, kPhaseDisconnected, "");
  } else {
    Diagnose(Utf8ToWide(std::string("[Quorvane] ") + who + ": " + CapLoggedText(down.note) +
                        "; the tunnel is left as it is\n"));
  }
}

Teardown TearDownTunnel() {
  CleanUpEarlierProcessRoutes();
  Teardown down;
  down.tunnel_gone = TunnelManager::Stop(&down.note);
  if (!down.tunnel_gone) {
    down.bypass = CurrentAdminBypassState();
    return down;
  }
  down.bypass = ReleaseAdminBypass();
  std::string refused;
  if (!DeleteActiveConf(&refused)) Diagnose(L"[Quorvane][active_conf] " + Utf8ToWide(CapLoggedText(refused)) + L"\n");
  return down;
}

std::string WithReportsFor(const Caller& caller, const std::string& reply, const AdminBypassState& bypass,
                           const RouteGuardReport& report) {
  if (caller.administrator) return WithReports(reply, WriteAdminBypassJson(bypass), WriteRouteGuardJson(report));
  return WithReports(reply, WriteAdminBypassJson(WithoutAddresses(bypass), true),
                     WriteRouteGuardJson(WithoutAddresses(report)));
}

std::string ErrorReplyWithReportsFor(const Caller& caller, const std::string& code, const std::string& message,
                                     const AdminBypassState& bypass, const RouteGuardReport& report) {
  return WithReportsFor(caller, ErrorReply(code, message), bypass, report);
}

bool RequestNeedsCaller(const std::string& request) {
  const std::string op = ReadJsonString(request, "op");
  return op != kOpStatus && op != kOpWatch;
}

std::string HandleRequest(ControlState* state, const Caller& caller, const std::string& request) {
  if (ContainsForbiddenKey(request)) return ErrorReply(kForbiddenPath);
  const std::string op = ReadJsonString(request, "op");
  if (op == kOpStatus) return HandleStatus(state, caller);
  if (op == kOpWatch) return HandleWatch(state, caller, ReadJsonString(request, "since"));
  if (op != kOpRegisterSession && op != kOpDisconnect && op != kOpConnect) return ErrorReply(kUnknownOp);
  if (!caller.identified) return ErrorReply(kCallerUnidentified);
  if (op == kOpRegisterSession) {
    RegisterSession(state, caller, ReadJsonString(request, "session_nonce"));
    return SuccessReply(kPhaseDisconnected, "");
  }
  // Refused at once, without waiting for the work in hand to end.
  if (const ProtocolError* refused = QueueChange(state, caller, op == kOpDisconnect)) return ErrorReply(*refused);
  std::unique_lock<std::mutex> work(state->work_lock, std::defer_lock);
  try {
    work.lock();
  } catch (...) {
    TakeTurn(state, caller);
    throw;
  }
  if (const ProtocolError* refused = TakeTurn(state, caller)) return ErrorReply(*refused);
  return op == kOpConnect ? HandleConnect(state, caller, request) : HandleDisconnect(state, caller);
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
