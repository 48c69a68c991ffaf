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

// Status and watch are served to whoever the pipe admits, so their caller is
// not read: under Wine reading a client's token costs more than the rest of
// a status.
bool RequestNeedsCaller(const std::string& request);

// The two report members appended as |caller| may read them: in full for an
// administrator, and for everyone else every key with no address, gateway or
// peer in it.
std::string WithReportsFor(const Caller& caller, const std::string& reply, const AdminBypassState& bypass,
                           const RouteGuardReport& report);
std::string ErrorReplyWithReportsFor(const Caller& caller, const std::string& code, const std::string& message,
                                     const AdminBypassState& bypass, const RouteGuardReport& report);

struct Teardown {
  bool tunnel_gone = true;
  // What the stop had to do (a process ended), or why the tunnel may still run.
  std::string note;
  AdminBypassState bypass;  // as the route removal published it
};

// Stops and removes the tunnel service; once it is gone, removes the admin
// bypass host routes and deletes the configuration file. While the tunnel may
// still run, both stay: it would come up without them.
Teardown TearDownTunnel();

// TearDownTunnel, then "disconnected"; a tunnel that would not stop keeps its
// phase (it may still run), and |who| says so on standard error.
void TearDownAndForget(ControlState* state, const char* who);

// Removes the bypass routes an earlier process journalled and left (see
// route_journal.h) and says so on standard error.
void CleanUpEarlierProcessRoutes();

// Cancels the pending automatic stop and waits for its thread.
void CancelAutoStop(ControlState* state);

// Arms the automatic stop |seconds| from now (nothing for 0 or less) and
// notes it in |report|. False when its thread cannot be made.
bool ScheduleAutoStop(ControlState* state, int32_t seconds, RouteGuardReport* report);

}  // namespace quorvane
