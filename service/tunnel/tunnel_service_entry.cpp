#include "tunnel/tunnel_service_entry.h"

#include <atomic>

#include "common/service_log.h"
#include "platform/library.h"
#include "platform/service_control.h"
#include "platform/service_dispatch.h"
#include "tunnel/tunnel_manager.h"

namespace quorvane {

namespace {

// The tunnel service prints nothing; its log line says how it ended.
int Ended(int exit_code, const char* why) {
  LogLine(std::string("[Quorvane][tunnel] tunnel service entry ended with exit code ") + std::to_string(exit_code) +
          ": " + why);
  return exit_code;
}

std::atomic<uint32_t> g_failure_code{0};

void IgnoreControls(uint32_t) {}

// The whole life of a tunnel service that has no library to run: it says
// why it stopped.
void ReportFailedStart() {
  uint32_t error_code = 0;
  if (!platform::RegisterServiceControlHandler(TunnelServiceName(), IgnoreControls, &error_code)) return;
  platform::ReportServiceStatus(
      {platform::kServiceStopped, 0, platform::kErrorServiceSpecificError, g_failure_code.load(), 0, 0}, &error_code);
}

// Outside the service manager (the dispatcher refuses) there is nobody to tell.
int Failed(int exit_code, const char* why) {
  g_failure_code = static_cast<uint32_t>(exit_code);
  uint32_t error_code = 0;
  platform::RunServiceDispatcher(TunnelServiceName(), ReportFailedStart, &error_code);
  return Ended(exit_code, why);
}

}  // namespace

int RunTunnelService(const std::wstring& config_path) {
  if (config_path.empty()) return 1;
  SetServiceLogEnabled(true, LogHolding::kEachLine);  // started by the service manager alone
  platform::LibraryHandle library;
  uint32_t error_code = 0;
  if (!platform::LoadLibraryFromSafeFolders(L"tunnel.dll", &library, &error_code)) {
    return Failed(kTunnelExitLibraryMissing, "tunnel.dll not found beside the program or in System32");
  }
  platform::WideTextEntry entry = nullptr;
  if (!platform::FindWideTextEntry(library, "WireGuardTunnelService", &entry)) {
    return Failed(kTunnelExitExportMissing, "tunnel.dll has no WireGuardTunnelService");
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
