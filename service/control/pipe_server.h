// The pipe server: one thread that serves "\\.\pipe\QuorvaneVpn" one
// connection at a time, with an access list for the system account,
// administrators and the user at the console.
#pragma once

#include <string>

#include "control/control_state.h"

namespace quorvane {

// How long a connected client may take to send its request before its
// instance is closed and the next client served.
constexpr uint32_t kRequestWaitMs = 5000;
// How long a client has to take its reply (read it and close) before it
// loses its turn: a client that never reads must not hold the one instance.
constexpr uint32_t kReplyWaitMs = 3000;

// Starts the server thread unless it runs; false (with |error|) when the
// thread cannot be made.
bool StartPipeServer(ControlState* state, std::string* error);

// Cancels a pending automatic stop, then stops the server thread and waits for
// it. Safe to call more than once, never from the server or auto-stop thread.
void StopPipeServer(ControlState* state);

}  // namespace quorvane
