// Who owns the running tunnel, kept on disk beside the route journal
// ("%ProgramData%\Quorvane\state\tunnel-owner"), so that a control service
// restarted under a running tunnel (a crash, "sc stop" and "sc start") still
// knows whose it is.
#pragma once

#include <string>

#include "control/control_state.h"

namespace quorvane {

constexpr wchar_t kTunnelOwnerName[] = L"tunnel-owner";

// Replaces the record; a failure is logged (the tunnel then counts as of an
// unknown owner after a restart, which only administrators may change).
void StoreTunnelOwner(const std::wstring& owner_sid, const std::string& node);
void ForgetStoredTunnelOwner();
// False when there is no record or it cannot be read.
bool ReadStoredTunnelOwner(std::wstring* owner_sid, std::string* node);

// At start, before any request: a tunnel that still runs is its recorded
// owner's again, connected with its node; one without a record is of an
// unknown owner. A record of a tunnel that is gone is dropped.
void RestoreTunnelOwner(ControlState* state);

}  // namespace quorvane
