#include "tunnel/active_conf_store.h"

#include "common/protected_folder.h"
#include "platform/files.h"
#include "common/startup_record.h"

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

  // The private key is in it: made protected and unshared, and flushed, so
  // that a crash leaves the old file or the new one.
  const std::wstring active_path = directory + L"\\active.conf";
  ReplaceStep failed = ReplaceStep::kNone;
  if (!ReplaceFileAtomically(active_path, RenderWireGuardConfig(profile), &failed)) {
    SetError(error, failed == ReplaceStep::kOpen    ? "open tmp failed"
                    : failed == ReplaceStep::kWrite ? "write tmp failed"
                                                    : "rename active.conf failed");
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
