// One log line a request: what was asked, by whom, what came of it (the error
// code, never a message) and how long it took. Never a request's values: they
// hold the keys, and a message may repeat what was refused.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "control/control_state.h"

namespace quorvane {

// Successful status and watch requests are counted instead: one line an op,
// "[Quorvane] requests op=status ok=true count=N since=<UTC>", a minute after
// the first counted, before the next other line, or at FlushCountedRequests.
void LogRequest(const Caller& caller, uint32_t client_pid, const std::string& request, const std::string& reply,
                std::chrono::steady_clock::duration took);

// Writes what was counted and not written yet (the pipe server's stop).
void FlushCountedRequests();

}  // namespace quorvane
