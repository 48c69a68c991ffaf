#include "control/pipe_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "control_test_support.h"

namespace quorvane {
namespace {

using platform::fake::PipeExchange;

class PipeServerTest : public ControlTestBase {
 protected:
  // A client that takes the one instance and sends nothing; 0 when none could connect.
  static uint64_t ConnectWithoutWriting() {
    uint32_t error_code = 0;
    uint64_t client = 0;
    for (int i = 0; i < 1000 && client == 0; ++i) {
      client = platform::fake::ConnectPipeClient(kPipeName, &error_code);
      if (client == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return client;
  }
  void Start() {
    std::string error;
    ASSERT_TRUE(StartPipeServer(state_.get(), &error)) << error;
  }
};

TEST_F(PipeServerTest, ServesOneRequestPerConnectionInTurn) {
  Start();
  for (int i = 0; i < 3; ++i) {
    const std::string reply = PipeExchange(kPipeName, kStatusRequest);
    EXPECT_EQ(reply.rfind("{\"ok\":true,\"phase\":\"disconnected\",\"tunnel_running\":false,", 0), 0u) << reply;
  }
  EXPECT_EQ(PipeExchange(kPipeName, "{\"op\":\"nope\"}"),
            "{\"ok\":false,\"error\":\"unknown_op\",\"message\":\"unsupported operation\"}");
  StopPipeServer(state_.get());
  EXPECT_FALSE(StartupPassive()) << "a stop marks the start-up record as shutting down";
}

TEST_F(PipeServerTest, LongRequests_AreCutAt65535BytesAndServed) {
  Start();
  // The op key sits at the very end: inside the first 65535 bytes, or cut off.
  const std::string tail = "\"op\":\"status\"}";
  const std::string exact = "{\"pad\":\"" + std::string(65535 - 8 - 2 - tail.size(), 'x') + "\"," + tail;
  ASSERT_EQ(exact.size(), 65535u);
  EXPECT_EQ(PipeExchange(kPipeName, exact).rfind("{\"ok\":true,\"phase\":\"disconnected\"", 0), 0u);
  const std::string longer = "{\"pad\":\"" + std::string(70000, 'x') + "\"," + tail;
  EXPECT_EQ(PipeExchange(kPipeName, longer),
            "{\"ok\":false,\"error\":\"unknown_op\",\"message\":\"unsupported operation\"}");
  // A NUL ends the request text.
  EXPECT_EQ(PipeExchange(kPipeName, std::string("{\"op\":\"status\"}\0garbage", 23)).rfind("{\"ok\":true", 0), 0u);
}

TEST_F(PipeServerTest, StalledClient_LosesItsTurnAndTheNextIsServed) {
  Start();
  const uint64_t stalled = ConnectWithoutWriting();
  ASSERT_NE(stalled, 0u);
  // Served once the stalled client's time is up (kRequestWaitMs).
  EXPECT_EQ(PipeExchange(kPipeName, kStatusRequest, 2 * kRequestWaitMs).rfind("{\"ok\":true", 0), 0u);
  std::string reply;
  EXPECT_FALSE(platform::fake::ReadPipeClient(stalled, 10, &reply)) << "no reply for a request never sent";
  platform::fake::ClosePipeClient(stalled);
}

TEST_F(PipeServerTest, Stop_WakesAnIdleServerAndIsRepeatable) {
  Start();
  EXPECT_EQ(PipeExchange(kPipeName, kStatusRequest).rfind("{\"ok\":true", 0), 0u);
  StopPipeServer(state_.get());
  EXPECT_FALSE(state_->server_thread.joinable());
  StopPipeServer(state_.get());
  uint32_t error_code = 0;
  EXPECT_EQ(platform::fake::ConnectPipeClient(kPipeName, &error_code), 0u);
  // Started again after a stop.
  Start();
  EXPECT_EQ(PipeExchange(kPipeName, kStatusRequest).rfind("{\"ok\":true", 0), 0u);
}

TEST_F(PipeServerTest, StopWhileServingAStalledClient_EndsWithinTheRequestWait) {
  Start();
  const uint64_t stalled = ConnectWithoutWriting();
  ASSERT_NE(stalled, 0u);
  StopPipeServer(state_.get());  // returns once the stalled read gave up
  EXPECT_FALSE(state_->server_thread.joinable());
  platform::fake::ClosePipeClient(stalled);
}

TEST_F(PipeServerTest, Security_GrantsSystemAdministratorsAndTheConsoleUser) {
  const struct {
    bool console_user;
    size_t entries;
  } cases[] = {{false, 2}, {true, 3}};
  for (const auto& c : cases) {
    platform::fake::SetConsoleSession(1);
    if (c.console_user) platform::fake::SetSessionUserSid(1, L"S-1-5-21-1-2-3-1001");
    Start();
    EXPECT_EQ(PipeExchange(kPipeName, kStatusRequest).rfind("{\"ok\":true", 0), 0u);
    StopPipeServer(state_.get());
    const auto grants = platform::fake::LastPipeSecurity();
    ASSERT_TRUE(grants.has_value());
    ASSERT_EQ(grants->size(), c.entries);
    EXPECT_EQ((*grants)[0].trustee_sid, L"S-1-5-18");
    EXPECT_EQ((*grants)[1].trustee_sid, L"S-1-5-32-544");
    EXPECT_EQ((*grants)[1].access_mask, 0x10000000u);
    EXPECT_EQ((*grants)[1].inheritance, 0u);
    if (c.console_user) {
      EXPECT_EQ((*grants)[2].trustee_sid, L"S-1-5-21-1-2-3-1001");
      EXPECT_EQ((*grants)[2].access_mask, 0xC0100000u);
    }
  }
}

TEST_F(PipeServerTest, FailedInstanceCreation_IsRetried) {
  platform::fake::FailNextCall("CreatePipeInstance", 5);
  Start();
  EXPECT_EQ(PipeExchange(kPipeName, kStatusRequest).rfind("{\"ok\":true", 0), 0u);
  EXPECT_GE(platform::fake::SleptMilliseconds(), 500u);
}

}  // namespace
}  // namespace quorvane
