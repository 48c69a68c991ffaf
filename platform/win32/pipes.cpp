#include "platform/pipes.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <wtsapi32.h>

#include <memory>
#include <vector>

#include "access_lists.h"
#include "unique_handle.h"

namespace platform {
namespace {

using win32::UniqueHandle;

HANDLE Raw(const PipeHandle& pipe) { return reinterpret_cast<HANDLE>(pipe.get()); }

bool Fail(uint32_t* error_code) {
  *error_code = GetLastError();
  return false;
}

// Waits for an overlapped operation that did not complete at once, or for
// |stop| when given; on time-out or stop the operation is cancelled and its end
// awaited, so |overlapped| may go.
bool FinishOverlapped(HANDLE handle, OVERLAPPED* overlapped, uint32_t timeout_ms, HANDLE stop, DWORD* transferred,
                      uint32_t* error_code) {
  const HANDLE events[2] = {overlapped->hEvent, stop};
  const DWORD waited = WaitForMultipleObjects(stop != nullptr ? 2 : 1, events, FALSE, timeout_ms);
  if (waited != WAIT_OBJECT_0) {
    CancelIoEx(handle, overlapped);
    // The operation may have completed after all; then it counts.
    if (GetOverlappedResult(handle, overlapped, transferred, TRUE)) return true;
    *error_code = waited == WAIT_OBJECT_0 + 1 ? ERROR_OPERATION_ABORTED : ERROR_TIMEOUT;
    return false;
  }
  if (GetOverlappedResult(handle, overlapped, transferred, FALSE)) return true;
  return Fail(error_code);
}

// Runs one I/O call with an OVERLAPPED of its own, so that it works on
// overlapped and synchronous instances alike (a time-out needs an overlapped
// instance: on a synchronous one the call itself blocks).
template <typename Call>
bool RunIo(HANDLE handle, uint32_t timeout_ms, DWORD* transferred, uint32_t* error_code, Call call,
           HANDLE stop = nullptr) {
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event.valid()) return Fail(error_code);
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.get();
  *transferred = 0;
  if (call(&overlapped)) return GetOverlappedResult(handle, &overlapped, transferred, FALSE) || Fail(error_code);
  const DWORD error = GetLastError();
  if (error != ERROR_IO_PENDING) {
    *error_code = error;
    // ERROR_MORE_DATA still delivered the first part of the message.
    if (error == ERROR_MORE_DATA) GetOverlappedResult(handle, &overlapped, transferred, FALSE);
    return false;
  }
  return FinishOverlapped(handle, &overlapped, timeout_ms, stop, transferred, error_code);
}

// What the impersonated client's token says; the thread token is opened as
// this process, since an identification-level token cannot open anything.
bool ReadThreadTokenCaller(PipeCaller* caller, uint32_t* error_code) {
  UniqueHandle token;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.receive())) return Fail(error_code);
  std::wstring user;
  if (!win32::TokenUserSid(token.get(), &user, error_code)) return false;
  DWORD session = 0;
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenSessionId, &session, sizeof(session), &size)) return Fail(error_code);
  unsigned char administrators[SECURITY_MAX_SID_SIZE];
  DWORD sid_size = sizeof(administrators);
  BOOL member = FALSE;
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &sid_size) ||
      !CheckTokenMembership(token.get(), administrators, &member)) {
    return Fail(error_code);
  }
  caller->user_sid = user;
  caller->session_id = session;
  caller->administrator = member != FALSE;
  return true;
}

}  // namespace

void CloseStopEvent(uintptr_t event) {
  if (event != 0) CloseHandle(reinterpret_cast<HANDLE>(event));
}

bool CreateStopEvent(StopEvent* event, uint32_t* error_code) {
  const HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (raw == nullptr) return Fail(error_code);
  *event = StopEvent(reinterpret_cast<uintptr_t>(raw));
  return true;
}

void SignalStopEvent(const StopEvent& event) { SetEvent(reinterpret_cast<HANDLE>(event.get())); }

bool WaitForStopEvent(const StopEvent& event, uint32_t timeout_ms) {
  return WaitForSingleObject(reinterpret_cast<HANDLE>(event.get()), timeout_ms) == WAIT_OBJECT_0;
}

void ClosePipe(uintptr_t pipe) {
  if (pipe != 0) CloseHandle(reinterpret_cast<HANDLE>(pipe));
}

void FreePipeSecurity(uintptr_t security) { delete reinterpret_cast<win32::BuiltDescriptor*>(security); }

bool BuildPipeSecurity(const std::vector<AccessGrant>& grants, const std::wstring& owner_sid, PipeSecurity* security,
                       uint32_t* error_code) {
  auto built = std::make_unique<win32::BuiltDescriptor>();
  if (!win32::MakeSecurityDescriptor(grants, false, built.get(), error_code, owner_sid)) return false;
  *security = PipeSecurity(reinterpret_cast<uintptr_t>(built.release()));
  return true;
}

bool SessionUserSid(uint32_t session_id, std::wstring* sid, uint32_t* error_code) {
  UniqueHandle token;
  if (!WTSQueryUserToken(session_id, token.receive())) return Fail(error_code);
  return win32::TokenUserSid(token.get(), sid, error_code);
}

