// The shared pipe client's calls on the fake's pipes, as a user the test
// chooses; the fake's clock for the client's bound moves with its waits.
#pragma once

#include "platform/pipes.h"

namespace quorvane_windows_vpn::pipe_io {

// The user the next exchanges open the pipe as (default: the system account).
void SetFakeClientUser(const platform::PipeCaller& user);
// How often the client waited for a busy pipe since the last SetFakeClientUser.
int FakeClientWaits();

}  // namespace quorvane_windows_vpn::pipe_io
