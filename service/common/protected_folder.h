// The service's folders under "%ProgramData%\Quorvane": ordinary users may
// create folders in ProgramData, and whoever owns a folder may always rewrite
// its access list, so a folder is only written into when the service made it
// itself or it cannot have come from anyone else.
#pragma once

#include <string>
#include <vector>

#include "platform/files.h"

namespace quorvane {

// "%ProgramData%\Quorvane"; "C:\ProgramData" stands in for a ProgramData that
// is unset, empty or 260 characters or longer.
std::wstring ServiceDataDirectory();

// Full access for the system account and Administrators alone, inherited by
// what is made inside.
const std::vector<platform::AccessGrant>& ProtectedGrants();

// Makes "%ProgramData%\Quorvane\<leaf>" (and "Quorvane") when missing, each
// with the protected list and Administrators as owner. One that exists is used
// only if it is a plain directory (no junction or link) owned by the system
// account, Administrators or the account this process runs as (which a
// service shares with the system account); its list is then protected again.
// False with a message that says which folder and why, and nothing else made.
bool EnsureServiceFolder(const std::wstring& leaf, std::wstring* path, std::string* message);

// The service's folders: "Quorvane" and, inside it, these.
constexpr const wchar_t* kServiceFolderLeaves[] = {L"tunnels", L"state", L"logs"};

// Makes every service folder as EnsureServiceFolder does ("--install" runs
// it, so that they exist, protected, before any user could make them).
bool EnsureServiceFolders(std::string* message);

// Looks at each service folder that exists, changing nothing: a message for
// each that would be refused (a junction or link, not a directory, owned by
// someone else), for the start-up report.
std::vector<std::string> UnsafeServiceFolders();

// Which step of ReplaceFileAtomically failed.
enum class ReplaceStep { kNone, kOpen, kWrite, kRename };

// Replaces |path| by |bytes| so that a crash leaves the old file or the new
// one: "<path>.tmp" made anew with the protected list and no sharing (a
// leftover goes first), written, flushed to the disk, closed, then renamed
// over |path| with write-through. False with the step that failed.
bool ReplaceFileAtomically(const std::wstring& path, const std::string& bytes, ReplaceStep* failed);

}  // namespace quorvane
