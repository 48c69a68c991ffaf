// The per-tunnel Windows service, "QuorvaneVpnTunnel$Active": this same
// program started with "/service" and the configuration path. The service's
// existence and state in the Service Control Manager are the only state.
#pragma once

#include <atomic>
#include <string>

namespace quorvane {

struct TunnelManager {
  // Replaces any earlier tunnel service by one that runs |config_path| and
  // starts it, without waiting for it to run (WaitForTunnelRunning does). On
  // failure |error| (when given) holds the fixed error text.
  static bool Start(const std::wstring& config_path, std::string* error);
  // Stops the tunnel service (waiting at most kTunnelStopBoundMs for it) and
  // marks it for deletion. Always true: nothing here can be done differently
  // on failure.
  static bool Stop(std::string* error);
};

// The tunnel library reports start-pending while it builds the adapter, its
// addresses and routes, and running only then; the stop takes as long as the
// teardown. Both waits poll often so that they cost what the tunnel costs.
constexpr uint32_t kTunnelPollMs = 10;
constexpr uint32_t kTunnelStartBoundMs = 30000;
constexpr uint32_t kTunnelStopBoundMs = 15000;
// A stopped service marked for deletion goes when the last handle to it is
// closed; another program may hold one for a moment.
constexpr uint32_t kTunnelDeleteBoundMs = 5000;

// Waits until the tunnel service reports running. False, with a message that
// says why, when it stopped first (naming its exit code), could not be
// queried, did not run within kTunnelStartBoundMs, or |cancel| was set (a
// disconnect sent meanwhile).
bool WaitForTunnelRunning(const std::atomic<bool>* cancel, std::string* message);
constexpr char kConnectCancelledMessage[] =
    "a disconnect cancelled the connect before the tunnel service reported running";

std::wstring TunnelServiceName();

// Whether the tunnel service exists and its state is running.
bool IsTunnelRunning();

}  // namespace quorvane
