// The service's folders under "%ProgramData%\Quorvane": ordinary users may
// create folders in ProgramData, and whoever owns a folder may always rewrite
// its access list, so a folder is only used when the service made it itself
// or it cannot have come from anyone else. Each is opened without following a
// junction or link and checked on its handle, and every file in it is reached
// through that handle (folder_files.h), so that what was checked is what is
// used.
#pragma once

#include <string>
#include <vector>

#include "platform/files.h"

namespace quorvane {

// "%ProgramData%\Quorvane"; "C:\ProgramData" stands in for a ProgramData that
// is unset, empty or 260 characters or longer.
std::wstring ServiceDataDirectory();

// The system account, Administrators, or the account this process runs as
// (which a service shares with the system account): the owners and writers of
// what the service keeps that no user controls.
bool IsTrustedAccount(const std::wstring& sid);

// Full access for the system account and Administrators alone, inherited by
// what is made inside.
const std::vector<platform::AccessGrant>& ProtectedGrants();

// A service folder, open and checked: a plain directory (no junction or link),
// owned by the system account, Administrators or the account this process
// runs as (which a service shares with the system account), whose final path
// is the one expected. Held open, it cannot be renamed or replaced.
struct ServiceFolder {
  platform::FileHandle handle;
  std::wstring path;
};

// kRefused: it failed its check; kFailed: it could not be opened or made.
enum class OpenResult { kOpened, kMissing, kRefused, kFailed };

// Opens "%ProgramData%\Quorvane\<leaf>" ("Quorvane" itself for an empty
// leaf). |make|: made (with "Quorvane") when missing, with the protected list
// and Administrators as owner from its first moment; one that exists has its
// list protected again. Any other result but kMissing comes with a message
// naming the folder and why, and nothing touched.
OpenResult OpenServiceFolder(const std::wstring& leaf, bool make, ServiceFolder* folder, std::string* message);

// The service's folders: "Quorvane" and, inside it, these.
constexpr const wchar_t* kServiceFolderLeaves[] = {L"tunnels", L"state", L"logs"};

// Makes every service folder as OpenServiceFolder does ("--install" runs it,
// so that they exist, protected, before any user could make them).
bool EnsureServiceFolders(std::string* message);

// Looks at each service folder that exists, changing nothing: a message for
// each that would be refused, for the start-up report.
std::vector<std::string> UnsafeServiceFolders();

}  // namespace quorvane
