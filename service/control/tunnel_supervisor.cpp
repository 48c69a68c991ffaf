#include "control/tunnel_supervisor.h"

#include "common/windows_events.h"

#include <system_error>
#include <utility>

#include "common/service_log.h"
#include "common/startup_record.h"
#include "common/wide_text.h"
#include "control/request_handler.h"
#include "platform/service_control.h"
#include "platform/sessions.h"
#include "routes/admin_bypass.h"
#include "tunnel/tunnel_manager.h"

namespace quorvane {
namespace {

constexpr wchar_t kSystemSid[] = L"S-1-5-18";

void Log(const std::string& line) { Diagnose(L"[Quorvane] " + Utf8ToWide(CapLoggedText(line)) + L"\n"); }

// A reaction to what happened by itself is as explicit as a request: it ends
// the passive start, as a disconnect of what an earlier process left does.
void EndPassiveStartFor(const std::string& why) {
  if (!StartupPassive()) return;
  Log("[startup_guard] " + why + ": the passive start-up ends");
  MarkUserConnectBegun();
}

// Takes the tunnel down and says why in the next status; false when it would
// not stop (it may still run, and keeps what it depends on).
bool TakeDown(ControlState* state, const std::string& why) {
  EndPassiveStartFor(why);
  const Teardown down = TearDownTunnel();
  if (!down.tunnel_gone) {
    Log(why + "; " + down.note + "; the tunnel is left as it is");
    ReportWindowsEvent(platform::EventType::kError, why + "; the tunnel could not be taken down: " + down.note);
    return false;
  }
  Log(why + "; its routes, configuration and registration were removed");
  ReportWindowsEvent(platform::EventType::kWarning, why + "; the tunnel was taken down");
  ForgetTunnelWithMessage(state, why + "; the tunnel was taken down");
  return true;
}

struct PhaseOwner {
  std::string phase;
  std::wstring owner;
};

PhaseOwner ReadPhaseOwner(ControlState* state) {
  std::lock_guard<std::mutex> guard(state->state_lock);
  return PhaseOwner{state->phase, state->tunnel_owner};
}

// Whether |owner| has a session on this machine, active or disconnected (a
// user switch keeps the session). True when that cannot be known: no session
// could be listed (Wine lists none).
bool OwnerHasSession(const std::wstring& owner) {
  std::vector<platform::SessionEntry> sessions;
  uint32_t error_code = 0;
  if (!platform::EnumerateSessions(&sessions, &error_code) || sessions.empty()) return true;
  for (const platform::SessionEntry& session : sessions) {
    std::wstring user;
    if (platform::SessionUserSid(session.session_id, &user, &error_code) && user == owner) return true;
  }
  return false;
}

void OnTunnelChange(ControlState* state, const TunnelSnapshot& before, const TunnelSnapshot& after) {
  if (SnapshotRunning(before) != SnapshotRunning(after)) NoteStatusChanged(state);
  if (!before.known || SnapshotGone(before) || !SnapshotGone(after)) return;
  SupervisorState& supervisor = state->supervisor;
  {
    std::lock_guard<std::mutex> guard(supervisor.lock);
    supervisor.tunnel_ended = true;
    supervisor.ended = after;
  }
  supervisor.wake.notify_all();
}

void SupervisorLoop(ControlState* state) {
  SupervisorState& supervisor = state->supervisor;
  for (;;) {
    bool ended = false;
    bool sessions = false;
    TunnelSnapshot snapshot;
    {
      std::unique_lock<std::mutex> guard(supervisor.lock);
      supervisor.wake.wait_for(guard, std::chrono::milliseconds(kGatewayLookMs), [&supervisor] {
        return supervisor.stopping || supervisor.tunnel_ended || supervisor.sessions_changed;
      });
      if (supervisor.stopping) return;
      ended = std::exchange(supervisor.tunnel_ended, false);
      sessions = std::exchange(supervisor.sessions_changed, false);
      snapshot = supervisor.ended;
    }
    // Nothing may escape the thread; what failed is looked at again next time.
    try {
      if (ended) ReleaseEndedTunnel(state, snapshot);
      if (sessions) EndTunnelOfLoggedOffOwner(state);
      FollowGateway(state);
    } catch (...) {
    }
  }
}

}  // namespace

std::string TunnelEndedMessage(const TunnelSnapshot& ended) {
  std::string text = "the tunnel service ended by itself (exit code " + std::to_string(ended.win32_exit_code);
  if (ended.win32_exit_code == platform::kErrorServiceSpecificError) {
    text += ", service-specific exit code " + std::to_string(ended.service_specific_exit_code);
  }
  return text + ")";
}

void ReleaseEndedTunnel(ControlState* state, const TunnelSnapshot& ended) {
  std::lock_guard<std::mutex> work(state->work_lock);
  const PhaseOwner now = ReadPhaseOwner(state);
  // Down by a request already, or another tunnel runs by now.
  if ((now.phase != kPhaseConnected && now.owner != kUnknownTunnelOwner) || !TunnelServiceGone()) return;
  if (now.phase != kPhaseConnected) {
    // An earlier process's tunnel: what it left goes with the next request.
    Log(TunnelEndedMessage(ended) + "; it was found running at start, and is no one's now");
    SetPhase(state, kPhaseDisconnected, "");
    return;
  }
  TakeDown(state, TunnelEndedMessage(ended));
}

void EndTunnelOfLoggedOffOwner(ControlState* state) {
  const PhaseOwner seen = ReadPhaseOwner(state);
  // The system account (a service's or an administrator's tool) never logs off.
  if (seen.phase != kPhaseConnected || seen.owner.empty() || seen.owner == kUnknownTunnelOwner ||
      seen.owner == kSystemSid || OwnerHasSession(seen.owner)) {
    return;
  }
  std::lock_guard<std::mutex> work(state->work_lock);
  const PhaseOwner now = ReadPhaseOwner(state);
  if (now.phase != kPhaseConnected || now.owner != seen.owner) return;
  TakeDown(state, "the tunnel's owner " + WideToUtf8(now.owner) + " logged off");
}

void FollowGateway(ControlState* state) {
  std::unique_lock<std::mutex> work(state->work_lock, std::try_to_lock);
  if (!work.owns_lock() || ReadPhase(state).phase != kPhaseConnected) return;
  std::string moved;
  if (!FollowPhysicalGateway(&moved)) return;
  Log("[admin_bypass] " + moved);
  NoteStatusChanged(state);
}

void NoteSessionsChanged(ControlState* state) {
  SupervisorState& supervisor = state->supervisor;
  {
    std::lock_guard<std::mutex> guard(supervisor.lock);
    supervisor.sessions_changed = true;
  }
  supervisor.wake.notify_all();
}

bool StartSupervisor(ControlState* state) {
  state->tunnel_watch.on_change = [state](const TunnelSnapshot& before, const TunnelSnapshot& after) {
    OnTunnelChange(state, before, after);
  };
  if (!StartTunnelWatch(&state->tunnel_watch, &state->server.stop)) return false;
  {
    std::lock_guard<std::mutex> guard(state->supervisor.lock);
    state->supervisor.stopping = false;
  }
  try {
    state->supervisor.thread = std::thread(SupervisorLoop, state);
  } catch (const std::system_error&) {
    platform::SignalStopEvent(state->server.stop);  // ends the watcher's wait
    StopTunnelWatch(&state->tunnel_watch);
    return false;
  }
  return true;
}

void StopSupervisor(ControlState* state) {
  {
    std::lock_guard<std::mutex> guard(state->supervisor.lock);
    state->supervisor.stopping = true;
  }
  state->supervisor.wake.notify_all();
  if (state->supervisor.thread.joinable()) state->supervisor.thread.join();
  StopTunnelWatch(&state->tunnel_watch);
}

}  // namespace quorvane
