// Console mode's foreground flag and its console control handler.
#pragma once

#include <cstdint>

namespace quorvane {

void SetForegroundRunning(bool running);
bool ForegroundRunning();

// Ctrl+C, Ctrl+Break and console close (events 0, 1, 2) end the foreground run
// and stop the current pipe server, and are reported handled; every other
// event is left to the next handler.
bool HandleConsoleControlEvent(uint32_t event);

}  // namespace quorvane
