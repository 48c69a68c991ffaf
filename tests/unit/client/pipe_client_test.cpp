// The shared pipe client's decisions: what it waits for, what it answers at
// once, and whom it talks to, on the fake's pipes.
#include "pipe_client.h"

#include <gtest/gtest.h>

#include <thread>

#include "fake_pipe_client_io.h"
#include "fake_windows_test.h"

namespace quorvane_windows_vpn {
namespace {

constexpr wchar_t kPipe[] = L"\\\\.\\pipe\\QuorvaneClientTest";
const platform::PipeCaller kUser{L"S-1-5-21-7-1001", 1, false};

class PipeClientTest : public FakeWindowsTest {
 protected:
  void TearDown() override {
    pipe_io::SetFakeClientUser(platform::fake::SystemCaller());
    FakeWindowsTest::TearDown();
  }
  // A pipe of |instances| instances owned by |owner| that admits the system
  // account, Administrators and |admitted|; made by |owner| where that is a user.
  void MakePipe(uint32_t instances, const std::wstring& owner, const std::wstring& admitted) {
    const bool user_owner = owner != L"S-1-5-18" && owner != L"S-1-5-32-544";
    if (user_owner) platform::fake::SetProcessAccount(owner, false);
    uint32_t error_code = 0;
    platform::PipeSecurity security;
    ASSERT_TRUE(platform::BuildPipeSecurity({{L"S-1-5-18", platform::kGenericAll, 0},
                                             {L"S-1-5-32-544", platform::kGenericAll, 0},
                                             {admitted, platform::kPipeUserAccess, 0}},
                                            owner, &security, &error_code));
    platform::PipeInstanceOptions options;
    options.max_instances = instances;
    for (uint32_t i = 0; i < instances; ++i) {
      pipes_.emplace_back();
      ASSERT_TRUE(platform::CreatePipeInstance(kPipe, options, &security, &pipes_.back(), &error_code));
    }
    platform::fake::SetProcessAccount(L"S-1-5-18", true);
  }
  // Answers one request on the first instance with "pong:" and the request.
  void ServeOnce() {
    uint32_t error_code = 0;
    platform::StopEvent never;
    platform::CreateStopEvent(&never, &error_code);
    std::string request;
    if (!platform::WaitForPipeClient(pipes_[0], never, &error_code) && error_code != platform::kErrorPipeConnected) {
      return;
    }
    platform::ReadPipeMessage(pipes_[0], 100, 5000, &request, &error_code);
    platform::WritePipeMessage(pipes_[0], "pong:" + request, 1000, nullptr, &error_code);
    platform::WaitForPipeClientDone(pipes_[0], 5000, &error_code);
    platform::DisconnectPipe(pipes_[0], &error_code);
  }
  std::vector<platform::PipeHandle> pipes_;
};

TEST_F(PipeClientTest, OpenOutcomes_AnswerAtOnceOrAfterTheirWait) {
  const struct {
    const char* label;
    bool pipe;
    const wchar_t* owner;
    const wchar_t* admitted;
    bool busy_for_ever;
    const char* reply;
    bool waited;
  } cases[] = {
      {"no pipe of the name", false, L"", L"", false, kPipeUnavailableReply, false},
      {"the list does not admit the user", true, L"S-1-5-18", L"S-1-5-21-7-2002", false, kPipeAccessDeniedReply,
       false},
      {"another process's pipe", true, L"S-1-5-21-7-2002", L"S-1-5-21-7-1001", false,
       "{\"ok\":false,\"error\":\"pipe_server_untrusted\",\"message\":\"held by process 4321 (unit_client)\"}", false},
      {"busy past the bound", true, L"S-1-5-18", L"S-1-5-21-7-1001", true, kPipeBusyReply, true},
  };
  for (const auto& c : cases) {
    pipes_.clear();
    if (c.pipe) MakePipe(1, c.owner, c.admitted);
    uint32_t error_code = 0;
    const uint64_t holder =
        c.busy_for_ever ? platform::fake::ConnectPipeClient(kPipe, &error_code) : 0;  // takes the one instance
    pipe_io::SetFakeClientUser(kUser);
    EXPECT_EQ(SendPipeRequest("{}", kPipe), c.reply) << c.label;
    EXPECT_EQ(pipe_io::FakeClientWaits() > 0, c.waited) << c.label;
    if (holder != 0) platform::fake::ClosePipeClient(holder);
  }
}

// Every instance taken: the client waits for one to come free and is served.
TEST_F(PipeClientTest, BusyPipe_IsWaitedForAndServed) {
  MakePipe(2, L"S-1-5-18", L"S-1-5-21-7-1001");
  uint32_t error_code = 0;
  const uint64_t first = platform::fake::ConnectPipeClient(kPipe, &error_code);
  const uint64_t second = platform::fake::ConnectPipeClient(kPipe, &error_code);
  ASSERT_NE(first, 0u);
  ASSERT_NE(second, 0u);
  pipe_io::SetFakeClientUser(kUser);
  // Once the client waits, the first exchange ends and its instance listens again.
  std::thread server([&] {
    for (int i = 0; i < 5000 && pipe_io::FakeClientWaits() == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    platform::fake::ClosePipeClient(first);
    uint32_t code = 0;
    platform::DisconnectPipe(pipes_[0], &code);
    ServeOnce();
  });
  EXPECT_EQ(SendPipeRequest("ping", kPipe), "pong:ping");
  EXPECT_GT(pipe_io::FakeClientWaits(), 0);
  server.join();
  platform::fake::ClosePipeClient(second);
}

}  // namespace
}  // namespace quorvane_windows_vpn
