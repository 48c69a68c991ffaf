// One log line a request: what was asked, by whom, what came of it (the error
// code, never a message) and how long it took. Never a request's values: they
// hold the keys, and a message may repeat what was refused.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "control/control_state.h"

namespace quorvane {

void LogRequest(const Caller& caller, uint32_t client_pid, const std::string& request, const std::string& reply,
                std::chrono::steady_clock::duration took);

}  // namespace quorvane
