// The connect operation: session and profile checks, the safe-mode guard, the
// admin bypass, the configuration, the tunnel and the checks after it, and
// the undoing of its work on every failure.
#pragma once

#include <string>

#include "control/control_state.h"

namespace quorvane {

// Runs with the state's work lock held (the request handler takes it), for
// an identified |caller| who may connect (the handler checked the owner).
std::string HandleConnect(ControlState* state, const Caller& caller, const std::string& request);

}  // namespace quorvane
