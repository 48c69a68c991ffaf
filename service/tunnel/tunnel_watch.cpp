#include "tunnel/tunnel_watch.h"

#include <system_error>

#include "platform/service_control.h"
#include "tunnel/tunnel_manager.h"

namespace quorvane {
namespace {

bool Same(const TunnelSnapshot& a, const TunnelSnapshot& b) {
  return a.known == b.known && a.exists == b.exists && a.state == b.state && a.process_id == b.process_id &&
         a.win32_exit_code == b.win32_exit_code && a.service_specific_exit_code == b.service_specific_exit_code;
}

void Publish(TunnelWatch* watch, const TunnelSnapshot& now) {
  TunnelSnapshot before;
  {
    std::lock_guard<std::mutex> guard(watch->lock);
    before = watch->snapshot;
    if (Same(before, now)) return;
    watch->snapshot = now;
  }
  if (watch->on_change) watch->on_change(before, now);
}

TunnelSnapshot FromStatus(const platform::ServiceStatus& status) {
  return TunnelSnapshot{true, true, status.state, status.process_id, status.win32_exit_code,
                        status.service_specific_exit_code};
}

// Waits for a kick or the idle bound; false once the watch ends.
bool IdleWait(TunnelWatch* watch) {
  std::unique_lock<std::mutex> guard(watch->lock);
  watch->wake.wait_for(guard, std::chrono::milliseconds(kWatchIdleLookMs),
                       [watch] { return watch->kicked || !watch->running; });
  watch->kicked = false;
  return watch->running;
}

// Follows an open service while it may run; returns when it has stopped, is
// being deleted (the handle must go so that it can), notifications are
// refused, or the watch ends.
void FollowOpenService(TunnelWatch* watch, const platform::ScHandle& service, platform::ServiceStatus status) {
  uint32_t error_code = 0;
  while (watch->running && status.state != platform::kServiceStopped) {
    platform::ServiceStatus changed;
    if (platform::ScmWaitStatusChange(service, status.state, kWatchRefreshMs, watch->stop, &changed, &error_code)) {
      status = changed;
    } else if (error_code != platform::kErrorTimeout ||
               !platform::ScmQueryStatus(service, &status, &error_code)) {
      return;
    }
    Publish(watch, FromStatus(status));
  }
}

// One look: open, query, and follow while it may run. The handles are closed
// before the next idle wait, so that a stopped service marked for deletion
// can go.
void LookAndFollow(TunnelWatch* watch) {
  platform::ScHandle manager;
  uint32_t error_code = 0;
  if (!platform::ScmOpenManager(platform::kScManagerConnect, &manager, &error_code)) return;
  platform::ScHandle service;
  if (!platform::ScmOpenService(manager, TunnelServiceName(), platform::kServiceQueryStatus, &service,
                                &error_code)) {
    if (error_code == platform::kErrorServiceDoesNotExist) {
      TunnelSnapshot missing;
      missing.known = true;
      missing.state = platform::kServiceStopped;
      Publish(watch, missing);
    }
    return;
  }
  platform::ServiceStatus status;
  if (!platform::ScmQueryStatus(service, &status, &error_code)) return;
  Publish(watch, FromStatus(status));
  FollowOpenService(watch, service, status);
}

void WatchLoop(TunnelWatch* watch) {
  do {
    // Nothing may escape the thread; a look that ran out of memory is tried again.
    try {
      LookAndFollow(watch);
    } catch (...) {
    }
  } while (IdleWait(watch));
}

}  // namespace

bool SnapshotRunning(const TunnelSnapshot& snapshot) { return snapshot.state == platform::kServiceRunning; }

bool SnapshotGone(const TunnelSnapshot& snapshot) {
  return snapshot.known && (!snapshot.exists || snapshot.state == platform::kServiceStopped);
}

bool StartTunnelWatch(TunnelWatch* watch, const platform::StopEvent* stop) {
  if (watch->running.exchange(true)) return true;
  watch->stop = stop;
  try {
    watch->thread = std::thread(WatchLoop, watch);
  } catch (const std::system_error&) {
    watch->running = false;
    return false;
  }
  return true;
}

void StopTunnelWatch(TunnelWatch* watch) {
  {
    std::lock_guard<std::mutex> guard(watch->lock);
    watch->running = false;
  }
  watch->wake.notify_all();
  if (watch->thread.joinable()) watch->thread.join();
}

void KickTunnelWatch(TunnelWatch* watch) {
  {
    std::lock_guard<std::mutex> guard(watch->lock);
    watch->kicked = true;
  }
  watch->wake.notify_all();
}

TunnelSnapshot ReadTunnelSnapshot(TunnelWatch* watch) {
  std::lock_guard<std::mutex> guard(watch->lock);
  return watch->snapshot;
}

}  // namespace quorvane
