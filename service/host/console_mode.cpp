// "--console": the control service in the foreground until Ctrl+C, Ctrl+Break
// or the console closes.
#include "host/console_control.h"
#include "control/control_state.h"
#include "control/pipe_server.h"
#include "host/entry_modes.h"
#include "platform/process.h"
#include "host/startup_report.h"
#include "common/windows_events.h"

namespace quorvane {
namespace {

constexpr uint32_t kForegroundPollMs = 100;
constexpr uint32_t kSessionPollMs = 1000;

}  // namespace

int RunConsoleMode() {
  uint32_t error_code = 0;
  platform::InstallConsoleControlHandler(HandleConsoleControlEvent, &error_code);
  PrintStartupReport();
  ControlState* state = MakeCurrentControlState();
  std::string error;
  if (!StartPipeServer(state, &error)) {
    platform::WriteStderr(L"[Quorvane] pipe server thread could not start\n");
    ReportWindowsEvent(platform::EventType::kError, "QuorvaneVpnService could not start: " + error);
    DestroyCurrentControlState();
    return 1;
  }
  platform::WriteStdout(std::wstring(L"QuorvaneVpnService IPC on ") + kPipeName + L" (passive startup)\n");
  ReportStarted();
  SetForegroundRunning(true);
  // No session-change control reaches a console program: it looks at the
  // sessions itself, so that a user who logs on can open the pipe.
  for (uint32_t waited = 0; ForegroundRunning(); waited += kForegroundPollMs) {
    if (waited % kSessionPollMs == 0) RefreshCurrentPipeAccess();
    platform::SleepMilliseconds(kForegroundPollMs);
  }
  DestroyCurrentControlState();
  ReportWindowsEvent(platform::EventType::kInformation, "QuorvaneVpnService stopped.");
  return 0;
}

}  // namespace quorvane
