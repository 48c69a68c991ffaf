// Files, directories and their access lists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/owned_handle.h"

namespace platform {

// GetFileAttributesW's answers for a directory and a reparse point (a
// junction or symbolic link, which the attributes do not follow).
constexpr uint32_t kFileAttributeDirectory = 0x10;
constexpr uint32_t kFileAttributeReparsePoint = 0x400;

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
constexpr uint32_t kErrorAlreadyExists = 183;
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

// Creates the one directory |path| (its parent must exist) with a protected
// DACL of |grants| and the owner |owner_sid|, set as it is made, so that no
// moment exists in which another account could open it. Fails with
// kErrorAlreadyExists when something of that name is there.
bool CreateProtectedDirectory(const std::wstring& path, const std::vector<AccessGrant>& grants,
                              const std::wstring& owner_sid, uint32_t* error_code);

// What decides whether a folder that exists may be trusted: its attributes,
// read without following a reparse point, and its owner's SID text.
struct PathFacts {
  uint32_t attributes = 0;
  std::wstring owner_sid;
};
bool ReadPathFacts(const std::wstring& path, PathFacts* facts, uint32_t* error_code);

// Who may do what to a path: its owner and the entries of its access list
// (allow and deny; entries of other kinds are left out), as stored.
struct AccessEntry {
  std::wstring trustee_sid;
  uint32_t access_mask = 0;
  bool allow = true;
  bool inherit_only = false;  // for what is made inside, not the path itself
};
struct PathAccess {
  std::wstring owner_sid;
  bool dacl_present = true;  // no list at all grants everyone everything
  std::vector<AccessEntry> entries;
};
bool ReadPathAccess(const std::wstring& path, PathAccess* access, uint32_t* error_code);

// Creates the file |path| anew (it must not exist: 80 otherwise) for writing,
// with a protected DACL of |grants| from its first moment and shared with
// nobody while it is open.
bool CreateProtectedFile(const std::wstring& path, const std::vector<AccessGrant>& grants, FileHandle* file,
                         uint32_t* error_code);

// Appends |bytes| with one write to the file |path|, made when missing with a
// protected DACL of |grants| (others may read it meanwhile); |size| is the
// file's size afterwards. One write a line: a crash loses at most that line.
bool AppendToProtectedFile(const std::wstring& path, const std::vector<AccessGrant>& grants, const std::string& bytes,
                           uint64_t* size, uint32_t* error_code);

// The whole content of the file |path| (others may write it meanwhile).
bool ReadWholeFile(const std::wstring& path, std::string* bytes, uint32_t* error_code);

// Writes the file's data through to the disk (FlushFileBuffers).
bool FlushFile(const FileHandle& file, uint32_t* error_code);

}  // namespace platform
