#include "tunnel/active_conf_store.h"

#include "common/protected_folder.h"
#include "platform/files.h"
#include "startup_record.h"

namespace quorvane {
namespace {

constexpr size_t kScrubBytes = 4096;

void SetError(std::string* error, const char* text) {
  if (error != nullptr) *error = text;
}

// The not-found class of errors counts as "no file"; any other error is a
// status that cannot be known.
bool IsNotFoundError(uint32_t error_code) {
  switch (error_code) {
    case platform::kErrorFileNotFound:
    case platform::kErrorPathNotFound:
    case platform::kErrorBadNetPath:
    case platform::kErrorInvalidName:
    case platform::kErrorDirectory:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::wstring TunnelDirectory() { return ServiceDataDirectory() + L"\\tunnels"; }

std::wstring ActiveConfPath() { return TunnelDirectory() + L"\\active.conf"; }

bool ApplyProtectedAcl(const std::wstring& path) {
  uint32_t error_code = 0;
  return platform::SetProtectedDacl(path, ProtectedGrants(), &error_code);
}

bool WriteActiveConf(const TunnelProfile& profile, std::string* error) {
  CheckNetworkMutation(kMutationWriteActiveConf);
  NoteStartupConfigWritten();

  std::wstring directory;
  std::string refused;
  if (!EnsureServiceFolder(L"tunnels", &directory, &refused)) {
    if (error != nullptr) *error = refused;
    return false;
  }

  const std::wstring temporary_path = directory + L"\\active.conf.tmp";
  const std::wstring active_path = directory + L"\\active.conf";
  const std::string text = RenderWireGuardConfig(profile);

  // Made anew with the protection from its first moment and shared with
  // nobody while the private key is in it; a leftover from a crash goes first.
  uint32_t error_code = 0;
  platform::DeleteFilePath(temporary_path, &error_code);
  platform::FileHandle file;
  if (!platform::CreateProtectedFile(temporary_path, ProtectedGrants(), &file, &error_code)) {
    SetError(error, "open tmp failed");
    return false;
  }
  // Flushed before the rename: MOVEFILE_WRITE_THROUGH flushes only a move done
  // as copy and delete, and a crash must leave the old file or the new one.
  const bool written = platform::WriteFileBytes(file, text, &error_code) && platform::FlushFile(file, &error_code);
  const bool closed = platform::CloseFile(&file, &error_code);
  if (!written || !closed) {
    platform::DeleteFilePath(temporary_path, &error_code);
    SetError(error, "write tmp failed");
    return false;
  }

  if (!platform::MoveFileWithFlags(temporary_path, active_path,
                                   platform::kMoveFileReplaceExisting | platform::kMoveFileWriteThrough,
                                   &error_code)) {
    SetError(error, "rename active.conf failed");
    return false;
  }
  ApplyProtectedAcl(active_path);
  return true;
}

bool DeleteActiveConf(std::string* error) {
  const std::wstring active_path = ActiveConfPath();
  uint32_t attributes = 0;
  uint32_t error_code = 0;
  if (!platform::GetPathAttributes(active_path, &attributes, &error_code)) {
    if (IsNotFoundError(error_code)) return true;
    // The file may be there: a status that cannot be read is a failed delete,
    // never an end of the service.
    SetError(error, "delete active.conf failed");
    return false;
  }

  // Truncated first, so a longer configuration leaves no key material behind
  // the zeros; a file that cannot be opened is still deleted.
  platform::FileHandle file;
  if (platform::OpenFileForWrite(active_path, &file, &error_code)) {
    platform::WriteFileBytes(file, std::string(kScrubBytes, '\0'), &error_code);
    platform::CloseFile(&file, &error_code);
  }
  if (!platform::DeleteFilePath(active_path, &error_code)) {
    SetError(error, "delete active.conf failed");
    return false;
  }
  return true;
}

}  // namespace quorvane
