// The calls one exchange makes on the pipe, below the client's decisions:
// Windows' pipe calls in the product, the fake's pipes in native tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvane_windows_vpn::pipe_io {

// A client end of the pipe; 0 is none.
using PipeEnd = uintptr_t;

enum class OpenResult { kOpened, kBusy, kMissing, kAccessDenied, kFailed };

// Opens the client end with only the rights the exchange uses, allowing the
// server to identify the caller and nothing more.
OpenResult OpenPipe(const wchar_t* name, PipeEnd* pipe);
// Waits at most |timeout_ms| (at least 1) for an instance to take a client
// (WaitNamedPipeW); whatever it says, the next open decides.
void WaitForPipe(const wchar_t* name, uint32_t timeout_ms);
// Whether the pipe's owner is the system account or Administrators.
bool OwnedByTheService(PipeEnd pipe);
// The process that holds the server end (GetNamedPipeServerProcessId) and
// its program's file name (empty where it cannot be read); false when not
// even the id can be.
bool ServerProcess(PipeEnd pipe, uint32_t* process_id, std::string* program);
// Message read mode; the exchange goes on when it cannot be set.
void SetMessageMode(PipeEnd pipe);
bool WriteRequest(PipeEnd pipe, const std::string& request);
// One read of at most |max_bytes|; false when the read fails (also for a
// longer message).
bool ReadReply(PipeEnd pipe, size_t max_bytes, std::string* reply);
void ClosePipe(PipeEnd pipe);
// Milliseconds from a fixed start, for the bound of the waits.
uint64_t MonotonicMs();
// Waits |ms| before the next try.
void Pause(uint32_t ms);

}  // namespace quorvane_windows_vpn::pipe_io
