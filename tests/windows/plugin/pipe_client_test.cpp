// The plugin's pipe client against pipe servers of the test's own making.
#include "pipe_client.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <thread>

#include "test/owned_test_pipe.h"
#include "unique_handle.h"

namespace {

using platform::win32::UniqueHandle;
using quorvane_windows_vpn::SendPipeRequest;

constexpr wchar_t kTestPipe[] = L"\\\\.\\pipe\\QuorvanePipeClientTest";

// One message-mode instance that takes one request and answers with |reply|
// (or, without one, disconnects without writing). Owned as the service's is,
// unless told otherwise.
class OneShotServer {
 public:
  explicit OneShotServer(const std::string* reply, const wchar_t* owner_sddl = L"SY")
      : pipe_(quorvane_windows_vpn::CreateOwnedTestPipe(kTestPipe, owner_sddl)) {
    thread_ = std::thread([this, reply] {
      if (!ConnectNamedPipe(pipe_.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
      char buffer[256];
      DWORD got = 0;
      ReadFile(pipe_.get(), buffer, sizeof(buffer), &got, nullptr);
      request_.assign(buffer, got);
      if (reply != nullptr) {
        DWORD written = 0;
        WriteFile(pipe_.get(), reply->data(), static_cast<DWORD>(reply->size()), &written, nullptr);
        FlushFileBuffers(pipe_.get());
      }
      DisconnectNamedPipe(pipe_.get());
    });
  }
  ~OneShotServer() { Join(); }
  // The request as the server read it, once it is done.
  const std::string& Join() {
    if (thread_.joinable()) thread_.join();
    return request_;
  }

 private:
  UniqueHandle pipe_;
  std::string request_;
  std::thread thread_;
};

TEST(PipeClient, NoServer_IsPipeUnavailable) {
  EXPECT_EQ(SendPipeRequest("{}", L"\\\\.\\pipe\\QuorvaneNobodyListens"), "{\"ok\":false,\"error\":\"pipe_unavailable\"}");
}

TEST(PipeClient, ServerThatClosesWithoutWriting_IsPipeReadFailed) {
  OneShotServer server(nullptr);
  EXPECT_EQ(SendPipeRequest("{\"v\":1,\"op\":\"status\"}", kTestPipe), "{\"ok\":false,\"error\":\"pipe_read_failed\"}");
}

TEST(PipeClient, Replies_UpTo65535BytesWholeLongerOnesFailAZeroByteEndsThem) {
  const struct {
    std::string reply;
    std::string expected;
  } cases[] = {
      {std::string(65535, 'r'), std::string(65535, 'r')},
      {std::string(65536, 'r'), "{\"ok\":false,\"error\":\"pipe_read_failed\"}"},
      {std::string("{\"ok\":true}\0tail", 16), "{\"ok\":true}"},
      {"", ""},
  };
  for (const auto& c : cases) {
    OneShotServer server(&c.reply);
    EXPECT_EQ(SendPipeRequest("{\"v\":1,\"op\":\"status\"}", kTestPipe), c.expected) << c.reply.size();
  }
}

// Whoever else holds the name gets nothing of the request (it carries the
// private key) and is not believed.
TEST(PipeClient, PipeNotOwnedByTheService_IsRefusedWithoutWriting) {
  // The refusal names the process that holds the name: this test program.
  const std::string untrusted = "{\"ok\":false,\"error\":\"pipe_server_untrusted\",\"message\":\"held by process " +
                                std::to_string(GetCurrentProcessId()) + " (windows_plugin_tests.exe)\"}";
  const struct {
    const wchar_t* owner;
    std::string reply;
  } cases[] = {
      {L"SY", "{\"ok\":true}"},
      {L"BA", "{\"ok\":true}"},
      {L"", untrusted},  // the creator's own account
      {L"S-1-5-21-1-2-3-1001", untrusted},
      {L"S-1-5-32-545", untrusted},  // Users
  };
  const std::string forged = "{\"ok\":true}";
  for (const auto& c : cases) {
    OneShotServer server(&forged, c.owner);
    const std::string request = "{\"v\":1,\"op\":\"connect\",\"client_private_key\":\"secret\"}";
    EXPECT_EQ(SendPipeRequest(request, kTestPipe), c.reply) << c.owner;
    const bool trusted = c.reply == forged;
    EXPECT_EQ(server.Join(), trusted ? request : "") << c.owner;
  }
}

TEST(PipeClient, Request_IsWrittenUnchangedAsOneMessage) {
  const std::string reply = "{\"ok\":true}";
  OneShotServer server(&reply);
  EXPECT_EQ(SendPipeRequest("{\"op\":\"x\"}\n", kTestPipe), reply);
  EXPECT_EQ(server.Join(), "{\"op\":\"x\"}\n");
}

}  // namespace
