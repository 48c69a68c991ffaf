// The plugin's pipe client against pipe servers of the test's own making.
#include "pipe_client.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <thread>

#include "unique_handle.h"

namespace {

using platform::win32::UniqueHandle;
using quorvane_windows_vpn::SendPipeRequest;

constexpr wchar_t kTestPipe[] = L"\\\\.\\pipe\\QuorvanePipeClientTest";

// One message-mode instance that takes one request and answers with |reply|
// (or, without one, disconnects without writing).
class OneShotServer {
 public:
  explicit OneShotServer(const std::string* reply)
      : pipe_(CreateNamedPipeW(kTestPipe, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                               1, 1 << 17, 1 << 17, 0, nullptr)) {
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

TEST(PipeClient, Request_IsWrittenUnchangedAsOneMessage) {
  const std::string reply = "{\"ok\":true}";
  OneShotServer server(&reply);
  EXPECT_EQ(SendPipeRequest("{\"op\":\"x\"}\n", kTestPipe), reply);
  EXPECT_EQ(server.Join(), "{\"op\":\"x\"}\n");
}

}  // namespace
