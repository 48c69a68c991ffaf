// The IPC channel of the registered plugin, driven through the stand-in
// engine, against a pipe server of the test's own on the service's pipe name.
#include <flutter/encodable_value.h>
#include <flutter/standin_engine.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <thread>

#include "owned_test_pipe.h"
#include "plugin_test_support.h"
#include "ipc_messages.h"
#include "pipe_client.h"

namespace quorvane_windows_vpn {
namespace {

using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;
using flutter::standin::TestEngine;

// One exchange on "\\.\pipe\QuorvaneVpn": keeps the request, answers |reply|.
class FakeService {
 public:
  explicit FakeService(std::string reply) : reply_(std::move(reply)) {
    pipe_ = CreateOwnedTestPipe(kServicePipeName);
    thread_ = std::thread([this] {
      if (!ConnectNamedPipe(pipe_, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
      std::string buffer(65536, '\0');
      DWORD got = 0;
      ReadFile(pipe_, buffer.data(), 65535, &got, nullptr);
      request_.assign(buffer.data(), got);
      DWORD written = 0;
      WriteFile(pipe_, reply_.data(), static_cast<DWORD>(reply_.size()), &written, nullptr);
      FlushFileBuffers(pipe_);
      DisconnectNamedPipe(pipe_);
    });
  }
  ~FakeService() {
    Join();
    CloseHandle(pipe_);
  }
  const std::string& Join() {
    if (thread_.joinable()) thread_.join();
    return request_;
  }

 private:
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
  std::string reply_;
  std::string request_;
  std::thread thread_;
};

std::unique_ptr<EncodableValue> Args(EncodableMap map) { return std::make_unique<EncodableValue>(std::move(map)); }

EncodableValue Text(const char* text) { return EncodableValue(text); }

class IpcChannelTest : public testing::Test {
 protected:
  void SetUp() override { RegisterPlugin(engine_); }
  // Calls |method| with a fake service answering; the request it received.
  std::string RequestOf(const char* method, std::unique_ptr<EncodableValue> arguments) {
    FakeService service("{\"ok\":true,\"phase\":\"disconnected\"}");
    const TestEngine::Result result = engine_.CallMethod(kIpcChannel, method, std::move(arguments));
    EXPECT_EQ(result.kind, TestEngine::Result::Kind::kSuccess) << method;
    return service.Join();
  }
  static constexpr char kIpcChannel[] = "quorvane.windows_vpn/ipc";
  TestEngine engine_;
};

TEST_F(IpcChannelTest, Requests_AreTheProtocolsTextsByteForByte) {
  EXPECT_EQ(RequestOf("status", nullptr), "{\"v\":1,\"op\":\"status\"}");
  EXPECT_EQ(RequestOf("registerSession", Args({})), "{\"v\":1,\"op\":\"register_session\",\"session_nonce\":\"\"}");
  EXPECT_EQ(RequestOf("registerSession", Args({{Text("session_nonce"), Text("a\"b\\c\nd")}})),
            "{\"v\":1,\"op\":\"register_session\",\"session_nonce\":\"a\\\"b\\\\c\nd\"}");
  EXPECT_EQ(RequestOf("disconnect", nullptr), "{\"v\":1,\"op\":\"disconnect\",\"reason\":\"user_action\"}");
  EXPECT_EQ(RequestOf("disconnect", Args({})), "{\"v\":1,\"op\":\"disconnect\",\"reason\":\"\"}");
  EXPECT_EQ(RequestOf("disconnect", Args({{Text("reason"), Text("user")}})),
            "{\"v\":1,\"op\":\"disconnect\",\"reason\":\"user\"}");

  EncodableMap profile = {
      {Text("node_id"), Text("n1")},
      {Text("client_private_key"), Text("k=")},
      {Text("device_id"), Text("")},
      {Text("display_name"), EncodableValue(int32_t{7})},  // not a string: left out
      {Text("endpoint_port"), EncodableValue(int32_t{-5})},
      {Text("dns"), EncodableValue(EncodableList{EncodableValue(int32_t{1}), Text("10.8.0.1"), Text("10.8.0.2")})},
      {Text("allowed_ips"), EncodableValue(EncodableList{Text("0.0.0.0/0"), Text("::/0")})},
  };
  EXPECT_EQ(RequestOf("connect", Args({{Text("session_nonce"), Text("s")}, {Text("profile"), EncodableValue(profile)}})),
            "{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"s\",\"node_id\":\"n1\",\"client_private_key\":\"k=\","
            "\"endpoint_port\":\"-5\",\"dns_csv\":\", 10.8.0.1, 10.8.0.2\",\"allowed_ips_csv\":\"0.0.0.0/0, ::/0\"}");
  const EncodableMap ports[] = {{{Text("endpoint_port"), Text("51820")}},
                                {{Text("endpoint_port"), EncodableValue(int64_t{51820})}},
                                {{Text("dns"), EncodableValue(EncodableList{})}},
                                {}};
  for (const EncodableMap& other : ports) {
    EXPECT_EQ(RequestOf("connect", Args({{Text("profile"), EncodableValue(other)}})),
              "{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"\"}");
  }
  EXPECT_EQ(RequestOf("connect", Args({{Text("profile"), EncodableValue(EncodableMap{{Text("endpoint_port"),
                                                                                      EncodableValue(int32_t{0})}})}})),
            "{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"\",\"endpoint_port\":\"0\"}");
}

TEST_F(IpcChannelTest, ArgumentErrors_SendNothing) {
  const struct {
    const char* method;
    std::unique_ptr<EncodableValue> arguments;
    const char* code;
  } cases[] = {
      {"registerSession", nullptr, "invalid_args"},
      {"registerSession", std::make_unique<EncodableValue>(Text("nonce")), "invalid_args"},
      {"connect", nullptr, "invalid_args"},
      {"connect", Args({{Text("session_nonce"), Text("s")}}), "missing_profile"},
      {"connect", Args({{Text("profile"), Text("not a map")}}), "invalid_profile"},
  };
  for (const auto& c : cases) {
    // No service listens: had a request been sent, the answer would be a reply map.
    const TestEngine::Result result =
        engine_.CallMethod(kIpcChannel, c.method, c.arguments ? std::make_unique<EncodableValue>(*c.arguments) : nullptr);
    EXPECT_EQ(result.kind, TestEngine::Result::Kind::kError) << c.method;
    EXPECT_EQ(result.error_code, c.code);
    EXPECT_EQ(result.error_message, "");
    EXPECT_FALSE(result.value.has_value());
  }
  EXPECT_EQ(engine_.CallMethod(kIpcChannel, "Status").kind, TestEngine::Result::Kind::kNotImplemented);
}

TEST_F(IpcChannelTest, ServiceStopped_EveryMethodAnswersPipeUnavailable) {
  for (const char* method : {"status", "registerSession", "disconnect", "connect"}) {
    const TestEngine::Result result = engine_.CallMethod(
        kIpcChannel, method, Args({{Text("profile"), EncodableValue(EncodableMap{})}}));
    ASSERT_EQ(result.kind, TestEngine::Result::Kind::kSuccess) << method;
    const auto& map = std::get<EncodableMap>(*result.value);
    EXPECT_EQ(std::get<std::string>(map.at(Text("raw"))), "{\"ok\":false,\"error\":\"pipe_unavailable\"}");
    EXPECT_FALSE(std::get<bool>(map.at(Text("ok"))));
    EXPECT_EQ(map.count(Text("phase")), 0u);
  }
}

TEST(ParseServiceReply, OkAndPhaseAreFoundAsWritten) {
  const struct {
    std::string reply;
    bool ok;
    const char* phase;  // nullptr: no "phase" key
  } cases[] = {
      {"{\"ok\":true,\"phase\":\"connected\"}", true, "connected"},
      {"{\"ok\": true}", false, nullptr},
      {"{\"ok\":false,\"x\":{\"ok\":true}}", true, nullptr},
      {"{\"phase\":\"\"}", false, ""},
      {"{\"phase\":\"open", false, nullptr},
      {"\"ok\":tru", false, nullptr},
  };
  for (const auto& c : cases) {
    const EncodableMap map = ReplyToMap(ParseServiceReply(c.reply));
    EXPECT_EQ(std::get<std::string>(map.at(Text("raw"))), c.reply);
    EXPECT_EQ(std::get<bool>(map.at(Text("ok"))), c.ok) << c.reply;
    if (c.phase == nullptr) {
      EXPECT_EQ(map.count(Text("phase")), 0u) << c.reply;
    } else {
      EXPECT_EQ(std::get<std::string>(map.at(Text("phase"))), c.phase);
    }
  }
}

TEST(PluginRegistration, ChannelsAndDelegateComeAndGoWithThePlugin) {
  TestEngine engine;
  RegisterPlugin(engine);
  EXPECT_TRUE(engine.HasHandler("quorvane.windows_vpn/ipc"));
  EXPECT_TRUE(engine.HasHandler("quorvane.windows_vpn/window"));
  EXPECT_EQ(engine.DelegateCount(), 1u);
  engine.ShutDown();
  EXPECT_FALSE(engine.HasHandler("quorvane.windows_vpn/ipc"));
  EXPECT_FALSE(engine.HasHandler("quorvane.windows_vpn/window"));
}

}  // namespace
}  // namespace quorvane_windows_vpn
