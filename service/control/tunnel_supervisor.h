// What the control service does between requests: a tunnel that ended by
// itself is released as a disconnect would release it, a tunnel whose owner
// logged off is taken down as the automatic stop would, and the admin bypass
// routes follow the physical default gateway. One thread, fed by the tunnel
// watcher and by session changes.
#pragma once

#include <string>

#include "control/control_state.h"

namespace quorvane {

// How often the physical default gateway is looked at while a tunnel with
// bypass routes runs (Wine has no route-change notification to wait on).
constexpr uint32_t kGatewayLookMs = 2000;

// Starts the tunnel watcher (its waits end on the server's stop event) and
// the supervisor's thread. False when a thread cannot be made.
bool StartSupervisor(ControlState* state);
// Ends both and waits for them; the server's stop event must be set.
void StopSupervisor(ControlState* state);
// Sessions changed (a logon, a logoff): the supervisor looks at the owner.
void NoteSessionsChanged(ControlState* state);

// The supervisor's steps, each taking its turn with the requests that change
// the tunnel; exposed for tests.
void ReleaseEndedTunnel(ControlState* state, const TunnelSnapshot& ended);
void EndTunnelOfLoggedOffOwner(ControlState* state);
void FollowGateway(ControlState* state);

// "the tunnel service ended by itself (exit code N)", with the
// service-specific code where there is one.
std::string TunnelEndedMessage(const TunnelSnapshot& ended);

}  // namespace quorvane
