// Files, directories and their access lists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/owned_handle.h"

namespace platform {

// File attributes: a directory, and a reparse point (a junction or symbolic
// link, seen as itself when it is opened without following it).
constexpr uint32_t kFileAttributeReadOnly = 0x1;
constexpr uint32_t kFileAttributeDirectory = 0x10;
constexpr uint32_t kFileAttributeReparsePoint = 0x400;

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

// Writes all of |bytes| at the file's current position (its end, for a file
// opened to append).
bool WriteFileBytes(const FileHandle& file, const std::string& bytes, uint32_t* error_code);
// Closes the file, reporting whether the close itself succeeded.
bool CloseFile(FileHandle* file, uint32_t* error_code);

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
  bool dacl_protected = false;  // no inherited entry joins it
  std::vector<AccessEntry> entries;
};
bool ReadPathAccess(const std::wstring& path, PathAccess* access, uint32_t* error_code);
// The same, read on an open file or directory (GetSecurityInfo).
bool ReadHandleAccess(const FileHandle& handle, PathAccess* access, uint32_t* error_code);

// Files that only the service may control are reached through handles alone:
// a folder is opened without following a reparse point and checked on its
// handle, and what is inside it is opened relative to that handle, so that no
// junction or link swapped in between a check and a use can redirect a write,
// a read or a delete.

// What a handle says of the object it is open on.
struct HandleFacts {
  uint32_t attributes = 0;  // kFileAttributeReparsePoint for the link itself
  uint32_t links = 1;       // hard links to a file
  // A directory's only (left empty for a file):
  std::wstring owner_sid;
  std::wstring final_path;  // "C:\..." as GetFinalPathNameByHandleW gives it
};
bool ReadHandleFacts(const FileHandle& handle, HandleFacts* facts, uint32_t* error_code);

// How OpenFileAt opens a file. Every mode refuses a directory and opens a
// reparse point as itself, never its target.
enum class FileOpen {
  kRead,       // existing; others may read, write and delete meanwhile
  kOverwrite,  // existing, to write over in place and then delete; unshared
  kAppend,     // made when missing with |grants|; others may read, append and rename meanwhile
  kCreateNew,  // must not exist (kErrorAlreadyExists otherwise); made with |grants|, unshared
  kRemove,     // existing, to delete or rename only, and to clear its read-only attribute
  kScrub,      // existing, to write over in place; shared, so that it may be replaced or deleted meanwhile
};

// Opens the directory |name| relative to |parent| without following a
// reparse point there; or, when |parent| holds nothing, the full path |name|,
// followed as any path is (ProgramData: the system's own folder).
// Held open, it cannot be renamed or deleted. |change|: opened also to
// rewrite its access list.
bool OpenDirectoryAt(const FileHandle& parent, const std::wstring& name, bool change, FileHandle* directory,
                     uint32_t* error_code);
// Makes the one directory |name| inside |parent| with a protected DACL of
// |grants| and the owner |owner_sid| from its first moment, and opens it as
// OpenDirectoryAt does. kErrorAlreadyExists when something of that name is there.
bool CreateDirectoryAt(const FileHandle& parent, const std::wstring& name, const std::vector<AccessGrant>& grants,
                       const std::wstring& owner_sid, FileHandle* directory, uint32_t* error_code);
// Opens the file |name| (one component) inside |directory|.
bool OpenFileAt(const FileHandle& directory, const std::wstring& name, FileOpen how,
                const std::vector<AccessGrant>& grants, FileHandle* file, uint32_t* error_code);

// Deletes the empty directory |name| inside |parent| (a junction or link
// there as itself, never its target); 145 when it is not empty.
bool DeleteEmptyDirectoryAt(const FileHandle& parent, const std::wstring& name, uint32_t* error_code);

// The whole content of a file opened with kRead.
bool ReadFileBytes(const FileHandle& file, std::string* bytes, uint32_t* error_code);
// The file's size in bytes.
bool ReadFileSize(const FileHandle& file, uint64_t* size, uint32_t* error_code);
// Writes the file's data through to the disk (FlushFileBuffers).
bool FlushFile(const FileHandle& file, uint32_t* error_code);
// Deletes the open file with POSIX semantics, read-only or not
// (FileDispositionInformationEx): its name goes at once, its data when the
// last handle closes. Where the system or file system refuses that class
// (Wine, FAT, Windows before 1809) the read-only attribute is cleared through
// the handle and the plain class used. Any open but kRead may delete.
bool DeleteOpenFile(const FileHandle& file, uint32_t* error_code);
// Renames the open file to |name| inside |directory| (rooted at that handle),
// replacing a file of that name when |replace|: FileRenameInformationEx with
// POSIX semantics, which also replaces a read-only target and one that another
// program holds open with delete sharing; the plain class where the Ex one is
// refused, which does neither (the caller clears a target's read-only first).
bool RenameOpenFile(const FileHandle& file, const FileHandle& directory, const std::wstring& name, bool replace,
                    uint32_t* error_code);
// Clears the open file's read-only attribute, if set (a file restored from a
// backup, or "attrib +r"). Any open but kRead may.
bool ClearReadOnly(const FileHandle& file, uint32_t* error_code);
// Replaces the DACL of the open file or directory (opened to change) by one
// holding exactly |grants|, protected from inheritance.
bool SetProtectedDaclOn(const FileHandle& handle, const std::vector<AccessGrant>& grants, uint32_t* error_code);

}  // namespace platform
