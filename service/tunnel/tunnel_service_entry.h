// The per-tunnel service's process: "/service <conf>" hands the configuration
// path to the WireGuard tunnel library, which registers with the Service
// Control Manager itself and runs the tunnel until the service stops.
#pragma once

#include <string>

namespace quorvane {

constexpr int kTunnelExitLibraryMissing = 2;
constexpr int kTunnelExitExportMissing = 3;

// Exit codes: 0 the library ran and reported success, 1 no path, 2
// "tunnel.dll" did not load, 3 it has no "WireGuardTunnelService", 4 the
// library reported failure. Nothing is printed. Without the library nobody
// would tell the service manager why the service never ran: for 2 and 3 the
// entry runs a dispatcher of its own that reports the service stopped with
// that code as its service-specific exit code.
int RunTunnelService(const std::wstring& config_path);

}  // namespace quorvane
