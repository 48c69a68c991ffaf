// Files, directories and their access lists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/owned_handle.h"

namespace platform {

// GetFileAttributesW's answer for a directory.
constexpr uint32_t kFileAttributeDirectory = 0x10;

// MoveFileExW flags.
constexpr uint32_t kMoveFileReplaceExisting = 0x1;
constexpr uint32_t kMoveFileWriteThrough = 0x8;

// Access-list entry values.
constexpr uint32_t kGenericAll = 0x10000000;
constexpr uint32_t kSubContainersAndObjectsInherit = 0x3;

// System error codes that the service logic tells apart.
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorBadNetPath = 53;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorDirectory = 267;

// Closes a file without asking how that went; used by FileHandle.
void CloseFileQuietly(uintptr_t file);
using FileHandle = OwnedHandle<CloseFileQuietly>;

// An allow entry for one trustee, given by its SID text ("S-1-5-18").
struct AccessGrant {
  std::wstring trustee_sid;
  uint32_t access_mask = 0;
  uint32_t inheritance = 0;
};

// Every operation returns false with the system error code on failure.

// Creates |path| and every missing parent; an existing directory is success.
bool CreateDirectories(const std::wstring& path, uint32_t* error_code);

// The file's attributes (GetFileAttributesW).
bool GetPathAttributes(const std::wstring& path, uint32_t* attributes, uint32_t* error_code);

// Opens |path| for writing, created or truncated to nothing; others may read
// and write it meanwhile.
bool OpenFileForWrite(const std::wstring& path, FileHandle* file, uint32_t* error_code);
// Writes all of |bytes|.
bool WriteFileBytes(const FileHandle& file, const std::string& bytes, uint32_t* error_code);
// Closes the file, reporting whether the close itself succeeded.
bool CloseFile(FileHandle* file, uint32_t* error_code);

bool MoveFileWithFlags(const std::wstring& from, const std::wstring& to, uint32_t flags, uint32_t* error_code);
bool DeleteFilePath(const std::wstring& path, uint32_t* error_code);

// Replaces the DACL of the file or directory |path| by one holding exactly
// |grants| (set-access entries, in order), protected from inheritance.
bool SetProtectedDacl(const std::wstring& path, const std::vector<AccessGrant>& grants, uint32_t* error_code);

}  // namespace platform
