// The control service's one state: the pipe server, the pending automatic
// stop, the registered UI session, and the phase and node of the tunnel.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "control/pipe_protocol.h"

namespace quorvane {

struct ControlState {
  std::atomic<bool> server_running{false};
  std::thread server_thread;
  std::atomic<bool> server_finished{false};

  std::mutex auto_stop_lock;  // guards auto_stop_thread: the handler and Stop both cancel
  std::thread auto_stop_thread;
  std::atomic<bool> auto_stop_cancel{false};
  // Armed and neither fired nor cancelled yet: the control service then owes
  // the tunnel its stop, also when it stops itself first.
  std::atomic<bool> auto_stop_pending{false};

  // Held for a copy or an assignment of phase and node.
  std::mutex state_lock;
  std::string phase = kPhaseDisconnected;
  std::string node;

  // Only the request thread touches it.
  std::string registered_nonce;

  // Serialises the requests that change the tunnel with the automatic stop's
  // teardown, so that neither acts on the other's half-done work.
  std::mutex work_lock;

  ControlState() = default;
  ControlState(const ControlState&) = delete;
  ControlState& operator=(const ControlState&) = delete;
  // Stops the server and the automatic stop first.
  ~ControlState();
};

struct PhaseAndNode {
  std::string phase;
  std::string node;
};
PhaseAndNode ReadPhase(ControlState* state);
void SetPhase(ControlState* state, const std::string& phase, const std::string& node);
// Back to "disconnected", keeping the node.
void ResetPhase(ControlState* state);

// The process's single current state, shared by console and service mode.
// Making a new one stops and destroys the earlier one first.
ControlState* MakeCurrentControlState();
ControlState* CurrentControlState();
void DestroyCurrentControlState();
// Stops the current state's pipe server, if there is a current state; safe
// against its destruction on another thread (the control handlers use this).
void StopCurrentPipeServer();

}  // namespace quorvane
