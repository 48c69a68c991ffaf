#include "control/control_state.h"

#include <memory>

#include "control/pipe_server.h"
#include "control/tunnel_owner_store.h"
#include "control/tunnel_supervisor.h"

namespace quorvane {
namespace {

std::mutex g_current_lock;
std::unique_ptr<ControlState> g_current;

}  // namespace

ControlState::~ControlState() { StopPipeServer(this); }

PhaseAndNode ReadPhase(ControlState* state) {
  std::lock_guard<std::mutex> guard(state->state_lock);
  return PhaseAndNode{state->phase, state->node};
}

namespace {

// With the state lock held.
void Bump(ControlState* state) {
  ++state->generation;
  state->changed.notify_all();
}

// The record on disk follows the owner: written when a tunnel is up, dropped
// when none is. Outside the state lock: the callers that change the tunnel
// take turns already.
void Record(const std::string& phase, const std::wstring& owner, const std::string& node) {
  if (phase == kPhaseConnected && !owner.empty()) {
    StoreTunnelOwner(owner, node);
  } else if (phase == kPhaseDisconnected && owner.empty()) {
    ForgetStoredTunnelOwner();
  }
}

}  // namespace

void SetPhase(ControlState* state, const std::string& phase, const std::string& node) {
  std::wstring owner;
  {
    std::lock_guard<std::mutex> guard(state->state_lock);
    state->phase = phase;
    state->node = node;
    if (phase == kPhaseDisconnected) {
      state->tunnel_owner.clear();
      state->facts = TunnelFacts();
    }
    owner = state->tunnel_owner;
    Bump(state);
  }
  Record(phase, owner, node);
}

void ResetPhase(ControlState* state, const std::wstring& owner, const std::string& node) {
  {
    std::lock_guard<std::mutex> guard(state->state_lock);
    state->phase = kPhaseDisconnected;
    state->tunnel_owner = owner;
    state->node = node;
    state->facts = TunnelFacts();
    Bump(state);
  }
  Record(kPhaseDisconnected, owner, node);
}

void NoteStatusChanged(ControlState* state) {
  std::lock_guard<std::mutex> guard(state->state_lock);
  Bump(state);
}

void ForgetTunnelWithMessage(ControlState* state, const std::string& message) {
  SetPhase(state, kPhaseDisconnected, "");
  std::lock_guard<std::mutex> guard(state->state_lock);
  state->status_message = message;
  Bump(state);
}

ControlState* MakeCurrentControlState() {
  DestroyCurrentControlState();
  std::lock_guard<std::mutex> guard(g_current_lock);
  g_current = std::make_unique<ControlState>();
  return g_current.get();
}

ControlState* CurrentControlState() {
  std::lock_guard<std::mutex> guard(g_current_lock);
  return g_current.get();
}

void StopCurrentPipeServer() {
  std::lock_guard<std::mutex> guard(g_current_lock);
  if (g_current) StopPipeServer(g_current.get());
}

// Skipped while the state is being made or stopped (the lock is taken for
// that long): a state in the making reads the list itself, and a stopping
// one needs none.
// Runs on the service manager's handler thread: nothing may escape it, and a
// list that could not be made now is made at the next session change.
void RefreshCurrentPipeAccess() {
  try {
    std::unique_lock<std::mutex> guard(g_current_lock, std::try_to_lock);
    if (!guard.owns_lock() || !g_current) return;
    RefreshPipeAccess(g_current.get());
    NoteSessionsChanged(g_current.get());
  } catch (...) {
  }
}

void DestroyCurrentControlState() {
  std::unique_ptr<ControlState> earlier;
  {
    std::lock_guard<std::mutex> guard(g_current_lock);
    earlier.swap(g_current);
  }
  // Destroyed outside the lock: stopping waits for the server thread.
}

}  // namespace quorvane
