// The program's own folder: the service runs QuorvaneVpnService.exe and
// loads tunnel.dll (which loads wireguard.dll) from it as the system account,
// so whoever may write there runs code as the system account.
#pragma once

#include <string>

namespace quorvane {

// "" when the folder, the program and each of the two DLLs found beside it or
// in System32 may be written (or have their list or owner changed) only by
// the system account, Administrators, TrustedInstaller or the account this
// process runs as (the system account for a service; Wine's one user under
// Wine), and when no one else may move or replace a folder above it, up to
// the volume root (delete it or its children, change its list or owner). Otherwise why not, naming the path: "<path> may be written by <SID>",
// "<path> is owned by <SID>", "<path> has no access list" or "<path> could
// not be read (error N)".
std::string ProgramFolderProblem();

// The service program beside this one ("QuorvaneVpnService.exe" in this
// program's folder): the program itself, or the one the package's actions
// program registers. Empty when this program's path cannot be read.
constexpr wchar_t kServiceProgramName[] = L"QuorvaneVpnService.exe";
std::wstring ServiceProgramPath();

}  // namespace quorvane
