#include "host/service_runtime.h"

#include "common/windows_events.h"

#include <atomic>
#include <system_error>
#include <thread>

#include "common/service_log.h"
#include "common/utc_time_text.h"
#include "control/control_state.h"
#include "control/pipe_server.h"
#include "host/entry_modes.h"
#include "platform/process.h"
#include "platform/service_control.h"
#include "platform/service_dispatch.h"
#include "host/service_install.h"
#include "common/safe_mode_settings.h"
#include "common/startup_record.h"
#include "host/startup_report.h"

namespace quorvane {
namespace {

constexpr uint32_t kRunningPollMs = 500;
constexpr uint32_t kCleanUpPollMs = 10;
// While the stop is under way the manager hears of progress this often, and
// is told to expect the next word within the hint.
constexpr uint32_t kStopProgressMs = 1000;
constexpr uint32_t kStopWaitHintMs = 5000;
// The pipe server could not start: stopped with this service-specific code.
constexpr uint32_t kExitPipeServerNotStarted = 1;

std::atomic<bool> g_service_running{false};
std::atomic<bool> g_service_main_done{true};

void Report(const platform::ServiceStatusReport& report) {
  uint32_t error_code = 0;
  platform::ReportServiceStatus(report, &error_code);
}

void Report(uint32_t state, uint32_t controls_accepted) { Report({state, controls_accepted, 0, 0, 0, 0}); }

// Stops the pipe server, and with it any request in flight, on a thread of
// its own, and tells the manager of the progress until it has ended: a
// connect in hand may take longer than the manager waits without news.
void StopWithProgress() {
  std::atomic<bool> stopped{false};
  std::thread stopper;
  try {
    stopper = std::thread([&stopped] {
      // Nothing may escape the thread, and the wait below must end.
      try {
        StopCurrentPipeServer();
      } catch (...) {
      }
      stopped = true;
    });
  } catch (const std::system_error&) {
    StopCurrentPipeServer();  // no thread to spare: stop without the news
    return;
  }
  uint32_t checkpoint = 1;
  while (!stopped) {
    Report({platform::kServiceStopPending, 0, 0, 0, checkpoint++, kStopWaitHintMs});
    for (uint32_t waited = 0; waited < kStopProgressMs && !stopped; waited += kCleanUpPollMs) {
      platform::SleepMilliseconds(kCleanUpPollMs);
    }
  }
  stopper.join();
}

}  // namespace

void ServiceMain() {
  g_service_main_done = false;
  uint32_t error_code = 0;
  if (!platform::RegisterServiceControlHandler(kControlServiceName, HandleServiceControl, &error_code)) {
    g_service_main_done = true;
    return;
  }
  Report(platform::kServiceStartPending, 0);
  SetServiceMode(true);
  SetServiceLogEnabled(true);
  SetServiceStartTime(CurrentUtcTimeText());
  ControlState* state = MakeCurrentControlState();
  std::string error;
  if (!StartPipeServer(state, &error)) {
    // Without its pipe the service can do nothing: it says so by its exit code.
    ReportWindowsEvent(platform::EventType::kError, "QuorvaneVpnService could not start: " + error);
    DestroyCurrentControlState();
    Report({platform::kServiceStopped, 0, platform::kErrorServiceSpecificError, kExitPipeServerNotStarted, 0, 0});
    g_service_main_done = true;
    return;
  }
  PrintStartupReport();
  g_service_running = true;
  // Session changes (logon, logoff, RDP connect) give the pipe a new access list.
  Report(platform::kServiceRunning, platform::kServiceAcceptStop | platform::kServiceAcceptSessionChange);
  ReportStarted();
  // Session changes reach the handler from RUNNING on: a logon between the
  // pipe's first access list and this report is taken in once, now.
  RefreshCurrentPipeAccess();
  while (g_service_running) platform::SleepMilliseconds(kRunningPollMs);
  StopWithProgress();
  DestroyCurrentControlState();
  ReportWindowsEvent(platform::EventType::kInformation, "QuorvaneVpnService stopped.");
  Report(platform::kServiceStopped, 0);
  g_service_main_done = true;
}

// Answers at once, as Windows expects of a control handler: the stop itself
// is the service main routine's.
void HandleServiceControl(uint32_t control) {
  if (control == platform::kServiceControlSessionChange) RefreshCurrentPipeAccess();
  if (control != platform::kServiceControlStop) return;
  Report({platform::kServiceStopPending, 0, 0, 0, 0, kStopWaitHintMs});
  g_service_running = false;
}

int RunServiceDispatcher() {
  uint32_t error_code = 0;
  if (!platform::RunServiceDispatcher(kControlServiceName, ServiceMain, &error_code)) {
    return static_cast<int>(error_code);
  }
  // The dispatcher returns once "stopped" was reported, which the service
  // main routine does as its last word: let it finish before the process ends.
  while (!g_service_main_done) platform::SleepMilliseconds(kCleanUpPollMs);
  return 0;
}

}  // namespace quorvane
