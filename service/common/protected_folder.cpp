#include "common/protected_folder.h"

#include "common/wide_text.h"
#include "platform/environment.h"
#include "platform/process.h"

namespace quorvane {
namespace {

constexpr size_t kProgramDataChars = 260;
constexpr wchar_t kLocalSystem[] = L"S-1-5-18";
constexpr wchar_t kAdministrators[] = L"S-1-5-32-544";

bool TrustedOwner(const std::wstring& owner) {
  if (owner == kLocalSystem || owner == kAdministrators) return true;
  std::wstring own;
  uint32_t error_code = 0;
  return platform::ProcessUserSid(&own, &error_code) && owner == own;
}

// Whether the folder that exists at |path| may be trusted; the reason when not.
bool CheckExistingFolder(const std::wstring& path, std::string* message) {
  const std::string name = WideToUtf8(path);
  uint32_t error_code = 0;
  platform::PathFacts facts;
  if (!platform::ReadPathFacts(path, &facts, &error_code)) {
    *message = "folder " + name + " could not be checked (error " + std::to_string(error_code) + ")";
    return false;
  }
  if ((facts.attributes & platform::kFileAttributeReparsePoint) != 0) {
    *message = "folder " + name + " is a junction or link; refusing to write through it";
    return false;
  }
  if ((facts.attributes & platform::kFileAttributeDirectory) == 0) {
    *message = "folder " + name + " is not a directory";
    return false;
  }
  if (!TrustedOwner(facts.owner_sid)) {
    *message = "folder " + name + " is owned by " + WideToUtf8(facts.owner_sid) +
               ", not by the system account or Administrators; refusing to write into it";
    return false;
  }
  return true;
}

bool EnsureOneFolder(const std::wstring& path, std::string* message) {
  uint32_t error_code = 0;
  if (platform::CreateProtectedDirectory(path, ProtectedGrants(), kAdministrators, &error_code)) return true;
  if (error_code != platform::kErrorAlreadyExists) {
    *message = "folder " + WideToUtf8(path) + " could not be created (error " + std::to_string(error_code) + ")";
    return false;
  }
  if (!CheckExistingFolder(path, message)) return false;
  // Ours, or the system's: its list may have been loosened since.
  platform::SetProtectedDacl(path, ProtectedGrants(), &error_code);
  return true;
}

}  // namespace

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

bool EnsureServiceFolder(const std::wstring& leaf, std::wstring* path, std::string* message) {
  const std::wstring root = ServiceDataDirectory();
  *path = root + L"\\" + leaf;
  uint32_t error_code = 0;
  // ProgramData itself is the system's; it is only made where it is missing.
  const std::wstring program_data = root.substr(0, root.find_last_of(L'\\'));
  if (!platform::CreateDirectories(program_data, &error_code)) {
    *message = "create_directories failed";
    return false;
  }
  return EnsureOneFolder(root, message) && EnsureOneFolder(*path, message);
}

bool EnsureServiceFolders(std::string* message) {
  std::wstring path;
  for (const wchar_t* leaf : kServiceFolderLeaves) {
    if (!EnsureServiceFolder(leaf, &path, message)) return false;
  }
  return true;
}

std::vector<std::string> UnsafeServiceFolders() {
  const std::wstring root = ServiceDataDirectory();
  std::vector<std::wstring> paths = {root};
  for (const wchar_t* leaf : kServiceFolderLeaves) paths.push_back(root + L"\\" + leaf);
  std::vector<std::string> unsafe;
  for (const std::wstring& path : paths) {
    uint32_t attributes = 0, error_code = 0;
    std::string message;
    if (platform::GetPathAttributes(path, &attributes, &error_code) && !CheckExistingFolder(path, &message)) {
      unsafe.push_back(message);
    }
  }
  return unsafe;
}

bool ReplaceFileAtomically(const std::wstring& path, const std::string& bytes, ReplaceStep* failed) {
  const std::wstring temporary_path = path + L".tmp";
  uint32_t error_code = 0;
  platform::DeleteFilePath(temporary_path, &error_code);
  platform::FileHandle file;
  if (!platform::CreateProtectedFile(temporary_path, ProtectedGrants(), &file, &error_code)) {
    *failed = ReplaceStep::kOpen;
    return false;
  }
  // Flushed before the rename: MOVEFILE_WRITE_THROUGH flushes only a move done
  // as copy and delete.
  const bool written = platform::WriteFileBytes(file, bytes, &error_code) && platform::FlushFile(file, &error_code);
  const bool closed = platform::CloseFile(&file, &error_code);
  if (!written || !closed) {
    platform::DeleteFilePath(temporary_path, &error_code);
    *failed = ReplaceStep::kWrite;
    return false;
  }
  if (!platform::MoveFileWithFlags(temporary_path, path,
                                   platform::kMoveFileReplaceExisting | platform::kMoveFileWriteThrough,
                                   &error_code)) {
    *failed = ReplaceStep::kRename;
    return false;
  }
  *failed = ReplaceStep::kNone;
  return true;
}

}  // namespace quorvane
