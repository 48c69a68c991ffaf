// Files inside a checked service folder, reached through its handle alone:
// each is opened relative to the folder without following a link, checked on
// its own handle (no junction or link, no second name), and deleted or renamed
// through that handle. A file that fails the check is left untouched and named
// in the message.
#pragma once

#include <string>
#include <vector>

#include "common/protected_folder.h"

namespace quorvane {

// Opens |name| in |folder| as |how| and checks it; every result but kOpened
// and kMissing comes with a message naming the file. A file that another
// program (an anti-virus, a backup) holds without sharing is tried again for
// a moment (kHeldTries, kHeldRetryMs apart), then named as held.
OpenResult OpenFolderFile(const ServiceFolder& folder, const std::wstring& name, platform::FileOpen how,
                          platform::FileHandle* file, std::string* message);
constexpr int kHeldTries = 10;
constexpr uint32_t kHeldRetryMs = 100;

// The content of "<leaf>\<name>"; |present| false (and true returned) when the
// folder or the file is missing.
bool ReadServiceFile(const std::wstring& leaf, const std::wstring& name, std::string* bytes, bool* present,
                     std::string* message);

// Which step of ReplaceFolderFile failed.
enum class ReplaceStep { kNone, kOpen, kWrite, kRename };

// Whether "<leaf>\<name>" is there, or may be: one that cannot be looked at
// counts as there. Nothing is read.
bool ServiceFileMayExist(const std::wstring& leaf, const std::wstring& name);

// Replaces |name| by |bytes| so that a crash leaves the old file or the new
// one: "<name>.tmp" made anew with the protected list and no sharing (a
// leftover goes first), written, flushed to the disk, then renamed over |name|
// through its handle, a read-only |name| included. A target another program
// holds is tried again for a moment, then named. With |scrub| (a file that
// holds a key), the earlier |name| is scrubbed before the rename frees it, and
// a ".tmp" that could not be finished is scrubbed before it goes.
//
// What scrubbing reaches: the file's own clusters as the file system maps
// them now. Not reached: copies the system made of them (Volume Shadow Copies,
// a backup, the page file), and blocks a flash drive or SSD has remapped
// behind its controller; whoever needs those gone encrypts the volume.
bool ReplaceFolderFile(const ServiceFolder& folder, const std::wstring& name, const std::string& bytes, bool scrub,
                       ReplaceStep* failed, std::string* message);

// Deletes |name| through its own handle, read-only or not; a missing file is
// success. With |scrub|, its bytes (4 KiB at least) are first written over
// with zeros and flushed, so that no key material outlives the name; one that
// cannot be opened to write is still deleted.
bool DeleteFolderFile(const ServiceFolder& folder, const std::wstring& name, bool scrub, std::string* message);

// Removes the service folder "<leaf>" with the files of |names| in it and
// their replacements' leftovers ("<name>.tmp"), each scrubbed, then deleted
// through its handle. A folder that holds anything else stays, and so does one
// that fails its check; false with a message then.
bool RemoveServiceFolder(const std::wstring& leaf, const std::vector<std::wstring>& names, std::string* message);

}  // namespace quorvane
