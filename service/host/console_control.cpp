#include "host/console_control.h"

#include <atomic>

#include "control/control_state.h"

namespace quorvane {
namespace {

std::atomic<bool> g_foreground_running{false};

}  // namespace

void SetForegroundRunning(bool running) { g_foreground_running.store(running); }

bool ForegroundRunning() { return g_foreground_running.load(); }

bool HandleConsoleControlEvent(uint32_t event) {
  constexpr uint32_t kCtrlC = 0;
  constexpr uint32_t kCtrlBreak = 1;
  constexpr uint32_t kClose = 2;
  if (event != kCtrlC && event != kCtrlBreak && event != kClose) return false;
  g_foreground_running.store(false);
  StopCurrentPipeServer();
  return true;
}

}  // namespace quorvane
