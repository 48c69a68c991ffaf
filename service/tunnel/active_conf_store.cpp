#include "tunnel/active_conf_store.h"

#include "common/folder_files.h"
#include "common/startup_record.h"

namespace quorvane {
namespace {

void SetError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}

}  // namespace

std::wstring TunnelDirectory() { return ServiceDataDirectory() + L"\\tunnels"; }

std::wstring ActiveConfPath() { return TunnelDirectory() + L"\\" + kActiveConfName; }

bool WriteActiveConf(const TunnelProfile& profile, std::string* error) {
  CheckNetworkMutation(kMutationWriteActiveConf);
  NoteStartupConfigWritten();

  ServiceFolder folder;
  std::string message;
  if (OpenServiceFolder(L"tunnels", true, &folder, &message) != OpenResult::kOpened) {
    SetError(error, message);
    return false;
  }
  // The private key is in it: made protected and unshared, and flushed, so
  // that a crash leaves the old file or the new one.
  ReplaceStep failed = ReplaceStep::kNone;
  if (ReplaceFolderFile(folder, kActiveConfName, RenderWireGuardConfig(profile), true, &failed, &message)) return true;
  const std::string fixed = failed == ReplaceStep::kOpen    ? "open tmp failed"
                            : failed == ReplaceStep::kWrite ? "write tmp failed"
                                                            : "rename active.conf failed";
  SetError(error, fixed + ": " + message);
  return false;
}

bool ActiveConfPresent() { return ServiceFileMayExist(L"tunnels", kActiveConfName); }

bool DeleteActiveConf(std::string* error) {
  ServiceFolder folder;
  std::string message;
  const OpenResult opened = OpenServiceFolder(L"tunnels", false, &folder, &message);
  if (opened == OpenResult::kMissing) return true;
  // Written over with zeros first, so that no key material outlives the name.
  if (opened == OpenResult::kOpened && DeleteFolderFile(folder, kActiveConfName, true, &message)) return true;
  SetError(error, "delete active.conf failed: " + message);
  return false;
}

}  // namespace quorvane
