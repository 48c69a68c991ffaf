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
  // failure |error| (when given) holds the fixed error text, followed by
  // " (error N)" where Windows gave a code.
  static bool Start(const std::wstring& config_path, std::string* error);
  // Stops the tunnel service and marks it for deletion. A service still
  // starting accepts no stop: it is waited for (at most
  // kTunnelStartPendingStopBoundMs) and stopped once it runs. One still
  // pending then, or that does not stop within kTunnelStopBoundMs, has its
  // process ended, which |note| (when given) then says. True once the service
  // is gone (stopped or absent); false, with |note| saying why, while it may
  // still run: nothing that depends on it may be undone then.
  static bool Stop(std::string* note);
};

// The tunnel library reports start-pending while it builds the adapter, its
// addresses and routes, and running only then; the stop takes as long as the
// teardown. Both waits follow the manager's notifications, so that they cost
// what the tunnel costs; where the system refuses them, they look once a
// second. A connect's wait looks at its cancel flag this often.
constexpr uint32_t kStatusLookMs = 1000;
constexpr uint32_t kCancelLookMs = 250;
// How often a stopped service marked for deletion is looked for until it has gone.
constexpr uint32_t kTunnelDeleteLookMs = 50;
// Longer than the library's own start: it resolves the endpoint's name first,
// retrying a temporary failure 10 times 4 s apart. QUORVANE_POC_TUNNEL_START_SECONDS
// sets another.
constexpr uint32_t kTunnelStartBoundMs = 90000;
constexpr uint32_t kTunnelStopBoundMs = 15000;
// How long a stop waits for a tunnel still starting to leave start-pending.
constexpr uint32_t kTunnelStartPendingStopBoundMs = 120000;
// The exit code a tunnel process ended as the last resort is given
// (ERROR_PROCESS_ABORTED, as Windows reports a service whose process died).
constexpr uint32_t kTunnelProcessEndedExitCode = 1067;
// A stopped service marked for deletion goes when the last handle to it is
// closed; another program may hold one for a moment.
constexpr uint32_t kTunnelDeleteBoundMs = 5000;

// Waits until the tunnel service reports running. False, with a message that
// says why, when it stopped first (naming its exit code), could not be
// queried, did not run within the start bound, or |cancel| was set (a
// disconnect sent meanwhile).
bool WaitForTunnelRunning(const std::atomic<bool>* cancel, std::string* message);
constexpr char kConnectCancelledMessage[] =
    "a disconnect cancelled the connect before the tunnel service reported running";

std::wstring TunnelServiceName();

// Whether the tunnel service exists and its state is running.
bool IsTunnelRunning();
// Whether no tunnel service can run: none exists, or it has stopped.
bool TunnelServiceGone();

}  // namespace quorvane