bool CreatePipeInstance(const std::wstring& name, const PipeInstanceOptions& options, const PipeSecurity* security,
                        PipeHandle* pipe, uint32_t* error_code) {
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
  if (security != nullptr && security->valid()) {
    attributes.lpSecurityDescriptor = &reinterpret_cast<win32::BuiltDescriptor*>(security->get())->descriptor;
  }
  const HANDLE raw = CreateNamedPipeW(name.c_str(), options.open_mode, options.pipe_mode, options.max_instances,
                                      options.out_buffer_bytes, options.in_buffer_bytes, 0,
                                      attributes.lpSecurityDescriptor != nullptr ? &attributes : nullptr);
  if (raw == INVALID_HANDLE_VALUE) return Fail(error_code);
  *pipe = PipeHandle(reinterpret_cast<uintptr_t>(raw));
  return true;
}

bool ApplyPipeSecurity(const PipeHandle& pipe, const PipeSecurity& security, uint32_t* error_code) {
  if (!security.valid()) {
    *error_code = ERROR_INVALID_PARAMETER;
    return false;
  }
  auto* built = reinterpret_cast<win32::BuiltDescriptor*>(security.get());
  const DWORD result =
      SetSecurityInfo(Raw(pipe), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, built->dacl(), nullptr);
  if (result == ERROR_SUCCESS) return true;
  *error_code = result;
  return false;
}

bool PipeClientProcessId(const PipeHandle& pipe, uint32_t* process_id, uint32_t* error_code) {
  ULONG id = 0;
  if (!GetNamedPipeClientProcessId(Raw(pipe), &id)) return Fail(error_code);
  *process_id = id;
  return true;
}

bool PipeClientSessionId(const PipeHandle& pipe, uint32_t* session_id, uint32_t* error_code) {
  ULONG id = 0;
  if (!GetNamedPipeClientSessionId(Raw(pipe), &id)) return Fail(error_code);
  *session_id = id;
  return true;
}

bool ReadPipeCaller(const PipeHandle& pipe, PipeCaller* caller, uint32_t* error_code) {
  if (!ImpersonateNamedPipeClient(Raw(pipe))) return Fail(error_code);
  const bool read = ReadThreadTokenCaller(caller, error_code);
  // A thread that could not stop acting as its client must not go on.
  if (!RevertToSelf()) TerminateProcess(GetCurrentProcess(), ERROR_CANNOT_IMPERSONATE);
  return read;
}

bool WaitForPipeClient(const PipeHandle& pipe, const StopEvent& stop, uint32_t* error_code) {
  DWORD ignored = 0;
  return RunIo(
      Raw(pipe), INFINITE, &ignored, error_code,
      [&](OVERLAPPED* overlapped) { return ConnectNamedPipe(Raw(pipe), overlapped) != FALSE; },
      reinterpret_cast<HANDLE>(stop.get()));
}

bool ReadPipeMessage(const PipeHandle& pipe, size_t max_bytes, uint32_t timeout_ms, std::string* data,
                     uint32_t* error_code) {
  data->clear();
  std::vector<char> buffer(max_bytes + 1);
  DWORD read = 0;
  const bool ok = RunIo(Raw(pipe), timeout_ms, &read, error_code, [&](OVERLAPPED* overlapped) {
    return ReadFile(Raw(pipe), buffer.data(), static_cast<DWORD>(max_bytes), nullptr, overlapped) != FALSE;
  });
  data->assign(buffer.data(), read);
  return ok;
}

bool WritePipeMessage(const PipeHandle& pipe, const std::string& bytes, uint32_t timeout_ms, const StopEvent* stop,
                      uint32_t* error_code) {
  DWORD written = 0;
  return RunIo(
      Raw(pipe), timeout_ms, &written, error_code,
      [&](OVERLAPPED* overlapped) {
        return WriteFile(Raw(pipe), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, overlapped) != FALSE;
      },
      stop != nullptr ? reinterpret_cast<HANDLE>(stop->get()) : nullptr);
}

bool WaitForPipeClientDone(const PipeHandle& pipe, uint32_t timeout_ms, uint32_t* error_code) {
  // A read on the server's end ends in "broken pipe" when the client has
  // closed its end, which it does once it has read the reply. What it still
  // sends (the rest of an over-long request) is read and dropped meanwhile.
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  std::vector<char> drain(4096);
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) {
      *error_code = ERROR_TIMEOUT;
      return false;
    }
    DWORD read = 0;
    const bool got = RunIo(Raw(pipe), static_cast<uint32_t>(deadline - now), &read, error_code,
                           [&](OVERLAPPED* overlapped) {
                             return ReadFile(Raw(pipe), drain.data(), static_cast<DWORD>(drain.size()), nullptr,
                                             overlapped) != FALSE;
                           });
    if (got || *error_code == ERROR_MORE_DATA) continue;
    return *error_code != ERROR_TIMEOUT;
  }
}

bool DisconnectPipe(const PipeHandle& pipe, uint32_t* error_code) {
  return DisconnectNamedPipe(Raw(pipe)) || Fail(error_code);
}

}  // namespace platform
