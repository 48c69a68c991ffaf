#include "common/program_folder.h"

#include <vector>

#include "common/protected_folder.h"
#include "common/wide_text.h"
#include "platform/files.h"
#include "platform/library.h"
#include "platform/process.h"

namespace quorvane {
namespace {

constexpr size_t kModulePathChars = 260;

// Rights that change what runs: the data, a folder's entries, the list, the
// owner, deletion; generic write and all. Attributes and reading do not.
constexpr uint32_t kWriteRights = 0x2 | 0x4 | 0x10 | 0x40 | 0x10000 | 0x40000 | 0x80000 | 0x40000000 | 0x10000000;

constexpr wchar_t kTrustedInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// Under Program Files, what Windows installed is TrustedInstaller's too.
bool Trusted(const std::wstring& sid) { return IsTrustedAccount(sid) || sid == kTrustedInstaller; }

// In a folder above the program's, what lets a user move or replace the
// folders below it: deleting the folder or its children, changing its list or
// owner. Adding files and folders (which a volume root grants every user)
// does not reach what is there.
constexpr uint32_t kParentRights = 0x40 | 0x10000 | 0x40000 | 0x80000 | 0x40000000 | 0x10000000;

std::string PathProblem(const std::wstring& path, uint32_t rights = kWriteRights) {
  const std::string name = WideToUtf8(path);
  platform::PathAccess access;
  uint32_t error_code = 0;
  if (!platform::ReadPathAccess(path, &access, &error_code)) {
    return name + " could not be read (error " + std::to_string(error_code) + ")";
  }
  // An owner may always rewrite the list.
  if (!Trusted(access.owner_sid)) return name + " is owned by " + WideToUtf8(access.owner_sid);
  if (!access.dacl_present) return name + " has no access list: everyone may write it";
  for (const platform::AccessEntry& entry : access.entries) {
    if (!entry.allow || entry.inherit_only || (entry.access_mask & rights) == 0) continue;
    if (!Trusted(entry.trustee_sid)) return name + " may be written by " + WideToUtf8(entry.trustee_sid);
  }
  return "";
}

}  // namespace

std::string ProgramFolderProblem() {
  std::wstring program;
  uint32_t error_code = 0;
  if (!platform::GetOwnModulePath(kModulePathChars, &program, &error_code)) {
    return "the program's path could not be read (error " + std::to_string(error_code) + ")";
  }
  std::vector<std::wstring> paths = {program.substr(0, program.find_last_of(L'\\')), program};
  const std::wstring service = ServiceProgramPath();
  if (service != program) paths.push_back(service);
  for (const wchar_t* library : {L"tunnel.dll", L"wireguard.dll"}) {
    std::wstring found;
    if (platform::FindLibraryInSafeFolders(library, &found)) paths.push_back(found);
  }
  for (const std::wstring& path : paths) {
    std::string problem = PathProblem(path);
    if (!problem.empty()) return problem;
  }
  // Every folder above it, up to the volume root: one a user may rename takes
  // the program folder with it.
  std::wstring parent = paths[0];
  for (size_t cut = parent.find_last_of(L'\\'); cut != std::wstring::npos && cut > 0;
       cut = parent.find_last_of(L'\\')) {
    parent.resize(cut);
    const bool root = parent.size() == 2 && parent[1] == L':';
    std::string problem = PathProblem(root ? parent + L"\\" : parent, kParentRights);
    if (!problem.empty()) return problem;
    if (root) break;
  }
  return "";
}

std::wstring ServiceProgramPath() {
  std::wstring program;
  uint32_t error_code = 0;
  if (!platform::GetOwnModulePath(kModulePathChars, &program, &error_code)) return L"";
  return program.substr(0, program.find_last_of(L'\\') + 1) + kServiceProgramName;
}

}  // namespace quorvane
