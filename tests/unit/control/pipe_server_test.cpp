#include "control/pipe_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "control_test_support.h"

namespace quorvane {
namespace {

using platform::fake::PipeExchange;
using platform::fake::PipeExchangeAs;

class PipeServerTest : public ControlTestBase {
 protected:
  // A client that takes an instance and sends nothing; 0 when none could connect.
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
    // The users' pipe's: the administrators' pipe has instances of its own.
    for (const std::string& line : platform::fake::Journal()) made += line == "CreatePipeInstance \\\\.\\pipe\\QuorvaneVpn";
    return made;
  }
  // Waits (bounded) until |count| instances were asked for.
  static void WaitForInstances(int count) {
    for (int i = 0; i < 5000 && InstancesMade() < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // Waits (bounded) until the server holds all its instances.
  void WaitUntilServing() {
    const auto held = [this] {
      std::lock_guard<std::mutex> guard(state_->server.lock);
      return state_->server.instances.size();
    };
    for (int i = 0; i < 5000 && held() < kPipeInstances; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // Every instance taken by a client that sent nothing.
  static std::vector<uint64_t> TakeEveryInstance() {
    std::vector<uint64_t> clients;
    for (uint32_t i = 0; i < kPipeInstances; ++i) clients.push_back(ConnectWithoutWriting());
    return clients;
  }
};

TEST_F(PipeServerTest, EightKeptInstances_ServeEveryClientWithTheirFlagsAndOwner) {
  Start();
  WaitUntilServing();
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(PipeExchange(kPipeName, kStatusRequest).rfind("{\"ok\":true", 0), 0u);
    // The server holds the name's whole limit: no other instance can be made,
    // even by an administrator, even between two exchanges.
    platform::PipeInstanceOptions options;
    options.max_instances = kPipeInstances;
    platform::PipeHandle squatter;
    uint32_t error_code = 0;
    EXPECT_FALSE(platform::CreatePipeInstance(kPipeName, options, nullptr, &squatter, &error_code));
    EXPECT_EQ(error_code, platform::kErrorPipeBusy);
  }
  StopPipeServer(state_.get());
  EXPECT_EQ(InstancesMade(), 8 + 5) << "the server's eight, and the five the test tried";
  const platform::PipeInstanceOptions options = platform::fake::LastPipeOptions(kPipeName);
  EXPECT_EQ(options.open_mode, 0x40040003u);  // duplex, overlapped, write DAC; only the first asks to be first
  EXPECT_EQ(options.pipe_mode, 0xEu);         // message type and read mode, remote clients refused
  EXPECT_EQ(options.max_instances, 8u);
  EXPECT_EQ(platform::fake::LastPipeOwner(kPipeName), L"S-1-5-18");
}

TEST_F(PipeServerTest, InstanceThatBreaks_IsMadeAnewAndTheNextClientServed) {
  const struct {
    const char* operation;
    uint32_t error_code;
    int instances;
  } cases[] = {
      {"WaitForPipeClient", 232, 8},      // a client that came and went: disconnected, kept
      {"DisconnectPipe", 6, 9},          // cannot be disconnected: made anew
  };
  for (const auto& c : cases) {
    platform::fake::Reset();
    platform::fake::FailNextCall(c.operation, c.error_code);
    Start();
    WaitForInstances(kPipeInstances);
    const std::string first = PipeExchange(kPipeName, kStatusRequest);
    EXPECT_EQ(PipeExchange(kPipeName, kStatusRequest).rfind("{\"ok\":true", 0), 0u) << c.operation << first;
    WaitForInstances(c.instances);
    StopPipeServer(state_.get());
    EXPECT_EQ(InstancesMade(), c.instances) << c.operation;
  }
}

// Its limit would let the server join it: only the first-instance flag keeps
// the server out of another process's pipe.
TEST_F(PipeServerTest, NameHeldByAnotherPipe_IsReportedAndTakenOnceFree) {
  platform::PipeHandle squatter;
  platform::PipeInstanceOptions roomy;
  roomy.max_instances = 255;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::CreatePipeInstance(kPipeName, roomy, nullptr, &squatter, &error_code));
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
      EXPECT_EQ(platform::fake::LastPipeOwner(kPipeName), expected);
    }
    StopPipeServer(state_.get());
  }
}

TEST_F(PipeServerTest, EightClientsAtOnce_AreAllAnswered) {
  Start();
  std::vector<std::future<int>> clients;
  for (int c = 0; c < 8; ++c) {
    clients.push_back(std::async(std::launch::async, [] {
      int answered = 0;
      for (int i = 0; i < 5; ++i) answered += PipeExchange(kPipeName, kStatusRequest).rfind("{\"ok\":true", 0) == 0;
      return answered;
    }));
  }
  int answered = 0;
  for (auto& client : clients) answered += client.get();
  EXPECT_EQ(answered, 40);
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

TEST_F(PipeServerTest, StalledClients_LoseTheirTurnAndTheNextIsServed) {
  Start();
  WaitUntilServing();
  const std::vector<uint64_t> stalled = TakeEveryInstance();
  // Served once the stalled clients' time is up (kRequestWaitMs).
  EXPECT_EQ(PipeExchange(kPipeName, kStatusRequest, 2 * kRequestWaitMs).rfind("{\"ok\":true", 0), 0u);
  for (const uint64_t client : stalled) {
    ASSERT_NE(client, 0u);
    std::string reply;
    EXPECT_FALSE(platform::fake::ReadPipeClient(client, 10, &reply)) << "no reply for a request never sent";
    platform::fake::ClosePipeClient(client);
  }
}

// One session's processes that open the pipe and send nothing hold at most
// its share of the instances: the rest are told at once, another session is
// served, and the drops are said.
TEST_F(PipeServerTest, OneSessionsIdleOpeners_LeaveInstancesForAnotherSession) {
  Start();
  WaitUntilServing();
  const platform::PipeCaller first{L"S-1-5-21-7-500", 1, true};
  const platform::PipeCaller second{L"S-1-5-21-7-501", 2, true};
  std::vector<uint64_t> openers;
  int busy = 0;
  for (uint32_t i = 0; i < kPipeInstances; ++i) {
    uint32_t error_code = 0;
    uint64_t client = 0;
    for (int tries = 0; tries < 1000 && client == 0; ++tries) {
      client = platform::fake::ConnectPipeClientAs(kPipeName, first, platform::fake::kPipeClientAccess, &error_code);
    }
    ASSERT_NE(client, 0u);
    std::string reply;
    if (platform::fake::ReadPipeClient(client, 50, &reply)) busy += reply == kSessionShareBusy;
    openers.push_back(client);
  }
  EXPECT_EQ(busy, static_cast<int>(kPipeInstances) - kSessionShare);
  EXPECT_EQ(PipeExchangeAs(kPipeName, second, kStatusRequest).rfind("{\"ok\":true", 0), 0u);
  EXPECT_TRUE(Eventually([] {
    return platform::fake::StderrText().find(L"sent nothing within 1 s and lost their instance") != std::wstring::npos;
  }));
  for (const uint64_t client : openers) platform::fake::ClosePipeClient(client);
}

// The administrators' pipe admits administrators alone, however busy the
// users' pipe is, and gives them the reports in full.
TEST_F(PipeServerTest, AdministratorsPipe_AdmitsAdministratorsAloneWithTheFullReports) {
  Start();
  WaitUntilServing();
  const platform::PipeCaller user{L"S-1-5-21-7-1001", 1, false};
  const platform::PipeCaller admin{L"S-1-5-21-7-500", 1, true};
  const std::vector<uint64_t> busy = TakeEveryInstance();  // the users' pipe is full
  EXPECT_EQ(PipeExchangeAs(kAdminPipeName, user, kStatusRequest), "<pipe unavailable 5>");
  const std::string full = PipeExchangeAs(kAdminPipeName, admin, kStatusRequest);
  EXPECT_EQ(full.rfind("{\"ok\":true", 0), 0u) << full;
  EXPECT_FALSE(Contains(full, "\"gateway\":\"\"")) << "nothing left blank for an administrator";
  for (const uint64_t client : busy) platform::fake::ClosePipeClient(client);
  EXPECT_TRUE(Contains(PipeExchange(kPipeName, kStatusRequest), "\"gateway\":\"\"")) << "the users' pipe tells less";
}

// A client that sends its request and never reads the reply (a flush would
// wait for it for ever) loses its turn after kReplyWaitMs.
TEST_F(PipeServerTest, ClientThatNeverReadsItsReply_LosesItsTurn) {
  for (const bool stop_meanwhile : {false, true}) {
    Start();
    WaitUntilServing();
    const std::vector<uint64_t> silent = TakeEveryInstance();
    for (const uint64_t client : silent) ASSERT_TRUE(platform::fake::WritePipeClient(client, kStatusRequest));
    if (stop_meanwhile) {
      StopPipeServer(state_.get());  // returns once the reply waits gave up
      EXPECT_TRUE(state_->server.threads.empty());
    } else {
      EXPECT_EQ(PipeExchange(kPipeName, kStatusRequest, 2 * kReplyWaitMs).rfind("{\"ok\":true", 0), 0u);
      StopPipeServer(state_.get());
    }
    for (const uint64_t client : silent) {
      std::string reply;
      while (platform::fake::ReadPipeClient(client, 10, &reply)) {
      }  // the reply it never read is gone with its turn
      EXPECT_FALSE(platform::fake::ReadPipeClient(client, 10, &reply));
      platform::fake::ClosePipeClient(client);
    }
  }
}

TEST_F(PipeServerTest, Stop_WakesAnIdleServerAndIsRepeatable) {
  Start();
  EXPECT_EQ(PipeExchange(kPipeName, kStatusRequest).rfind("{\"ok\":true", 0), 0u);
  StopPipeServer(state_.get());
  EXPECT_TRUE(state_->server.threads.empty());
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
  EXPECT_TRUE(state_->server.threads.empty());
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
    const auto grants = platform::fake::LastPipeSecurity(kPipeName);
    ASSERT_TRUE(grants.has_value());
    ASSERT_EQ(grants->size(), c.entries);
    EXPECT_EQ((*grants)[0].trustee_sid, L"S-1-5-18");
    EXPECT_EQ((*grants)[1].trustee_sid, L"S-1-5-32-544");
    EXPECT_EQ((*grants)[1].access_mask, 0x10000000u);
    EXPECT_EQ((*grants)[1].inheritance, 0u);
    if (c.console_user) {
      EXPECT_EQ((*grants)[2].trustee_sid, L"S-1-5-21-1-2-3-1001");
      EXPECT_EQ((*grants)[2].access_mask, 0x12018Bu) << "read, write data and attributes; no new instance";
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
    const auto grants = platform::fake::LastPipeSecurity(kPipeName);
    for (const platform::AccessGrant& grant : *grants) {
      if (grant.access_mask == platform::kPipeUserAccess) sids.push_back(grant.trustee_sid);
    }
    return sids;
  };
  Start();
  WaitUntilServing();
  EXPECT_EQ(PipeExchange(kPipeName, kStatusRequest).rfind("{\"ok\":true", 0), 0u);
  EXPECT_EQ(users(), (std::vector<std::wstring>{L"S-1-5-21-9-1001", L"S-1-5-21-9-1002"}));
  EXPECT_EQ(platform::fake::PipeSecurityChanges(), 0);

  // Someone connects over RDP after the service started; another's session
  // ends. The list follows at the session change, with no client in between.
  const platform::PipeCaller joining{L"S-1-5-21-9-1004", 4, false};
  const platform::PipeCaller leaving{L"S-1-5-21-9-1002", 2, false};
  EXPECT_EQ(PipeExchangeAs(kPipeName, joining, kStatusRequest), "<pipe unavailable 5>");
  platform::fake::SeedSessions({{1, platform::kSessionActive, platform::kProtocolConsole},
                                {4, platform::kSessionActive, platform::kProtocolRdp}});
  RefreshPipeAccess(state_.get());
  EXPECT_EQ(users(), (std::vector<std::wstring>{L"S-1-5-21-9-1001", L"S-1-5-21-9-1004"}));
  EXPECT_EQ(PipeExchangeAs(kPipeName, joining, kStatusRequest).rfind("{\"ok\":true", 0), 0u);
  EXPECT_EQ(PipeExchangeAs(kPipeName, leaving, kStatusRequest), "<pipe unavailable 5>");
  RefreshPipeAccess(state_.get());  // nothing changed: the list stays
  EXPECT_EQ(platform::fake::PipeSecurityChanges(), 1);
  StopPipeServer(state_.get());
  EXPECT_EQ(InstancesMade(), 8) << "the kept instances got the new list";
}

// Generic write would hold the right to add an instance (FILE_APPEND_DATA is
// FILE_CREATE_PIPE_INSTANCE on a pipe): a user admitted to the pipe must not
// be able to add one that the clients would take for the service's.
TEST_F(PipeServerTest, AdmittedUser_CannotAddAnInstance) {
  platform::fake::SetConsoleSession(1);
  platform::fake::SetSessionUserSid(1, L"S-1-5-21-9-1001");
  const struct {
    const wchar_t* account;
    bool administrator;
    bool added;
  } cases[] = {{L"S-1-5-21-9-1001", false, false}, {L"S-1-5-21-9-500", true, true}, {L"S-1-5-18", true, true}};
  for (const auto& c : cases) {
    platform::PipeSecurity security;
    uint32_t error_code = 0;
    ASSERT_TRUE(platform::BuildPipeSecurity(PipeServerGrants(), L"S-1-5-18", &security, &error_code));
    platform::PipeInstanceOptions options;
    options.max_instances = kPipeInstances;
    platform::PipeHandle first;
    ASSERT_TRUE(platform::CreatePipeInstance(kPipeName, options, &security, &first, &error_code));
    platform::fake::SetProcessAccount(c.account, c.administrator);
    platform::PipeHandle added;
    EXPECT_EQ(platform::CreatePipeInstance(kPipeName, options, nullptr, &added, &error_code), c.added);
    if (!c.added) {
      EXPECT_EQ(error_code, 5u);
    }
    platform::fake::SetProcessAccount(L"S-1-5-18", true);
  }
}

TEST_F(PipeServerTest, FailedInstanceCreation_IsRetried) {
  const uint32_t all = kPipeInstances + kAdminPipeInstances;
  for (uint32_t i = 0; i < all; ++i) platform::fake::FailNextCall("CreatePipeInstance", 5);
  Start();
  EXPECT_EQ(PipeExchange(kPipeName, kStatusRequest).rfind("{\"ok\":true", 0), 0u);
  EXPECT_TRUE(Eventually([this] {
    std::lock_guard<std::mutex> guard(state_->server.lock);
    return state_->server.instances.size() == kPipeInstances && state_->server.admin_instances == 2;
  }));
  int made = 0;
  for (const std::string& line : platform::fake::Journal()) made += line.rfind("CreatePipeInstance", 0) == 0;
  EXPECT_EQ(made, 2 * static_cast<int>(all)) << "each failed once, then made";
}

}  // namespace
}  // namespace quorvane
