// Named pipes: the server's instances, their access list, who is calling, and
// the event that ends the server's waits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/owned_handle.h"

namespace platform {

// Open modes and pipe modes, as CreateNamedPipeW takes them.
constexpr uint32_t kPipeAccessDuplex = 0x3;
constexpr uint32_t kFileFlagOverlapped = 0x40000000;
// Creation fails (5) when an instance of the name exists already, so that the
// server never joins a pipe another process made.
constexpr uint32_t kFileFlagFirstPipeInstance = 0x00080000;
// The server's handle may change the pipe's access list (ApplyPipeSecurity).
constexpr uint32_t kWriteDac = 0x00040000;
constexpr uint32_t kPipeTypeMessage = 0x4;
constexpr uint32_t kPipeReadModeMessage = 0x2;
constexpr uint32_t kPipeRejectRemoteClients = 0x8;

// Access rights on a pipe ("Named Pipe Security and Access Rights").
constexpr uint32_t kFileReadData = 0x1;
constexpr uint32_t kFileWriteData = 0x2;
// The same bit as FILE_APPEND_DATA, so generic write includes it: whoever
// holds it may add an instance of their own to the name.
constexpr uint32_t kFileCreatePipeInstance = 0x4;
constexpr uint32_t kFileReadAttributes = 0x80;
constexpr uint32_t kFileWriteAttributes = 0x100;  // what SetNamedPipeHandleState needs
constexpr uint32_t kReadControl = 0x20000;        // what reading the pipe's owner needs
constexpr uint32_t kSynchronize = 0x100000;
constexpr uint32_t kFileGenericRead = 0x120089;
// A user of the machine: read and write messages, read the owner, switch to
// message mode; never kFileCreatePipeInstance.
constexpr uint32_t kPipeUserAccess = kFileGenericRead | kFileWriteData | kFileWriteAttributes;

// System error codes that the service logic tells apart.
constexpr uint32_t kErrorBrokenPipe = 109;
constexpr uint32_t kErrorInvalidOwner = 1307;
constexpr uint32_t kErrorPipeBusy = 231;
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorTimeout = 1460;
constexpr uint32_t kErrorPipeConnected = 535;
constexpr uint32_t kErrorOperationAborted = 995;

// Waits without a limit.
constexpr uint32_t kWaitForever = 0xFFFFFFFF;

// A manual-reset event that ends the server's waits: once set it stays set.
void CloseStopEvent(uintptr_t event);
using StopEvent = OwnedHandle<CloseStopEvent>;
bool CreateStopEvent(StopEvent* event, uint32_t* error_code);
void SignalStopEvent(const StopEvent& event);
// Waits at most |timeout_ms| for |event|; true when it is set.
bool WaitForStopEvent(const StopEvent& event, uint32_t timeout_ms);

void ClosePipe(uintptr_t pipe);
using PipeHandle = OwnedHandle<ClosePipe>;

// A security descriptor for pipe instances, built from allow entries.
void FreePipeSecurity(uintptr_t security);
using PipeSecurity = OwnedHandle<FreePipeSecurity>;

struct PipeInstanceOptions {
  uint32_t open_mode = kPipeAccessDuplex;
  uint32_t pipe_mode = kPipeTypeMessage | kPipeReadModeMessage;
  uint32_t max_instances = 1;
  uint32_t out_buffer_bytes = 65536;
  uint32_t in_buffer_bytes = 65536;
};

// A descriptor whose DACL holds exactly |grants| (set-access, in order),
// present and not defaulted, and whose owner is |owner_sid|. Windows accepts
// an owner only when the creating process's token may own objects as it
// (its user, or a group of it marked as owner): creation fails with
// kErrorInvalidOwner otherwise.
bool BuildPipeSecurity(const std::vector<AccessGrant>& grants, const std::wstring& owner_sid, PipeSecurity* security,
                       uint32_t* error_code);

// The SID text of the user logged on in |session_id|; fails when the session
// has no user or this process may not ask (it is not the system account).
bool SessionUserSid(uint32_t session_id, std::wstring* sid, uint32_t* error_code);

// One server instance; |security| may be null for the default security.
bool CreatePipeInstance(const std::wstring& name, const PipeInstanceOptions& options, const PipeSecurity* security,
                        PipeHandle* pipe, uint32_t* error_code);

// Replaces the access list of an existing instance by that of |security|
// (SetSecurityInfo); the instance must have been created with kWriteDac, or
// Windows refuses with 5.
bool ApplyPipeSecurity(const PipeHandle& pipe, const PipeSecurity& security, uint32_t* error_code);

// The process id of the client connected to |pipe| (GetNamedPipeClientProcessId).
bool PipeClientProcessId(const PipeHandle& pipe, uint32_t* process_id, uint32_t* error_code);

// The Terminal Services session of the client connected to |pipe|
// (GetNamedPipeClientSessionId), known without reading its token.
bool PipeClientSessionId(const PipeHandle& pipe, uint32_t* session_id, uint32_t* error_code);

// Who the connected client is, from its token: the server impersonates it at
// the identification level the clients allow, reads the token and reverts.
struct PipeCaller {
  std::wstring user_sid;
  uint32_t session_id = 0;
  // Membership of Administrators that counts: a filtered (not elevated) token
  // holds the group for deny only, and is not an administrator's.
  bool administrator = false;
};
bool ReadPipeCaller(const PipeHandle& pipe, PipeCaller* caller, uint32_t* error_code);

// Waits for a client to connect, or for |stop| (false with
// kErrorOperationAborted). A client that connected before the wait began is
// reported as a failure with kErrorPipeConnected.
bool WaitForPipeClient(const PipeHandle& pipe, const StopEvent& stop, uint32_t* error_code);

// One read of at most |max_bytes|, waiting at most |timeout_ms| (kWaitForever:
// no limit). A longer message fills |data| with its first |max_bytes| and
// fails with kErrorMoreData; a read that waited too long fails with
// kErrorTimeout after cancelling the read. Only an instance opened with
// kFileFlagOverlapped can time out: on any other the read itself blocks.
bool ReadPipeMessage(const PipeHandle& pipe, size_t max_bytes, uint32_t timeout_ms, std::string* data,
                     uint32_t* error_code);

// One write of all of |bytes|, waiting at most |timeout_ms| (a message longer
// than the pipe's buffer waits for the client to read) or until |stop| (when
// given) is set: then cancelled, and false with kErrorTimeout or
// kErrorOperationAborted.
bool WritePipeMessage(const PipeHandle& pipe, const std::string& bytes, uint32_t timeout_ms, const StopEvent* stop,
                      uint32_t* error_code);

// After a reply: waits at most |timeout_ms| for the client to be done, that
// is to close its end, which it does once it has read the reply; what it
// still sends meanwhile is dropped. A flush would wait for a client that
// never reads without any limit. False with kErrorTimeout when the client is
// still there (the wait is cancelled).
bool WaitForPipeClientDone(const PipeHandle& pipe, uint32_t timeout_ms, uint32_t* error_code);

// Disconnects the client (what it has not read is dropped); the instance
// stays open and can wait for the next client. False when the instance could
// not be disconnected.
bool DisconnectPipe(const PipeHandle& pipe, uint32_t* error_code);

}  // namespace platform
