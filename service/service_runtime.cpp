#include "service_runtime.h"

#include <atomic>

#include "common/utc_time_text.h"
#include "control/control_state.h"
#include "control/pipe_server.h"
#include "entry_modes.h"
#include "platform/process.h"
#include "platform/service_control.h"
#include "platform/service_dispatch.h"
#include "service_install.h"
#include "startup_record.h"
#include "startup_report.h"

namespace quorvane {
namespace {

constexpr uint32_t kRunningPollMs = 500;
constexpr uint32_t kCleanUpPollMs = 10;

std::atomic<bool> g_service_running{false};
std::atomic<bool> g_service_main_done{true};

void Report(uint32_t state, uint32_t controls_accepted) {
  uint32_t error_code = 0;
  platform::ReportServiceStatus(state, controls_accepted, &error_code);
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
  SetServiceStartTime(CurrentUtcTimeText());
  ControlState* state = MakeCurrentControlState();
  std::string error;
  StartPipeServer(state, &error);
  PrintStartupReport();
  g_service_running = true;
  Report(platform::kServiceRunning, platform::kServiceAcceptStop);
  while (g_service_running) platform::SleepMilliseconds(kRunningPollMs);
  StopCurrentPipeServer();
  DestroyCurrentControlState();
  g_service_main_done = true;
}

void HandleServiceControl(uint32_t control) {
  if (control != platform::kServiceControlStop) return;
  Report(platform::kServiceStopPending, 0);
  g_service_running = false;
  StopCurrentPipeServer();
  Report(platform::kServiceStopped, 0);
}

int RunServiceDispatcher() {
  uint32_t error_code = 0;
  if (!platform::RunServiceDispatcher(kControlServiceName, ServiceMain, &error_code)) {
    return static_cast<int>(error_code);
  }
  // The dispatcher returns once "stopped" was reported, which the control
  // handler does before the service main routine has released the control
  // state: let it finish before the process ends.
  while (!g_service_main_done) platform::SleepMilliseconds(kCleanUpPollMs);
  return 0;
}

}  // namespace quorvane
