// The per-tunnel Windows service, "QuorvaneVpnTunnel$Active": this same
// program started with "/service" and the configuration path. The service's
// existence and state in the Service Control Manager are the only state.
#pragma once

#include <string>

namespace quorvane {

struct TunnelManager {
  // Replaces any earlier tunnel service by one that runs |config_path| and
  // starts it, without waiting for it to run. On failure |error| (when given)
  // holds the fixed error text.
  static bool Start(const std::wstring& config_path, std::string* error);
  // Stops the tunnel service (at most 15 one-second polls) and marks it for
  // deletion. Always true: nothing here can be done differently on failure.
  static bool Stop(std::string* error);
};

std::wstring TunnelServiceName();

// Whether the tunnel service exists and its state is running.
bool IsTunnelRunning();

}  // namespace quorvane
