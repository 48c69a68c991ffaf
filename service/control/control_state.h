// The control service's one state: the pipe server, the pending automatic
// stop, the registered UI session, and the phase and node of the tunnel.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/pipe_protocol.h"
#include "platform/pipes.h"

namespace quorvane {

// The pipe server's shared part: its threads, the event that ends their
// waits, and the pipe's security, which every instance shares.
struct PipeServerState {
  std::atomic<bool> running{false};
  std::vector<std::thread> threads;  // one an instance
  platform::StopEvent stop;

  std::mutex lock;  // guards what follows
  std::vector<platform::AccessGrant> grants;
  std::wstring owner;
  platform::PipeSecurity security;
  // The live instances, each owned by its thread, to apply a new list to.
  std::vector<const platform::PipeHandle*> instances;
  bool creation_failing = false;
};

// Who sent a request, as the client's token says; not |identified| when the
// token could not be read.
struct Caller : platform::PipeCaller {
  bool identified = false;
};

struct ControlState {
  PipeServerState server;

  std::mutex auto_stop_lock;  // guards auto_stop_thread: the handler and Stop both cancel
  std::thread auto_stop_thread;
  std::atomic<bool> auto_stop_cancel{false};
  // Armed and neither fired nor cancelled yet: the control service then owes
  // the tunnel its stop, also when it stops itself first.
  std::atomic<bool> auto_stop_pending{false};

  // Held for a copy or an assignment of what follows.
  std::mutex state_lock;
  std::string phase = kPhaseDisconnected;
  std::string node;
  // The user (SID) whose connect brought the tunnel up, or is bringing it
  // up; empty while no tunnel of this process runs.
  std::wstring tunnel_owner;
  // Each user's registered UI session, by SID.
  std::map<std::wstring, std::string> registered_nonces;
  // Set by a disconnect to end the wait of a connect in hand.
  std::atomic<bool> connect_cancelled{false};

  // Serialises the requests that change the tunnel with the automatic stop's
  // teardown, so that neither acts on the other's half-done work. Status and
  // register_session never take it.
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
// "disconnected" also forgets the tunnel's owner.
void SetPhase(ControlState* state, const std::string& phase, const std::string& node);
// Back to "disconnected" after a failed connect, with the node it found;
// |owner| is who owns what still runs (a connect refused before its tunnel
// start leaves the earlier one).
void ResetPhase(ControlState* state, const std::wstring& owner, const std::string& node);

// The process's single current state, shared by console and service mode.
// Making a new one stops and destroys the earlier one first.
ControlState* MakeCurrentControlState();
ControlState* CurrentControlState();
void DestroyCurrentControlState();
// Stops the current state's pipe server, if there is a current state; safe
// against its destruction on another thread (the control handlers use this).
void StopCurrentPipeServer();
// Gives the current state's pipe the access list of the users logged on now
// (the session-change control and console mode's poll use this).
void RefreshCurrentPipeAccess();

}  // namespace quorvane
