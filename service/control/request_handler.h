// One request text in, one reply text out; the state that lives between
// requests; and the automatic stop that a connect arms.
#pragma once

#include <cstdint>
#include <string>

#include "control/control_state.h"
#include "routes/admin_bypass.h"
#include "routes/route_guard.h"

namespace quorvane {

// Safe to call from several threads at once: status and register_session
// answer at once, connect and disconnect take their turn (a disconnect ends
// the wait of a connect in hand first).
std::string HandleRequest(ControlState* state, const Caller& caller, const std::string& request);

// Stops and removes the tunnel service, removes the admin bypass host routes
// and deletes the configuration file, whatever fails on the way; returns the
// bypass state that the route removal published.
AdminBypassState TearDownTunnel();

// Removes the bypass routes an earlier process journalled and left (see
// route_journal.h) and says so on standard error.
void CleanUpEarlierProcessRoutes();

// Cancels the pending automatic stop and waits for its thread.
void CancelAutoStop(ControlState* state);

// Arms the automatic stop |seconds| from now (nothing for 0 or less) and
// notes it in |report|. False when its thread cannot be made.
bool ScheduleAutoStop(ControlState* state, int32_t seconds, RouteGuardReport* report);

}  // namespace quorvane
