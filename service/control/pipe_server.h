// The pipe server: "\\.\pipe\QuorvaneVpn" served on kPipeInstances instances
// at once, one request per connection, with an access list for the system
// account, administrators and the users at the machine.
#pragma once

#include <string>
#include <vector>

#include "control/control_state.h"

namespace quorvane {

// The server holds every instance the name may have, so that no other process
// can add one, and serves that many clients at once.
constexpr uint32_t kPipeInstances = 8;
// The administrators' pipe: its access list admits the system account and
// Administrators alone (an elevated token), so that an administrator gets in
// whatever the users' processes do with the other, and reads the reports in
// full. QuorvaneVpnCtl uses it when it runs elevated.
constexpr wchar_t kAdminPipeName[] = L"\\\\.\\pipe\\QuorvaneVpnAdmin";
constexpr uint32_t kAdminPipeInstances = 2;
// How long a connected client may take to send its request before its
// instance is closed and the next client served: a client sends its one
// message right after it opens, and one that holds an instance without a
// word keeps others out.
constexpr uint32_t kRequestWaitMs = 1000;
// How many instances the clients of one session may hold at once: whatever
// one user's processes do, another session and an administrator find one.
// A client beyond its session's share is answered kSessionShareBusy at once
// (the clients wait and try again, as for a busy pipe).
constexpr int kSessionShare = 4;
constexpr char kSessionShareBusy[] =
    "{\"ok\":false,\"error\":\"pipe_busy\",\"message\":\"this session holds its share of the pipe's instances; "
    "try again\"}";
// A client answered kSessionShareBusy has this long to take it: it holds an
// instance meanwhile.
constexpr uint32_t kBusyReplyWaitMs = 200;
// Clients dropped for sending nothing are said at most this often, with
// their count.
constexpr uint32_t kIdleDropLogSeconds = 60;
// How long a client has to take its reply (read it and close) before it
// loses its turn: a client that never reads must not hold an instance.
constexpr uint32_t kReplyWaitMs = 3000;

// Starts the server threads unless they run; false (with |error|) when they
// cannot be made.
bool StartPipeServer(ControlState* state, std::string* error);

// Cancels a pending automatic stop, then ends the servers' waits and waits
// for their threads (a request in hand is finished first). Safe to call more
// than once, never from a server or auto-stop thread.
void StopPipeServer(ControlState* state);

// The pipe's access list now: system and Administrators in full; the users of
// the console and of active Remote Desktop sessions, each once, with
// platform::kPipeUserAccess.
std::vector<platform::AccessGrant> PipeServerGrants();

// Applies the list of PipeServerGrants to the pipe when it changed, without
// waiting for a client: a user who just logged on can open it at once.
void RefreshPipeAccess(ControlState* state);

}  // namespace quorvane
