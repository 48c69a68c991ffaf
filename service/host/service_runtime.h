// The control service under the Service Control Manager: the service main
// routine and the control handler that "--run-as-service" hands to the
// dispatcher.
#pragma once

#include <cstdint>

namespace quorvane {

// Registers the handler, reports start pending, starts the pipe server, prints
// the start-up report, reports running and waits (500 ms polls) for a stop.
void ServiceMain();

// Stop: reports stop pending, ends the wait, stops the pipe server (waiting
// for the request in hand) and reports stopped. Every other control is ignored.
void HandleServiceControl(uint32_t control);

}  // namespace quorvane
