// Files reached through handles alone: folders opened without following a
// reparse point, and what is inside them opened relative to those handles
// (NtCreateFile's RootDirectory), deleted and renamed through their own handles.
#include <windows.h>
#include <aclapi.h>
#include <winternl.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "access_lists.h"
#include "platform/files.h"

extern "C" NTSTATUS NTAPI NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK io_status, PVOID information,
                                               ULONG length, FILE_INFORMATION_CLASS information_class);

namespace platform {
namespace {

HANDLE Raw(const FileHandle& file) { return reinterpret_cast<HANDLE>(file.get()); }

bool Fail(uint32_t* error_code) {
  *error_code = GetLastError();
  return false;
}

bool FailStatus(NTSTATUS status, uint32_t* error_code) {
  *error_code = RtlNtStatusToDosError(status);
  return false;
}

// The object name NtCreateFile takes: a full DOS path in the "\??\" form, or
// one component relative to a root directory handle.
std::wstring ObjectName(const FileHandle& parent, const std::wstring& name) {
  if (parent.valid()) return name;
  if (name.rfind(L"\\\\?\\", 0) == 0) return L"\\??\\" + name.substr(4);
  return L"\\??\\" + name;
}

struct OpenRequest {
  ACCESS_MASK access = 0;
  ULONG share = 0;
  ULONG disposition = FILE_OPEN;
  ULONG options = 0;
  const std::vector<AccessGrant>* grants = nullptr;  // set as the object is made
  std::wstring owner_sid;
};

bool OpenRelative(const FileHandle& parent, const std::wstring& name, const OpenRequest& request, FileHandle* opened,
                  uint32_t* error_code) {
  win32::BuiltDescriptor built;
  if (request.grants != nullptr &&
      !win32::MakeSecurityDescriptor(*request.grants, true, &built, error_code, request.owner_sid)) {
    return false;
  }
  std::wstring object = ObjectName(parent, name);
  UNICODE_STRING object_name;
  object_name.Buffer = object.data();
  object_name.Length = static_cast<USHORT>(object.size() * sizeof(wchar_t));
  object_name.MaximumLength = object_name.Length;
  OBJECT_ATTRIBUTES attributes{};
  attributes.Length = sizeof(attributes);
  attributes.RootDirectory = parent.valid() ? Raw(parent) : nullptr;
  attributes.ObjectName = &object_name;
  attributes.Attributes = OBJ_CASE_INSENSITIVE;
  attributes.SecurityDescriptor = request.grants != nullptr ? &built.descriptor : nullptr;
  IO_STATUS_BLOCK io{};
  HANDLE raw = nullptr;
  // Never through a link inside a folder: a reparse point there is opened as
  // itself, for its handle's facts to show. A full path is the system's own
  // folder and is followed as any path is.
  const ULONG no_follow = parent.valid() ? FILE_OPEN_REPARSE_POINT : 0;
  const NTSTATUS status =
      NtCreateFile(&raw, request.access | SYNCHRONIZE | READ_CONTROL | FILE_READ_ATTRIBUTES, &attributes, &io,
                   nullptr, FILE_ATTRIBUTE_NORMAL, request.share, request.disposition,
                   request.options | no_follow | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (!NT_SUCCESS(status)) return FailStatus(status, error_code);
  *opened = FileHandle(reinterpret_cast<uintptr_t>(raw));
  return true;
}

// Not shared for deletion: a held folder cannot be renamed or replaced.
constexpr ULONG kFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

}  // namespace

bool OpenDirectoryAt(const FileHandle& parent, const std::wstring& name, bool change, FileHandle* directory,
                     uint32_t* error_code) {
  OpenRequest request;
  request.access = FILE_LIST_DIRECTORY | FILE_TRAVERSE | (change ? WRITE_DAC : 0);
  request.share = kFolderShare;
  request.options = FILE_DIRECTORY_FILE;
  return OpenRelative(parent, name, request, directory, error_code);
}

bool CreateDirectoryAt(const FileHandle& parent, const std::wstring& name, const std::vector<AccessGrant>& grants,
                       const std::wstring& owner_sid, FileHandle* directory, uint32_t* error_code) {
  OpenRequest request;
  request.access = FILE_LIST_DIRECTORY | FILE_TRAVERSE | WRITE_DAC;
  request.share = kFolderShare;
  request.disposition = FILE_CREATE;
  request.options = FILE_DIRECTORY_FILE;
  request.grants = &grants;
  request.owner_sid = owner_sid;
  if (OpenRelative(parent, name, request, directory, error_code)) return true;
  if (*error_code == ERROR_FILE_EXISTS) *error_code = ERROR_ALREADY_EXISTS;
  return false;
}

bool OpenFileAt(const FileHandle& directory, const std::wstring& name, FileOpen how,
                const std::vector<AccessGrant>& grants, FileHandle* file, uint32_t* error_code) {
  if (!directory.valid() || name.empty() || name.find_first_of(L"\\/:") != std::wstring::npos) {
    *error_code = ERROR_INVALID_NAME;
    return false;
  }
  OpenRequest request;
  request.options = FILE_NON_DIRECTORY_FILE;
  switch (how) {
    case FileOpen::kRead:
      request.access = FILE_GENERIC_READ;
      request.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
      break;
    case FileOpen::kOverwrite:
      request.access = FILE_GENERIC_WRITE | DELETE;
      break;
    case FileOpen::kAppend:
      request.access = FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES | DELETE;
      // Several processes append to one log, each a whole line at a time.
      request.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
      request.disposition = FILE_OPEN_IF;
      request.grants = &grants;
      break;
    case FileOpen::kCreateNew:
      request.access = FILE_GENERIC_WRITE | DELETE;
      request.disposition = FILE_CREATE;
      request.grants = &grants;
      break;
    case FileOpen::kScrub:
      request.access = FILE_GENERIC_WRITE;
      request.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
      break;
    case FileOpen::kRemove:
      request.access = DELETE | FILE_WRITE_ATTRIBUTES;
      request.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
      break;
  }
  return OpenRelative(directory, name, request, file, error_code);
}

bool DeleteEmptyDirectoryAt(const FileHandle& parent, const std::wstring& name, uint32_t* error_code) {
  OpenRequest request;
  request.access = DELETE;
  request.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  request.options = FILE_DIRECTORY_FILE;
  FileHandle directory;
  if (!parent.valid()) {
    *error_code = ERROR_INVALID_HANDLE;
    return false;
  }
  return OpenRelative(parent, name, request, &directory, error_code) && DeleteOpenFile(directory, error_code) &&
         CloseFile(&directory, error_code);
}

bool ReadHandleFacts(const FileHandle& handle, HandleFacts* facts, uint32_t* error_code) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(Raw(handle), &information)) return Fail(error_code);
  facts->attributes = information.dwFileAttributes;
  facts->links = information.nNumberOfLinks;
  facts->owner_sid.clear();
  facts->final_path.clear();
  // A file is judged by its attributes and links alone; the owner and the
  // path, two more round trips, are a folder's.
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return true;
  PSID owner = nullptr;
  win32::LocalMemory descriptor;
  const DWORD status = GetSecurityInfo(Raw(handle), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                       nullptr, nullptr, descriptor.receive());
  if (status != ERROR_SUCCESS) {
    *error_code = status;
    return false;
  }
  facts->owner_sid = win32::SidText(owner);
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleW(Raw(handle), path.data(), static_cast<DWORD>(path.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return Fail(error_code);
    if (length < path.size()) {
      facts->final_path.assign(path.data(), length);
      break;
    }
    path.resize(length + 1);
  }
  if (facts->final_path.rfind(L"\\\\?\\", 0) == 0) facts->final_path.erase(0, 4);
  return true;
}

bool ReadFileBytes(const FileHandle& file, std::string* bytes, uint32_t* error_code) {
  bytes->clear();
  char buffer[4096];
  DWORD got = 0;
  for (;;) {
    if (!ReadFile(Raw(file), buffer, sizeof(buffer), &got, nullptr)) return Fail(error_code);
    if (got == 0) return true;
    bytes->append(buffer, got);
  }
}

bool ReadFileSize(const FileHandle& file, uint64_t* size, uint32_t* error_code) {
  LARGE_INTEGER length{};
  if (!GetFileSizeEx(Raw(file), &length)) return Fail(error_code);
  *size = static_cast<uint64_t>(length.QuadPart);
  return true;
}

bool FlushFile(const FileHandle& file, uint32_t* error_code) {
  if (FlushFileBuffers(Raw(file))) return true;
  return Fail(error_code);
}

namespace {

// FILE_DISPOSITION_INFO_EX and FILE_RENAME_INFORMATION_EX (Windows 10 1809),
// which older headers lack.
constexpr FILE_INFO_BY_HANDLE_CLASS kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;
constexpr DWORD kDispositionIgnoreReadOnly = 0x10;
constexpr ULONG kFileRenameInformation = 10;
constexpr ULONG kFileRenameInformationEx = 65;
constexpr ULONG kRenameReplaceIfExists = 0x1;
constexpr ULONG kRenamePosixSemantics = 0x2;
constexpr ULONG kRenameIgnoreReadOnly = 0x40;

// What a system or file system answers for an information class it lacks.
bool ClassRefused(uint32_t error_code) {
  return error_code == ERROR_INVALID_PARAMETER || error_code == ERROR_NOT_SUPPORTED ||
         error_code == ERROR_INVALID_FUNCTION || error_code == ERROR_CALL_NOT_IMPLEMENTED;
}

// FILE_RENAME_INFORMATION(_EX), whose name is relative to RootDirectory;
// called through ntdll, since SetFileInformationByHandle widens a relative
// name to a full path on some systems. The Ex form's first member is a flags
// word where the plain one has a BOOLEAN; both fit in the same ULONG.
bool SetRename(const FileHandle& file, const FileHandle& directory, const std::wstring& name, ULONG flags,
               ULONG info_class, uint32_t* error_code) {
  struct RenameInformation {
    ULONG flags_or_replace;
    HANDLE root_directory;
    ULONG file_name_length;
    WCHAR file_name[1];
  };
  const size_t name_bytes = name.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(sizeof(RenameInformation) + name_bytes, 0);
  RenameInformation head{};
  head.flags_or_replace = flags;
  head.root_directory = Raw(directory);
  head.file_name_length = static_cast<ULONG>(name_bytes);
  std::memcpy(buffer.data(), &head, offsetof(RenameInformation, file_name));
  std::memcpy(buffer.data() + offsetof(RenameInformation, file_name), name.data(), name_bytes);
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = NtSetInformationFile(Raw(file), &io, buffer.data(), static_cast<ULONG>(buffer.size()),
                                               static_cast<FILE_INFORMATION_CLASS>(info_class));
  return NT_SUCCESS(status) || FailStatus(status, error_code);
}

}  // namespace

bool ClearReadOnly(const FileHandle& file, uint32_t* error_code) {
  FILE_BASIC_INFO basic{};
  if (!GetFileInformationByHandleEx(Raw(file), FileBasicInfo, &basic, sizeof(basic))) return Fail(error_code);
  if ((basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) return true;
  basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  // Zero times are left as they are.
  basic.CreationTime.QuadPart = basic.LastAccessTime.QuadPart = 0;
  basic.LastWriteTime.QuadPart = basic.ChangeTime.QuadPart = 0;
  return SetFileInformationByHandle(Raw(file), FileBasicInfo, &basic, sizeof(basic)) || Fail(error_code);
}

bool DeleteOpenFile(const FileHandle& file, uint32_t* error_code) {
  DWORD flags = kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly;
  if (SetFileInformationByHandle(Raw(file), kFileDispositionInfoEx, &flags, sizeof(flags))) return true;
  if (!ClassRefused(GetLastError())) return Fail(error_code);
  ClearReadOnly(file, error_code);
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (SetFileInformationByHandle(Raw(file), FileDispositionInfo, &disposition, sizeof(disposition))) return true;
  return Fail(error_code);
}

bool RenameOpenFile(const FileHandle& file, const FileHandle& directory, const std::wstring& name, bool replace,
                    uint32_t* error_code) {
  const ULONG flags = (replace ? kRenameReplaceIfExists : 0) | kRenamePosixSemantics | kRenameIgnoreReadOnly;
  if (SetRename(file, directory, name, flags, kFileRenameInformationEx, error_code)) return true;
  if (!ClassRefused(*error_code)) return false;
  return SetRename(file, directory, name, replace ? 1 : 0, kFileRenameInformation, error_code);
}

bool SetProtectedDaclOn(const FileHandle& handle, const std::vector<AccessGrant>& grants, uint32_t* error_code) {
  win32::BuiltDescriptor built;
  if (!win32::MakeSecurityDescriptor(grants, true, &built, error_code)) return false;
  const DWORD status = SetSecurityInfo(Raw(handle), SE_FILE_OBJECT,
                                       DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                       nullptr, built.dacl(), nullptr);
  if (status == ERROR_SUCCESS) return true;
  *error_code = status;
  return false;
}

}  // namespace platform
