// The per-tunnel service's process: "/service <conf>" hands the configuration
// path to the WireGuard tunnel library, which registers with the Service
// Control Manager itself and runs the tunnel until the service stops.
#pragma once

#include <string>

namespace quorvane {

// Exit codes: 0 the library ran and reported success, 1 no path, 2
// "tunnel.dll" did not load, 3 it has no "WireGuardTunnelService", 4 the
// library reported failure. Nothing is printed.
int RunTunnelService(const std::wstring& config_path);

}  // namespace quorvane
