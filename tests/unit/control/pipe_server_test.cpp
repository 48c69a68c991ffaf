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
  static int InstancesMade() {
    int made = 0;
    for (const std::string& line : platform::fake::Journal()) made += line.rfind("CreatePipeInstance", 0) == 0;
    return made;
  }
};

TEST_F(PipeServerTest, OneKeptInstance_ServesEveryClientWithItsFlagsAndOwner) {
  Start();
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(PipeExchange(kPipeName, kStatusRequest).rfind("{\"ok\":true", 0), 0u);
    // Between two exchanges the name never lapses: no other instance can be made.
    platform::PipeHandle squatter;
    uint32_t error_code = 0;
    EXPECT_FALSE(platform::CreatePipeInstance(kPipeName, platform::PipeInstanceOptions(), nullptr, &squatter,
                                              &error_code));
  }
  StopPipeServer(state_.get());
  EXPECT_EQ(InstancesMade(), 1 + 5) << "the server's one, and the five the test tried";
  const platform::PipeInstanceOptions options = platform::fake::LastPipeOptions();
  EXPECT_EQ(options.open_mode, 0x400C0003u);  // duplex, overlapped, first instance, write DAC
  EXPECT_EQ(options.pipe_mode, 0xEu);         // message type and read mode, remote clients refused
  EXPECT_EQ(options.max_instances, 1u);
  EXPECT_EQ(platform::fake::LastPipeOwner(), L"S-1-5-18");
}

TEST_F(PipeServerTest, InstanceThatBreaks_IsMadeAnewAndTheNextClientServed) {
  const struct {
    const char* operation;
    uint32_t error_code;
    int instances;
  } cases[] = {
      {"WaitForPipeClient", 232, 1},      // a client that came and went: disconnected, kept
      {"DisconnectPipe", 6, 2},          // cannot be disconnected: made anew
  };
  for (const auto& c : cases) {
    platform::fake::Reset();
    platform::fake::FailNextCall(c.operation, c.error_code);
    Start();
    const std::string first = PipeExchange(kPipeName, kStatusRequest);
    EXPECT_EQ(PipeExchange(kPipeName, kStatusRequest).rfind("{\"ok\":true", 0), 0u) << c.operation << first;
    StopPipeServer(state_.get());
    EXPECT_EQ(InstancesMade(), c.instances) << c.operation;
  }
}

TEST_F(PipeServerTest, NameHeldByAnotherPipe_IsReportedAndTakenOnceFree) {
  platform::PipeHandle squatter;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::CreatePipeInstance(kPipeName, platform::PipeInstanceOptions(), nullptr, &squatter,
                                           &error_code));
  Start();
  for (int i = 0; i < 1000 && platform::fake::SleptMilliseconds() < 1000; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  squatter.Reset();
  EXPECT_EQ(PipeExchange(kPipeName, kStatusRequest).rfind("{\"ok\":true", 0), 0u);
  StopPipeServer(state_.get());
  EXPECT_EQ(platform::fake::StderrText(),
            L"[Quorvane] pipe server: cannot create \\\\.\\pipe\\QuorvaneVpn (error 5; another process may hold "
            L"the name); retrying every 500 ms\n"
            L"[Quorvane] pipe server: \\\\.\\pipe\\QuorvaneVpn created\n")
      << "said once each, however many retries";
}

