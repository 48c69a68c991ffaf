#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "host/command_line.h"
#include "control/pipe_protocol.h"
#include "fake_windows_test.h"
#include "routes/admin_bypass.h"

namespace quorvane {
namespace {

class ConsoleModeTest : public FakeWindowsTest {
 protected:
  void TearDown() override {
    ResetAdminBypassRecords();
    FakeWindowsTest::TearDown();
  }
};

TEST_F(ConsoleModeTest, ServesThePipeUntilCtrlC) {
  platform::fake::SetConsoleSession(1);
  std::future<int> run = std::async(std::launch::async, [] { return RunCommandLine({L"--console"}); });
  const std::wstring started = L"QuorvaneVpnService IPC on \\\\.\\pipe\\QuorvaneVpn (passive startup)\n";
  bool seen = false;
  for (int i = 0; i < 2000 && !seen; ++i) {
    seen = platform::fake::StdoutText().find(started) != std::wstring::npos;
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(seen) << "start message missing";
  const std::wstring out = platform::fake::StdoutText();
  EXPECT_EQ(out.rfind(L"[Quorvane] passive startup report: {", 0), 0u) << "the report comes first";
  EXPECT_EQ(platform::fake::PipeExchange(kPipeName, "{\"v\":1,\"op\":\"status\"}").rfind("{\"ok\":true", 0), 0u);

  // No session-change control reaches a console program: it looks at the
  // sessions itself, and a user who logs on gets in.
  const platform::PipeCaller user{L"S-1-5-21-7-1001", 1, false};
  EXPECT_EQ(platform::fake::PipeExchangeAs(kPipeName, user, "{\"op\":\"status\"}"), "<pipe unavailable 5>");
  platform::fake::SetSessionUserSid(1, user.user_sid);
  std::string reply;
  for (int i = 0; i < 2000 && reply.rfind("{\"ok\":true", 0) != 0; ++i) {
    reply = platform::fake::PipeExchangeAs(kPipeName, user, "{\"op\":\"status\"}");
    if (reply.rfind("{\"ok\":true", 0) != 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(reply.rfind("{\"ok\":true", 0), 0u) << reply;

  EXPECT_TRUE(platform::fake::RaiseConsoleEvent(0));
  ASSERT_EQ(run.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(run.get(), 0);
  uint32_t error_code = 0;
  EXPECT_EQ(platform::fake::ConnectPipeClient(kPipeName, &error_code), 0u) << "the pipe is gone";
}

}  // namespace
}  // namespace quorvane
