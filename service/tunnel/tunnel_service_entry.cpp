#include "tunnel/tunnel_service_entry.h"

#include "common/service_log.h"
#include "platform/library.h"

namespace quorvane {

namespace {

// The tunnel service prints nothing; its log line says how it ended.
int Ended(int exit_code, const char* why) {
  LogLine(std::string("[Quorvane][tunnel] tunnel service entry ended with exit code ") + std::to_string(exit_code) +
          ": " + why);
  return exit_code;
}

}  // namespace

int RunTunnelService(const std::wstring& config_path) {
  if (config_path.empty()) return 1;
  SetServiceLogEnabled(true);  // started by the service manager alone
  platform::LibraryHandle library;
  uint32_t error_code = 0;
  if (!platform::LoadLibraryFromSafeFolders(L"tunnel.dll", &library, &error_code)) {
    return Ended(2, "tunnel.dll not found beside the program or in System32");
  }
  platform::WideTextEntry entry = nullptr;
  if (!platform::FindWideTextEntry(library, "WireGuardTunnelService", &entry)) {
    return Ended(3, "tunnel.dll has no WireGuardTunnelService");
  }
  // Blocks for the tunnel's whole life.
  const int32_t result = entry(config_path.c_str());
  // Never freed once called: the WireGuard library is a Go runtime, which
  // cannot be unloaded; freeing it could fault the process after it reported
  // stopped and lose its exit code. The process ends right after.
  library.Release();
  return result != 0 ? Ended(0, "the tunnel library ran") : Ended(4, "the tunnel library reported a failure");
}

}  // namespace quorvane
