// The control service's one state: the pipe server, the pending automatic
// stop, the registered UI session, and the phase and node of the tunnel.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <set>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/pipe_protocol.h"
#include "platform/pipes.h"
#include "tunnel/tunnel_watch.h"

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
  platform::PipeSecurity admin_security;  // the administrators' pipe: system and Administrators
  int admin_instances = 0;
  // The live instances, each owned by its thread, to apply a new list to.
  std::vector<const platform::PipeHandle*> instances;
  bool creation_failing = false;
  // Instances serving each client session now.
  std::map<uint32_t, int> session_holders;
  // Clients dropped for sending nothing since the last line that said so.
  uint64_t idle_drops = 0;
  int64_t idle_drop_said = 0;
};

// Who sent a request, as the client's token says; not |identified| when the
// token could not be read.
struct Caller : platform::PipeCaller {
  bool identified = false;
};

// The thread that acts on what happens between requests: a tunnel that ended
// by itself, an owner who logged off, a physical gateway that changed.
struct SupervisorState {
  std::thread thread;
  std::mutex lock;  // guards what follows
  std::condition_variable wake;
  bool stopping = false;
  bool tunnel_ended = false;
  bool sessions_changed = false;
  TunnelSnapshot ended;  // what the watcher saw when the tunnel ended
};

// The owner of a tunnel this process found running at its start without a
// record of who started it: no user matches it, so only administrators may
// change that tunnel.
constexpr wchar_t kUnknownTunnelOwner[] = L"(unknown: found running at start)";

// What a status tells of a tunnel that runs, beyond its phase and node: set
// when a connect succeeds, gone with the tunnel (unknown for a tunnel an
// earlier process started).
struct TunnelFacts {
  std::string connected_since_utc;
  std::string endpoint;        // "host:port"
  std::string tunnel_address;  // the profile's address_cidr
  bool safe_mode = false;
  std::string auto_stop_deadline_utc;
};

struct ControlState {
  PipeServerState server;
  TunnelWatch tunnel_watch;
  SupervisorState supervisor;

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
  // Grows with every change a status would show; watches wait on it.
  uint64_t generation = 1;
  std::condition_variable changed;
  // Why the tunnel went down when nobody asked (it ended, its owner logged
  // off); shown by status until the next connect.
  std::string status_message;
  TunnelFacts facts;
  int watchers = 0;            // requests waiting in a watch
  // Users with a change (connect, disconnect) waiting for the work lock: one
  // place in the queue each.
  std::set<std::wstring> changes_waiting;
  // The server stops: a change that has not begun is refused.
  bool changes_refused = false;
  uint32_t watch_idle_ms = kWatchIdleMs;
  bool watches_ending = false; // the server stops: every watch answers now

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
// Something a status shows changed (the phase setters do this themselves).
void NoteStatusChanged(ControlState* state);
// "disconnected" with |message| for the next status: the tunnel went down
// without a request.
void ForgetTunnelWithMessage(ControlState* state, const std::string& message);

// The process's single current state, shared by console and service mode.
// Making a new one stops and destroys the earlier one first.
ControlState* MakeCurrentControlState();
ControlState* CurrentControlState();
void DestroyCurrentControlState();
// Stops the current state's pipe server, if there is a current state; safe
// against its destruction on another thread (the control handlers use this).
void StopCurrentPipeServer();
// Gives the current state's pipe the access list of the users logged on now,
// and has the supervisor look whether the tunnel's owner is still logged on
// (the session-change control and console mode's poll use this).
void RefreshCurrentPipeAccess();

}  // namespace quorvane
