// "--console": the control service in the foreground until Ctrl+C, Ctrl+Break
// or the console closes.
#include "host/console_control.h"
#include "control/control_state.h"
#include "control/pipe_server.h"
#include "host/entry_modes.h"
#include "platform/process.h"
#include "host/startup_report.h"

namespace quorvane {

int RunConsoleMode() {
  uint32_t error_code = 0;
  platform::InstallConsoleControlHandler(HandleConsoleControlEvent, &error_code);
  PrintStartupReport();
  ControlState* state = MakeCurrentControlState();
  std::string error;
  if (!StartPipeServer(state, &error)) {
    platform::WriteStderr(L"[Quorvane] pipe server thread could not start\n");
    DestroyCurrentControlState();
    return 1;
  }
  platform::WriteStdout(std::wstring(L"QuorvaneVpnService IPC on ") + kPipeName + L" (passive startup)\n");
  SetForegroundRunning(true);
  while (ForegroundRunning()) platform::SleepMilliseconds(100);
  DestroyCurrentControlState();
  return 0;
}

}  // namespace quorvane
