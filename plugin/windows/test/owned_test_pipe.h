// A pipe server instance of a test's making whose descriptor names an owner,
// as the service's does: the plugin's client talks only to a pipe owned by the
// system account or Administrators.
#pragma once

#include <windows.h>
#include <sddl.h>

#include <string>

namespace quorvane_windows_vpn {

// |owner_sddl|: "SY", "BA" or a SID; empty for none, so that the creating
// account owns the pipe as an ordinary process's pipe is owned.
// INVALID_HANDLE_VALUE when it cannot be made.
inline HANDLE CreateOwnedTestPipe(const wchar_t* name, const wchar_t* owner_sddl = L"SY", DWORD max_instances = 1) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const std::wstring sddl = std::wstring(*owner_sddl != L'\0' ? L"O:" : L"") + owner_sddl + L"D:(A;;GA;;;WD)";
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    return INVALID_HANDLE_VALUE;
  }
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
  const HANDLE pipe = CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                       max_instances, 1 << 17, 1 << 17, 0, &attributes);
  LocalFree(descriptor);
  return pipe;
}

}  // namespace quorvane_windows_vpn
