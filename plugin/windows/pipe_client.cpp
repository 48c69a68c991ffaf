#include "pipe_client.h"

#include <windows.h>
#include <aclapi.h>

#include <cstring>

#include "scoped_handle.h"

namespace quorvane_windows_vpn {
namespace {

constexpr DWORD kMaxReplyBytes = 65535;

// The service gives its pipe an explicit owner, the system account or
// Administrators, which no ordinary process may give; whoever else holds the
// name must not see the request (it carries the private key) nor be believed.
bool OwnedByTheService(HANDLE pipe) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const bool trusted = owner != nullptr && (IsWellKnownSid(owner, WinLocalSystemSid) ||
                                            IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
  LocalFree(descriptor);
  return trusted;
}

}  // namespace

std::string SendPipeRequest(const std::string& request, const wchar_t* pipe_name) {
  // Identification only: the service may learn who calls, never act as them
  // (a process posing as the service would otherwise gain the user's identity).
  ScopedHandle pipe(CreateFileW(pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
  if (!pipe.valid()) return kPipeUnavailableReply;
  if (!OwnedByTheService(pipe.get())) return kPipeServerUntrustedReply;

  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);  // the exchange goes on either way

  DWORD written = 0;
  if (!WriteFile(pipe.get(), request.data(), static_cast<DWORD>(request.size()), &written, nullptr)) {
    return kPipeWriteFailedReply;
  }
  // One byte more than the largest read, so a terminating zero always fits.
  char buffer[kMaxReplyBytes + 1];
  DWORD read = 0;
  if (!ReadFile(pipe.get(), buffer, kMaxReplyBytes, &read, nullptr)) return kPipeReadFailedReply;
  buffer[read] = '\0';
  return std::string(buffer, std::strlen(buffer));
}

}  // namespace quorvane_windows_vpn
