#include "common/protected_folder.h"

#include <algorithm>

#include "common/ascii_case.h"
#include "common/wide_text.h"
#include "platform/environment.h"
#include "platform/process.h"

namespace quorvane {
namespace {

constexpr size_t kProgramDataChars = 260;
constexpr wchar_t kLocalSystem[] = L"S-1-5-18";
constexpr wchar_t kAdministrators[] = L"S-1-5-32-544";

bool IsNotFound(uint32_t error_code) {
  return error_code == platform::kErrorFileNotFound || error_code == platform::kErrorPathNotFound;
}

// Whether the folder open at |handle| may be trusted, its final path being
// |expected| (compared without regard to case); the reason when not.
bool CheckFolder(const platform::FileHandle& handle, const std::wstring& expected, const std::string& name,
                 std::string* message) {
  uint32_t error_code = 0;
  platform::HandleFacts facts;
  if (!platform::ReadHandleFacts(handle, &facts, &error_code)) {
    *message = "folder " + name + " could not be checked (error " + std::to_string(error_code) + ")";
    return false;
  }
  if ((facts.attributes & platform::kFileAttributeReparsePoint) != 0) {
    *message = "folder " + name + " is a junction or link; left untouched";
    return false;
  }
  if ((facts.attributes & platform::kFileAttributeDirectory) == 0) {
    *message = "folder " + name + " is not a directory; left untouched";
    return false;
  }
  if (!IsTrustedAccount(facts.owner_sid)) {
    *message = "folder " + name + " is owned by " + WideToUtf8(facts.owner_sid) +
               ", not by the system account or Administrators; left untouched";
    return false;
  }
  if (AsciiLower(facts.final_path) != AsciiLower(expected)) {
    *message = "folder " + name + " leads to " + WideToUtf8(facts.final_path) + "; left untouched";
    return false;
  }
  return true;
}

// Whether the folder's list is the protected one already: the system account
// and Administrators in full, nobody else, nothing inherited. Writing it
// anyway would run Windows' propagation of inheritable entries down the
// whole tree at every open.
bool HoldsProtectedList(const platform::FileHandle& folder) {
  platform::PathAccess access;
  uint32_t error_code = 0;
  if (!platform::ReadHandleAccess(folder, &access, &error_code) || !access.dacl_present || !access.dacl_protected) {
    return false;
  }
  constexpr uint32_t kFileAllAccess = 0x1F01FF;
  std::vector<std::wstring> full;
  for (const platform::AccessEntry& entry : access.entries) {
    const bool everything = entry.access_mask == platform::kGenericAll ||
                            (entry.access_mask & kFileAllAccess) == kFileAllAccess;
    if (!entry.allow || !IsTrustedAccount(entry.trustee_sid) || !everything) return false;
    if (!entry.inherit_only) full.push_back(entry.trustee_sid);
  }
  for (const platform::AccessGrant& grant : ProtectedGrants()) {
    if (std::find(full.begin(), full.end(), grant.trustee_sid) == full.end()) return false;
  }
  return true;
}

// Opens (or, with |make|, makes) |name| inside |parent| and checks it.
OpenResult OpenChecked(const platform::FileHandle& parent, const std::wstring& parent_final, const std::wstring& name,
                       const std::wstring& path, bool make, platform::FileHandle* folder, std::string* message) {
  uint32_t error_code = 0;
  if (make && platform::CreateDirectoryAt(parent, name, ProtectedGrants(), kAdministrators, folder, &error_code)) {
    return CheckFolder(*folder, parent_final + L"\\" + name, WideToUtf8(path), message) ? OpenResult::kOpened
                                                                                          : OpenResult::kRefused;
  }
  if (make && error_code != platform::kErrorAlreadyExists) {
    *message = "folder " + WideToUtf8(path) + " could not be created (error " + std::to_string(error_code) + ")";
    return OpenResult::kFailed;
  }
  if (!platform::OpenDirectoryAt(parent, name, make, folder, &error_code)) {
    if (IsNotFound(error_code)) return OpenResult::kMissing;
    if (error_code == platform::kErrorDirectory) {
      *message = "folder " + WideToUtf8(path) + " is not a directory; left untouched";
      return OpenResult::kRefused;
    }
    *message = "folder " + WideToUtf8(path) + " could not be opened (error " + std::to_string(error_code) + ")";
    return OpenResult::kFailed;
  }
  if (!CheckFolder(*folder, parent_final + L"\\" + name, WideToUtf8(path), message)) {
    folder->Reset();
    return OpenResult::kRefused;
  }
  // Ours, or the system's: its list may have been loosened since.
  if (make && !HoldsProtectedList(*folder)) platform::SetProtectedDaclOn(*folder, ProtectedGrants(), &error_code);
  return OpenResult::kOpened;
}

}  // namespace

bool IsTrustedAccount(const std::wstring& sid) {
  if (sid == kLocalSystem || sid == kAdministrators) return true;
  std::wstring own;
  uint32_t error_code = 0;
  return platform::ProcessUserSid(&own, &error_code) && sid == own;
}

std::wstring ServiceDataDirectory() {
  std::wstring program_data;
  const size_t result = platform::ReadProcessEnvironment(L"ProgramData", kProgramDataChars, &program_data);
  if (result == 0 || result >= kProgramDataChars) program_data = L"C:\\ProgramData";
  return program_data + L"\\Quorvane";
}

const std::vector<platform::AccessGrant>& ProtectedGrants() {
  static const std::vector<platform::AccessGrant> grants = {
      {kLocalSystem, platform::kGenericAll, platform::kSubContainersAndObjectsInherit},
      {kAdministrators, platform::kGenericAll, platform::kSubContainersAndObjectsInherit},
  };
  return grants;
}

OpenResult OpenServiceFolder(const std::wstring& leaf, bool make, ServiceFolder* folder, std::string* message) {
  const std::wstring root = ServiceDataDirectory();
  const std::wstring program_data = root.substr(0, root.find_last_of(L'\\'));
  uint32_t error_code = 0;
  // ProgramData itself is the system's; it is only made where it is missing.
  if (make && !platform::CreateDirectories(program_data, &error_code)) {
    *message = "create_directories failed";
    return OpenResult::kFailed;
  }
  platform::FileHandle parent;
  platform::HandleFacts parent_facts;
  if (!platform::OpenDirectoryAt(platform::FileHandle(), program_data, false, &parent, &error_code) ||
      !platform::ReadHandleFacts(parent, &parent_facts, &error_code)) {
    if (IsNotFound(error_code)) return OpenResult::kMissing;
    *message = "folder " + WideToUtf8(program_data) + " could not be opened (error " + std::to_string(error_code) + ")";
    return OpenResult::kFailed;
  }
  platform::FileHandle quorvane;
  const OpenResult opened =
      OpenChecked(parent, parent_facts.final_path, L"Quorvane", root, make, &quorvane, message);
  if (opened != OpenResult::kOpened || leaf.empty()) {
    folder->handle = std::move(quorvane);
    folder->path = root;
    return opened;
  }
  folder->path = root + L"\\" + leaf;
  return OpenChecked(quorvane, parent_facts.final_path + L"\\Quorvane", leaf, folder->path, make, &folder->handle,
                     message);
}

bool EnsureServiceFolders(std::string* message) {
  for (const wchar_t* leaf : kServiceFolderLeaves) {
    ServiceFolder folder;
    if (OpenServiceFolder(leaf, true, &folder, message) != OpenResult::kOpened) return false;
  }
  return true;
}

std::vector<std::string> UnsafeServiceFolders() {
  std::vector<std::string> unsafe;
  std::string message;
  ServiceFolder folder;
  const auto unsafe_at = [&](const std::wstring& leaf) {
    const OpenResult opened = OpenServiceFolder(leaf, false, &folder, &message);
    return opened != OpenResult::kOpened && opened != OpenResult::kMissing;
  };
  if (unsafe_at(L"")) return {message};
  for (const wchar_t* leaf : kServiceFolderLeaves) {
    if (unsafe_at(leaf)) unsafe.push_back(message);
  }
  return unsafe;
}

}  // namespace quorvane
