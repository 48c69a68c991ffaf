// Who works at this machine: the console session and the sessions of people
// connected over Remote Desktop. The service runs in session 0, which is never
// a remote session itself, so it looks at every session of the machine.
#pragma once

#include <cstdint>
#include <vector>

namespace quorvane {

// Active sessions whose client protocol is RDP, in the order Windows lists them.
std::vector<uint32_t> ActiveRdpSessions();

// Whether someone may be administering the machine over Remote Desktop: this
// process runs in a remote session (console mode inside RDP), or an active
// RDP session exists.
bool IsRdpSessionActive();

}  // namespace quorvane
