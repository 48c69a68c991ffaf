#include "host/console_control.h"

#include <gtest/gtest.h>

#include "fake_windows_test.h"
#include "platform/process.h"

namespace quorvane {
namespace {

class ConsoleControlTest : public FakeWindowsTest {};

TEST_F(ConsoleControlTest, CtrlCBreakAndClose_EndTheForegroundRun) {
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::InstallConsoleControlHandler(HandleConsoleControlEvent, &error_code));
  for (uint32_t event : {0u, 1u, 2u}) {
    SetForegroundRunning(true);
    EXPECT_TRUE(platform::fake::RaiseConsoleEvent(event)) << event;
    EXPECT_FALSE(ForegroundRunning()) << event;
  }
}

TEST_F(ConsoleControlTest, OtherEvents_AreNotHandledAndKeepRunning) {
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::InstallConsoleControlHandler(HandleConsoleControlEvent, &error_code));
  for (uint32_t event : {3u, 5u, 6u}) {  // 5 log-off and 6 shut-down belong to the service runtime
    SetForegroundRunning(true);
    EXPECT_FALSE(platform::fake::RaiseConsoleEvent(event)) << event;
    EXPECT_TRUE(ForegroundRunning()) << event;
  }
  SetForegroundRunning(false);
}

}  // namespace
}  // namespace quorvane
