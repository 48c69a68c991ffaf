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

bool GetPathAttributes(const std::wstring& path, uint32_t* attributes, uint32_t* error_code) {
  const DWORD result = GetFileAttributesW(path.c_str());
  if (result == INVALID_FILE_ATTRIBUTES) return Fail(error_code);
  *attributes = result;
  return true;
}

bool OpenFileForWrite(const std::wstring& path, FileHandle* file, uint32_t* error_code) {
  const HANDLE raw = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (raw == INVALID_HANDLE_VALUE) return Fail(error_code);
  *file = FileHandle(reinterpret_cast<uintptr_t>(raw));
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

bool MoveFileWithFlags(const std::wstring& from, const std::wstring& to, uint32_t flags, uint32_t* error_code) {
  if (MoveFileExW(from.c_str(), to.c_str(), flags)) return true;
  return Fail(error_code);
}

bool DeleteFilePath(const std::wstring& path, uint32_t* error_code) {
  if (DeleteFileW(path.c_str())) return true;
  return Fail(error_code);
}

bool SetProtectedDacl(const std::wstring& path, const std::vector<AccessGrant>& grants, uint32_t* error_code) {
  win32::BuiltDescriptor built;
  if (!win32::MakeSecurityDescriptor(grants, true, &built, error_code)) return false;
  std::wstring writable_path = path;  // SetNamedSecurityInfoW takes a non-const name.
  const DWORD status = SetNamedSecurityInfoW(writable_path.data(), SE_FILE_OBJECT,
                                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                             nullptr, nullptr, built.dacl(), nullptr);
  if (status != ERROR_SUCCESS) {
    *error_code = status;
    return false;
  }
  return true;
}

bool CreateProtectedDirectory(const std::wstring& path, const std::vector<AccessGrant>& grants,
                              const std::wstring& owner_sid, uint32_t* error_code) {
  win32::BuiltDescriptor built;
  if (!win32::MakeSecurityDescriptor(grants, true, &built, error_code, owner_sid)) return false;
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), &built.descriptor, FALSE};
  if (CreateDirectoryW(path.c_str(), &attributes)) return true;
  return Fail(error_code);
}

bool ReadPathFacts(const std::wstring& path, PathFacts* facts, uint32_t* error_code) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Fail(error_code);
  facts->attributes = attributes;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD status = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                             nullptr, nullptr, nullptr, &descriptor);
  if (status != ERROR_SUCCESS) {
    *error_code = status;
    return false;
  }
  wchar_t* text = nullptr;
  const bool converted = owner != nullptr && ConvertSidToStringSidW(owner, &text);
  facts->owner_sid = converted ? text : L"";
  LocalFree(text);
  LocalFree(descriptor);
  return true;
}

bool ReadPathAccess(const std::wstring& path, PathAccess* access, uint32_t* error_code) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD status = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                                             &dacl, nullptr, &descriptor);
  if (status != ERROR_SUCCESS) {
    *error_code = status;
    return false;
  }
  const auto sid_text = [](PSID sid) {
    wchar_t* text = nullptr;
    std::wstring result = sid != nullptr && ConvertSidToStringSidW(sid, &text) ? text : L"";
    LocalFree(text);
    return result;
  };
  access->owner_sid = sid_text(owner);
  access->dacl_present = dacl != nullptr;
  access->entries.clear();
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* raw = nullptr;
    if (!GetAce(dacl, i, &raw)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(raw);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
    // Allowed and denied entries share one layout.
    auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
    access->entries.push_back({sid_text(&ace->SidStart), ace->Mask, header->AceType == ACCESS_ALLOWED_ACE_TYPE,
                               (header->AceFlags & INHERIT_ONLY_ACE) != 0});
  }
  LocalFree(descriptor);
  return true;
}

bool CreateProtectedFile(const std::wstring& path, const std::vector<AccessGrant>& grants, FileHandle* file,
                         uint32_t* error_code) {
  win32::BuiltDescriptor built;
  if (!win32::MakeSecurityDescriptor(grants, true, &built, error_code)) return false;
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), &built.descriptor, FALSE};
  const HANDLE raw =
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (raw == INVALID_HANDLE_VALUE) return Fail(error_code);
  *file = FileHandle(reinterpret_cast<uintptr_t>(raw));
  return true;
}

bool AppendToProtectedFile(const std::wstring& path, const std::vector<AccessGrant>& grants, const std::string& bytes,
                           uint64_t* size, uint32_t* error_code) {
  win32::BuiltDescriptor built;
  if (!win32::MakeSecurityDescriptor(grants, true, &built, error_code)) return false;
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), &built.descriptor, FALSE};
  const HANDLE raw = CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                 &attributes, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (raw == INVALID_HANDLE_VALUE) return Fail(error_code);
  const FileHandle file(reinterpret_cast<uintptr_t>(raw));
  DWORD written = 0;
  if (!WriteFile(raw, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) return Fail(error_code);
  LARGE_INTEGER length{};
  if (!GetFileSizeEx(raw, &length)) return Fail(error_code);
  *size = static_cast<uint64_t>(length.QuadPart);
  return true;
}

bool ReadWholeFile(const std::wstring& path, std::string* bytes, uint32_t* error_code) {
  bytes->clear();
  const HANDLE raw = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (raw == INVALID_HANDLE_VALUE) return Fail(error_code);
  const FileHandle file(reinterpret_cast<uintptr_t>(raw));
  char buffer[4096];
  DWORD got = 0;
  for (;;) {
    if (!ReadFile(raw, buffer, sizeof(buffer), &got, nullptr)) return Fail(error_code);
    if (got == 0) return true;
    bytes->append(buffer, got);
  }
}

bool FlushFile(const FileHandle& file, uint32_t* error_code) {
  if (FlushFileBuffers(Raw(file))) return true;
  return Fail(error_code);
}

}  // namespace platform
