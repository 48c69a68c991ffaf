// One call to the service manager at a time from this process. Measured under
// Wine 8: while one thread polls a starting service through a handle it
// keeps, other threads opening, querying and closing their own handles to it
// make the kept handle answer error 6 (invalid handle); Windows has no such
// limit, and each call is short, so the order costs nothing there. Calls that
// can block (StartService waits for the manager's start lock, ControlService
// for a hung service's answer, the status waits for a change) are made
// without it, so that a status or a stop never waits behind them.
#pragma once

#include <mutex>

namespace platform {

std::recursive_mutex& ScmLock();

}  // namespace platform