TEST_F(PipeServerTest, Owner_IsTheSystemAccountOrElseAdministrators) {
  const struct {
    const wchar_t* account;
    bool administrator;
    const wchar_t* owner;  // empty: no pipe can be made
  } cases[] = {
      {L"S-1-5-18", true, L"S-1-5-18"},
      {L"S-1-5-21-1-2-3-500", true, L"S-1-5-32-544"},  // console mode, run by an administrator
      {L"S-1-5-21-1-2-3-1001", false, L""},            // nobody the clients would trust
  };
  for (const auto& c : cases) {
    platform::fake::Reset();
    platform::fake::SetProcessAccount(c.account, c.administrator);
    Start();
    const std::wstring expected = c.owner;
    if (expected.empty()) {
      for (int i = 0; i < 1000 && platform::fake::StderrText().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      EXPECT_NE(platform::fake::StderrText().find(L"(error 1307;"), std::wstring::npos);
    } else {
      EXPECT_EQ(PipeExchange(kPipeName, kStatusRequest).rfind("{\"ok\":true", 0), 0u);
      EXPECT_EQ(platform::fake::LastPipeOwner(), expected);
    }
    StopPipeServer(state_.get());
  }
}

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

// A client that sends its request and never reads the reply (a flush would
// wait for it for ever) loses its turn after kReplyWaitMs.
TEST_F(PipeServerTest, ClientThatNeverReadsItsReply_LosesItsTurn) {
  for (const bool stop_meanwhile : {false, true}) {
    Start();
    uint32_t error_code = 0;
    uint64_t silent = 0;
    for (int i = 0; i < 1000 && silent == 0; ++i) {
      silent = platform::fake::ConnectPipeClient(kPipeName, &error_code);
      if (silent == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_NE(silent, 0u);
    ASSERT_TRUE(platform::fake::WritePipeClient(silent, kStatusRequest));
    if (stop_meanwhile) {
      StopPipeServer(state_.get());  // returns once the reply wait gave up
      EXPECT_FALSE(state_->server_thread.joinable());
    } else {
      EXPECT_EQ(PipeExchange(kPipeName, kStatusRequest, 2 * kReplyWaitMs).rfind("{\"ok\":true", 0), 0u);
      StopPipeServer(state_.get());
    }
    std::string reply;
    EXPECT_FALSE(platform::fake::ReadPipeClient(silent, 10, &reply)) << "its reply went with its turn";
    platform::fake::ClosePipeClient(silent);
  }
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

// The users at the machine: at the console and in Remote Desktop sessions,
// each once, looked at again before every client.
TEST_F(PipeServerTest, Security_GrantsTheConsoleAndRdpUsersAndFollowsThemAsTheyChange) {
  using platform::SessionEntry;
  platform::fake::SetConsoleSession(1);
  platform::fake::SetSessionUserSid(1, L"S-1-5-21-9-1001");
  platform::fake::SetSessionUserSid(2, L"S-1-5-21-9-1002");
  platform::fake::SetSessionUserSid(3, L"S-1-5-21-9-1001");  // the console user, over RDP too
  platform::fake::SetSessionUserSid(4, L"S-1-5-21-9-1004");
  platform::fake::SeedSessions({{1, platform::kSessionActive, platform::kProtocolConsole},
                                {2, platform::kSessionActive, platform::kProtocolRdp},
                                {3, platform::kSessionActive, platform::kProtocolRdp}});
  const auto users = [] {
    std::vector<std::wstring> sids;
    const auto grants = platform::fake::LastPipeSecurity();
    for (const platform::AccessGrant& grant : *grants) {
      if (grant.access_mask == platform::kGenericReadWriteSynchronize) sids.push_back(grant.trustee_sid);
    }
    return sids;
  };
  Start();
  EXPECT_EQ(PipeExchange(kPipeName, kStatusRequest).rfind("{\"ok\":true", 0), 0u);
  EXPECT_EQ(users(), (std::vector<std::wstring>{L"S-1-5-21-9-1001", L"S-1-5-21-9-1002"}));
  EXPECT_EQ(platform::fake::PipeSecurityChanges(), 0);

  // Someone connects over RDP after the service started; another's session ends.
  platform::fake::SeedSessions({{1, platform::kSessionActive, platform::kProtocolConsole},
                                {4, platform::kSessionActive, platform::kProtocolRdp}});
  EXPECT_EQ(PipeExchange(kPipeName, kStatusRequest).rfind("{\"ok\":true", 0), 0u);  // looked at before its wait
  EXPECT_EQ(PipeExchange(kPipeName, kStatusRequest).rfind("{\"ok\":true", 0), 0u);
  EXPECT_EQ(users(), (std::vector<std::wstring>{L"S-1-5-21-9-1001", L"S-1-5-21-9-1004"}));
  EXPECT_EQ(platform::fake::PipeSecurityChanges(), 1);
  StopPipeServer(state_.get());
  EXPECT_EQ(InstancesMade(), 1) << "the kept instance got the new list";
}

TEST_F(PipeServerTest, FailedInstanceCreation_IsRetried) {
  platform::fake::FailNextCall("CreatePipeInstance", 5);
  Start();
  EXPECT_EQ(PipeExchange(kPipeName, kStatusRequest).rfind("{\"ok\":true", 0), 0u);
  EXPECT_GE(platform::fake::SleptMilliseconds(), 500u);
}

}  // namespace
}  // namespace quorvane
