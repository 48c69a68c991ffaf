// The DACL of a descriptor we built, as SDDL text: Wine keeps no DACL on disk
// and enforces none on pipes, so the descriptor itself is what tests check.
#pragma once

#include <windows.h>

#include <sddl.h>

#include <string>

#include "access_lists.h"

// |parts|: DACL_SECURITY_INFORMATION, with OWNER_SECURITY_INFORMATION for the owner too.
inline std::wstring DaclText(platform::win32::BuiltDescriptor* built,
                             SECURITY_INFORMATION parts = DACL_SECURITY_INFORMATION) {
  wchar_t* sddl = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(&built->descriptor, SDDL_REVISION_1, parts, &sddl,
                                                            nullptr)) {
    return L"(not convertible: " + std::to_wstring(GetLastError()) + L")";
  }
  const std::wstring text = sddl;
  LocalFree(sddl);
  return text;
}
