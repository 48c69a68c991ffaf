// The one watcher of the tunnel service: a thread that follows its state
// through the service manager's notifications, so that status answers from
// memory and a tunnel that ends by itself is noticed at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/pipes.h"

namespace quorvane {

// What the watcher last saw of "QuorvaneVpnTunnel$Active".
struct TunnelSnapshot {
  bool known = false;   // it has looked at least once
  bool exists = false;  // registered with the manager
  uint32_t state = 0;   // the service's state; stopped (1) when it does not exist
  uint32_t process_id = 0;
  uint32_t win32_exit_code = 0;
  uint32_t service_specific_exit_code = 0;
};

bool SnapshotRunning(const TunnelSnapshot& snapshot);
// Stopped or not registered: no tunnel process can run.
bool SnapshotGone(const TunnelSnapshot& snapshot);

struct TunnelWatch {
  std::thread thread;
  std::atomic<bool> running{false};
  const platform::StopEvent* stop = nullptr;  // ends the notification waits
  // Runs on the watcher's thread after each change it saw, with the snapshot
  // before and after; it must not wait long.
  std::function<void(const TunnelSnapshot& before, const TunnelSnapshot& after)> on_change;

  std::mutex lock;  // guards what follows
  std::condition_variable wake;
  bool kicked = false;
  TunnelSnapshot snapshot;
};

// A stopped or missing service is looked at again this often, or at once
// when kicked; a running one is followed by notification (looked at once a
// second where the system refuses notifications). A notification wait ends
// after kWatchRefreshMs to look again all the same.
constexpr uint32_t kWatchIdleLookMs = 1000;
constexpr uint32_t kWatchRefreshMs = 30000;

// Starts the thread; |stop| must outlive it and be set before StopTunnelWatch.
bool StartTunnelWatch(TunnelWatch* watch, const platform::StopEvent* stop);
// Ends the thread (the stop event must be set) and waits for it.
void StopTunnelWatch(TunnelWatch* watch);
// A tunnel service was just started: looked at now rather than at the next idle look.
void KickTunnelWatch(TunnelWatch* watch);
TunnelSnapshot ReadTunnelSnapshot(TunnelWatch* watch);

}  // namespace quorvane
