// The client's pipe calls on Windows.
#include <windows.h>
#include <aclapi.h>

#include "pipe_client_io.h"

namespace quorvane_windows_vpn::pipe_io {
namespace {

HANDLE Raw(PipeEnd pipe) { return reinterpret_cast<HANDLE>(pipe); }

// Read and write messages, read the owner (READ_CONTROL), set the read mode
// (FILE_WRITE_ATTRIBUTES): what the exchange uses, nothing more.
constexpr DWORD kClientAccess =
    FILE_READ_DATA | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;

}  // namespace

OpenResult OpenPipe(const wchar_t* name, PipeEnd* pipe) {
  // Identification only: the service may learn who calls, never act as them
  // (a process posing as the service would otherwise gain the user's identity).
  const HANDLE opened = CreateFileW(name, kClientAccess, 0, nullptr, OPEN_EXISTING,
                                    SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
  if (opened != INVALID_HANDLE_VALUE) {
    *pipe = reinterpret_cast<PipeEnd>(opened);
    return OpenResult::kOpened;
  }
  switch (GetLastError()) {
    case ERROR_PIPE_BUSY: return OpenResult::kBusy;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return OpenResult::kMissing;
    case ERROR_ACCESS_DENIED: return OpenResult::kAccessDenied;
    default: return OpenResult::kFailed;
  }
}

// A time-out of 0 would mean the pipe's default wait.
void WaitForPipe(const wchar_t* name, uint32_t timeout_ms) { WaitNamedPipeW(name, timeout_ms > 0 ? timeout_ms : 1); }

// The service gives its pipe an explicit owner, the system account or
// Administrators, which no ordinary process may give.
bool OwnedByTheService(PipeEnd pipe) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(Raw(pipe), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const bool trusted = owner != nullptr && (IsWellKnownSid(owner, WinLocalSystemSid) ||
                                            IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
  LocalFree(descriptor);
  return trusted;
}

bool ServerProcess(PipeEnd pipe, uint32_t* process_id, std::string* program) {
  ULONG id = 0;
  if (!GetNamedPipeServerProcessId(Raw(pipe), &id)) return false;
  *process_id = id;
  program->clear();
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
  if (process == nullptr) return true;
  wchar_t path[MAX_PATH] = {};
  DWORD size = MAX_PATH;
  if (QueryFullProcessImageNameW(process, 0, path, &size)) {
    const std::wstring full(path, size);
    const std::wstring name = full.substr(full.find_last_of(L"\\/") + 1);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), nullptr, 0, nullptr,
                                          nullptr);
    program->resize(static_cast<size_t>(bytes > 0 ? bytes : 0));
    WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), program->data(), bytes, nullptr,
                        nullptr);
  }
  CloseHandle(process);
  return true;
}

void SetMessageMode(PipeEnd pipe) {
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(Raw(pipe), &mode, nullptr, nullptr);
}

bool WriteRequest(PipeEnd pipe, const std::string& request) {
  DWORD written = 0;
  return WriteFile(Raw(pipe), request.data(), static_cast<DWORD>(request.size()), &written, nullptr) != FALSE;
}

// The buffer lives on the stack: the only allocation is the reply's text.
bool ReadReply(PipeEnd pipe, size_t max_bytes, std::string* reply) {
  char buffer[65536];
  DWORD read = 0;
  const DWORD asked = static_cast<DWORD>(max_bytes < sizeof(buffer) ? max_bytes : sizeof(buffer));
  if (!ReadFile(Raw(pipe), buffer, asked, &read, nullptr)) return false;
  reply->assign(buffer, read);
  return true;
}

void ClosePipe(PipeEnd pipe) { CloseHandle(Raw(pipe)); }

uint64_t MonotonicMs() { return GetTickCount64(); }

void Pause(uint32_t ms) { Sleep(ms); }

}  // namespace quorvane_windows_vpn::pipe_io
