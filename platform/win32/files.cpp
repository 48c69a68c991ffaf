#include "platform/files.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>

#include "access_lists.h"

namespace platform {
namespace {

HANDLE Raw(const FileHandle& file) { return reinterpret_cast<HANDLE>(file.get()); }

bool Fail(uint32_t* error_code) {
  *error_code = GetLastError();
  return false;
}

// The length of the part of |path| that is a root and never created: "C:",
// "\\server\share", or nothing for a relative path.
size_t RootLength(const std::wstring& path) {
  if (path.size() >= 2 && path[1] == L':') return 2;
  if (path.rfind(L"\\\\", 0) == 0) {
    const size_t server_end = path.find(L'\\', 2);
    if (server_end == std::wstring::npos) return path.size();
    const size_t share_end = path.find(L'\\', server_end + 1);
    return share_end == std::wstring::npos ? path.size() : share_end;
  }
  return 0;
}

bool MakeOneDirectory(const std::wstring& path, uint32_t* error_code) {
  if (CreateDirectoryW(path.c_str(), nullptr)) return true;
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;
  }
  *error_code = error;
  return false;
}

}  // namespace

bool CreateDirectories(const std::wstring& path, uint32_t* error_code) {
  const size_t root = RootLength(path);
  for (size_t at = path.find_first_of(L"\\/", root + 1); at != std::wstring::npos;
       at = path.find_first_of(L"\\/", at + 1)) {
    if (at > root && !MakeOneDirectory(path.substr(0, at), error_code)) return false;
  }
  if (path.size() > root && path.back() != L'\\' && path.back() != L'/') return MakeOneDirectory(path, error_code);
  return true;
}

bool WriteFileBytes(const FileHandle& file, const std::string& bytes, uint32_t* error_code) {
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
    DWORD written = 0;
    if (!WriteFile(Raw(file), bytes.data() + done, chunk, &written, nullptr)) return Fail(error_code);
    if (written == 0) {
      *error_code = ERROR_WRITE_FAULT;
      return false;
    }
    done += written;
  }
  return true;
}

bool CloseFile(FileHandle* file, uint32_t* error_code) {
  if (!file->valid()) return true;
  if (CloseHandle(reinterpret_cast<HANDLE>(file->Release()))) return true;
  return Fail(error_code);
}

void CloseFileQuietly(uintptr_t file) {
  if (file != 0) CloseHandle(reinterpret_cast<HANDLE>(file));
}

namespace {

void FillAccess(PSID owner, PACL dacl, PSECURITY_DESCRIPTOR descriptor, PathAccess* access) {
  access->owner_sid = win32::SidText(owner);
  access->dacl_present = dacl != nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  access->dacl_protected = GetSecurityDescriptorControl(descriptor, &control, &revision) &&
                           (control & SE_DACL_PROTECTED) != 0;
  access->entries.clear();
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* raw = nullptr;
    if (!GetAce(dacl, i, &raw)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(raw);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
    // Allowed and denied entries share one layout.
    auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
    access->entries.push_back({win32::SidText(&ace->SidStart), ace->Mask, header->AceType == ACCESS_ALLOWED_ACE_TYPE,
                               (header->AceFlags & INHERIT_ONLY_ACE) != 0});
  }
}

}  // namespace

bool ReadPathAccess(const std::wstring& path, PathAccess* access, uint32_t* error_code) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  win32::LocalMemory descriptor;
  const DWORD status = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                                             &dacl, nullptr, descriptor.receive());
  if (status != ERROR_SUCCESS) {
    *error_code = status;
    return false;
  }
  FillAccess(owner, dacl, descriptor.get(), access);
  return true;
}

bool ReadHandleAccess(const FileHandle& handle, PathAccess* access, uint32_t* error_code) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  win32::LocalMemory descriptor;
  const DWORD status = GetSecurityInfo(reinterpret_cast<HANDLE>(handle.get()), SE_FILE_OBJECT,
                                       OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr, &dacl,
                                       nullptr, descriptor.receive());
  if (status != ERROR_SUCCESS) {
    *error_code = status;
    return false;
  }
  FillAccess(owner, dacl, descriptor.get(), access);
  return true;
}

}  // namespace platform
