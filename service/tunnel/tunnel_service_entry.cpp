#include "tunnel/tunnel_service_entry.h"

#include "platform/library.h"

namespace quorvane {

int RunTunnelService(const std::wstring& config_path) {
  if (config_path.empty()) return 1;
  platform::LibraryHandle library;
  uint32_t error_code = 0;
  if (!platform::LoadLibraryFromSafeFolders(L"tunnel.dll", &library, &error_code)) return 2;
  platform::WideTextEntry entry = nullptr;
  if (!platform::FindWideTextEntry(library, "WireGuardTunnelService", &entry)) return 3;
  // Blocks for the tunnel's whole life.
  const int32_t result = entry(config_path.c_str());
  // Never freed once called: the WireGuard library is a Go runtime, which
  // cannot be unloaded; freeing it could fault the process after it reported
  // stopped and lose its exit code. The process ends right after.
  library.Release();
  return result != 0 ? 0 : 4;
}

}  // namespace quorvane
