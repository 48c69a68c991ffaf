// The DACL of a descriptor we built, as SDDL text: Wine keeps no DACL on disk
// and enforces none on pipes, so the descriptor itself is what tests check.
#pragma once

#include <windows.h>

#include <sddl.h>

#include <string>

#include "access_lists.h"

inline std::wstring DaclText(platform::win32::BuiltDescriptor* built) {
  wchar_t* sddl = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(&built->descriptor, SDDL_REVISION_1,
                                                            DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
    return L"(not convertible: " + std::to_wstring(GetLastError()) + L")";
  }
  const std::wstring text = sddl;
  LocalFree(sddl);
  return text;
}
