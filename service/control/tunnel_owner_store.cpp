#include "control/tunnel_owner_store.h"

#include "common/folder_files.h"
#include "common/service_log.h"
#include "common/wide_text.h"
#include "tunnel/tunnel_manager.h"

namespace quorvane {
namespace {

constexpr char kHeader[] = "# quorvane tunnel owner 1";

void Complain(const std::string& what, const std::string& message) {
  Diagnose(L"[Quorvane][tunnel_owner] " + Utf8ToWide(what + ": " + CapLoggedText(message)) + L"\n");
}

}  // namespace

void StoreTunnelOwner(const std::wstring& owner_sid, const std::string& node) {
  std::string message;
  ServiceFolder folder;
  if (OpenServiceFolder(L"state", true, &folder, &message) != OpenResult::kOpened) {
    return Complain("the tunnel's owner could not be recorded", message);
  }
  ReplaceStep failed = ReplaceStep::kNone;
  const std::string text = std::string(kHeader) + "\n" + WideToUtf8(owner_sid) + "\n" + node + "\n";
  if (!ReplaceFolderFile(folder, kTunnelOwnerName, text, false, &failed, &message)) {
    Complain("the tunnel's owner could not be recorded", message);
  }
}

void ForgetStoredTunnelOwner() {
  if (!ServiceFileMayExist(L"state", kTunnelOwnerName)) return;
  std::string message;
  ServiceFolder folder;
  if (OpenServiceFolder(L"state", false, &folder, &message) != OpenResult::kOpened ||
      !DeleteFolderFile(folder, kTunnelOwnerName, false, &message)) {
    Complain("the record of the tunnel's owner could not be removed", message);
  }
}

bool ReadStoredTunnelOwner(std::wstring* owner_sid, std::string* node) {
  std::string text, message;
  bool present = false;
  if (!ReadServiceFile(L"state", kTunnelOwnerName, &text, &present, &message) || !present) return false;
  const std::string prefix = std::string(kHeader) + "\n";
  if (text.compare(0, prefix.size(), prefix) != 0) return false;
  const size_t sid_end = text.find('\n', prefix.size());
  if (sid_end == std::string::npos || sid_end == prefix.size()) return false;
  const size_t node_end = text.find('\n', sid_end + 1);
  if (node_end == std::string::npos) return false;
  *owner_sid = Utf8ToWide(text.substr(prefix.size(), sid_end - prefix.size()));
  *node = text.substr(sid_end + 1, node_end - sid_end - 1);
  return true;
}

void RestoreTunnelOwner(ControlState* state) {
  if (TunnelServiceGone()) {
    ForgetStoredTunnelOwner();
    return;
  }
  std::wstring owner;
  std::string node;
  const bool recorded = ReadStoredTunnelOwner(&owner, &node);
  {
    std::lock_guard<std::mutex> guard(state->state_lock);
    if (recorded) {
      state->phase = kPhaseConnected;
      state->node = node;
    }
    state->tunnel_owner = recorded ? owner : kUnknownTunnelOwner;
  }
  Diagnose(recorded ? L"[Quorvane] the tunnel found running is " + owner + L"'s, as recorded\n"
                    : std::wstring(L"[Quorvane] the tunnel found running has no record of its owner: only "
                                   L"administrators may change it\n"));
}

}  // namespace quorvane
