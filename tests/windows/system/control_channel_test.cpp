// The real QuorvaneVpnService.exe in console mode, driven over the real pipe
// with the plugin's pipe client, and the stand-in tunnel.dll beside it.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include <flutter/plugin_registrar_windows.h>
#include <flutter/standin_engine.h>

#include "child_process.h"
#include "pipe_client.h"
#include "quorvane_windows_vpn_plugin.h"
#include "service_probe.h"
#include "temp_directory.h"

namespace {

std::string SendPipeRequest(const std::string& request) { return SendWhenFree(request); }

constexpr char kStatus[] = "{\"v\":1,\"op\":\"status\"}";
constexpr wchar_t kActiveConf[] = L"C:\\ProgramData\\Quorvane\\tunnels\\active.conf";

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }
bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }


// Polls |condition| every 100 ms for at most 30 s.
template <typename Condition>
bool Eventually(Condition condition) {
  return Within(30000, condition);
}

class ControlChannelTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    service_ = new BackgroundChild();
    ASSERT_TRUE(service_->Start(PathBesideThisProgram(L"QuorvaneVpnService.exe"), L"--console"));
    ASSERT_TRUE(Eventually([] { return StartsWith(SendPipeRequest(kStatus), "{\"ok\":true"); }))
        << service_->Out() << service_->Err();
  }
  static void TearDownTestSuite() {
    SendPipeRequest("{\"v\":1,\"op\":\"disconnect\",\"reason\":\"test over\"}");
    delete service_;  // ends the console service
    service_ = nullptr;
  }
  static BackgroundChild* service_;
};

BackgroundChild* ControlChannelTest::service_ = nullptr;

TEST_F(ControlChannelTest, ConsoleMode_PrintsTheReportThenTheStartMessage) {
  // The pipe's instances may answer before the main thread has said so.
  std::string out;
  Within(10000, [&out] {
    out = service_->Out();
    return Contains(out, " (passive startup)\n");
  });
  EXPECT_TRUE(StartsWith(out, "[Quorvane] passive startup report: {\"service_started_utc\":\"")) << out;
  EXPECT_TRUE(Contains(out, "}\nQuorvaneVpnService IPC on \\\\.\\pipe\\QuorvaneVpn (passive startup)\n")) << out;
}

TEST_F(ControlChannelTest, WireExamples_AreAnsweredByteForByte) {
  const struct {
    std::string request;
    std::string reply;
  } cases[] = {
      {"{\"v\":1,\"op\":\"status\",\"display_name\":\"x config_path y\"}",
       "{\"ok\":false,\"error\":\"forbidden_path\",\"message\":\"config paths not accepted from UI\"}"},
      {"{\"v\":1,\"op\":\"register_session\",\"wg_quick_config\":1}",
       "{\"ok\":false,\"error\":\"forbidden_path\",\"message\":\"config paths not accepted from UI\"}"},
      {"{\"v\":1,\"op\":\"Status\"}", "{\"ok\":false,\"error\":\"unknown_op\",\"message\":\"unsupported operation\"}"},
      {"{\"v\":1,\"op\":\"register_session\",\"session_nonce\":\"\"}", "{\"ok\":true,\"phase\":\"disconnected\"}"},
  };
  for (const auto& c : cases) EXPECT_EQ(SendPipeRequest(c.request), c.reply) << c.request;
  // No "v", no node: the status shape without a node_id member.
  const std::string status = SendPipeRequest("{\"op\":\"status\"}");
  EXPECT_TRUE(StartsWith(status, "{\"ok\":true,\"phase\":\"disconnected\",\"tunnel_running\":false,\"generation\":1,\"admin_bypass\":{"))
      << status;
  EXPECT_TRUE(Contains(status, ",\"poc_route_guard\":{\"effective_disable_default_route\":false,"));
  EXPECT_FALSE(Contains(status, "node_id"));
}

// Without tunnel.dll the connect says so at once, before any tunnel service is
// made, instead of waiting for a service that never runs.
TEST_F(ControlChannelTest, ConnectWithoutTunnelDll_IsRefusedNamingItAndLeavesNoService) {
  const std::wstring library = PathBesideThisProgram(L"tunnel.dll");
  const std::wstring away = library + L".away";
  ASSERT_TRUE(MoveFileW(library.c_str(), away.c_str()));
  const std::string reply = SendPipeRequest(
      "{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"\",\"node_id\":\"n\",\"address_cidr\":\"10.8.0.7/32\","
      "\"endpoint_host\":\"vpn.example\",\"server_public_key\":\"cXVvcnZhbmUtdGVzdC1zZXJ2ZXItcHVibGljLWtleSE=\","
      "\"client_private_key\":\"cXVvcnZhbmUtdGVzdC1jbGllbnQtcHJpdmF0ZS1rISE=\",\"allowed_ips_csv\":\"10.8.0.0/24\"}");
  MoveFileW(away.c_str(), library.c_str());
  EXPECT_EQ(reply,
            "{\"ok\":false,\"error\":\"tunnel_start_failed\",\"message\":\"tunnel.dll is missing: it must lie beside "
            "QuorvaneVpnService.exe or in System32\"}");
  EXPECT_FALSE(TunnelServiceExists());
  EXPECT_EQ(GetFileAttributesW(kActiveConf), INVALID_FILE_ATTRIBUTES);
}

TEST_F(ControlChannelTest, LongRequests_65535BytesServed70000Cut) {
  const std::string tail = "\"op\":\"status\"}";
  const std::string exact = "{\"pad\":\"" + std::string(65535 - 10 - tail.size(), 'x') + "\"," + tail;
  ASSERT_EQ(exact.size(), 65535u);
  EXPECT_TRUE(StartsWith(SendPipeRequest(exact), "{\"ok\":true,\"phase\":\"disconnected\""));
  const std::string longer = "{\"pad\":\"" + std::string(70000, 'x') + "\"," + tail;
  EXPECT_EQ(SendPipeRequest(longer), "{\"ok\":false,\"error\":\"unknown_op\",\"message\":\"unsupported operation\"}");
}

TEST_F(ControlChannelTest, ConnectStatusRegisterDisconnect_WithTheStandInTunnel) {
  const std::string connect =
      "{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"n1\",\"node_id\":\"node-7\",\"address_cidr\":\"10.8.0.7/32\","
      "\"endpoint_host\":\"vpn.example\",\"server_public_key\":\"cXVvcnZhbmUtdGVzdC1zZXJ2ZXItcHVibGljLWtleSE=\",\"client_private_key\":\"cXVvcnZhbmUtdGVzdC1jbGllbnQtcHJpdmF0ZS1rISE=\","
      "\"endpoint_port\":\"443\",\"dns_csv\":\"10.8.0.1\",\"allowed_ips_csv\":\"10.8.0.0/24\"}";
  const std::string reply = SendPipeRequest(connect);
  ASSERT_TRUE(StartsWith(reply, "{\"ok\":true,\"phase\":\"connected\",\"node_id\":\"node-7\",\"admin_bypass\":{"))
      << reply;
  EXPECT_TRUE(Contains(reply, ",\"poc_route_guard\":{"));
  EXPECT_EQ(ReadFileBytes(kActiveConf),
            "[Interface]\nPrivateKey = cXVvcnZhbmUtdGVzdC1jbGllbnQtcHJpdmF0ZS1rISE=\nAddress = 10.8.0.7/32\nDNS = 10.8.0.1\n\n[Peer]\n"
            "PublicKey = cXVvcnZhbmUtdGVzdC1zZXJ2ZXItcHVibGljLWtleSE=\nAllowedIPs = 10.8.0.0/24\nEndpoint = vpn.example:443\nPersistentKeepalive = 25\n");
  EXPECT_TRUE(TunnelServiceExists());
  EXPECT_TRUE(Eventually([] { return Contains(SendPipeRequest(kStatus), "\"node_id\":\"node-7\",\"tunnel_running\":true"); }));

  EXPECT_EQ(SendPipeRequest("{\"v\":1,\"op\":\"register_session\",\"session_nonce\":\"n2\"}"),
            "{\"ok\":true,\"phase\":\"disconnected\"}");
  EXPECT_EQ(SendPipeRequest(connect), "{\"ok\":false,\"error\":\"session_mismatch\",\"message\":\"invalid session\"}");
  EXPECT_TRUE(Contains(SendPipeRequest(kStatus), "\"phase\":\"connected\""));

  const std::string disconnected = SendPipeRequest("{\"v\":1,\"op\":\"disconnect\",\"reason\":\"user_action\"}");
  EXPECT_TRUE(StartsWith(disconnected, "{\"ok\":true,\"phase\":\"disconnected\",\"admin_bypass\":{")) << disconnected;
  EXPECT_FALSE(PathExists(kActiveConf));
  EXPECT_TRUE(Eventually([] { return !TunnelServiceExists(); }));
  EXPECT_TRUE(Contains(SendPipeRequest(kStatus), "\"phase\":\"disconnected\",\"tunnel_running\":false"));
  SendPipeRequest("{\"v\":1,\"op\":\"register_session\",\"session_nonce\":\"\"}");
}

// A client that sends nothing keeps the one instance for the request's bound
// (5 s), one that sends a request and never reads the reply for the reply's
// (3 s); the next client is served after either.
TEST_F(ControlChannelTest, StalledClients_DoNotHoldTheService) {
  for (const bool writes : {false, true}) {
    HANDLE stalled = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 1000 && stalled == INVALID_HANDLE_VALUE; ++i) {
      stalled = CreateFileW(L"\\\\.\\pipe\\QuorvaneVpn", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                            nullptr);
      if (stalled == INVALID_HANDLE_VALUE) Sleep(10);
    }
    ASSERT_NE(stalled, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    if (writes) {
      ASSERT_TRUE(WriteFile(stalled, kStatus, static_cast<DWORD>(strlen(kStatus)), &written, nullptr));
    }
    // SendPipeRequest tries again for 10 s at most, more than either bound.
    EXPECT_TRUE(StartsWith(SendPipeRequest(kStatus), "{\"ok\":true,\"phase\":\"disconnected\"")) << writes;
    CloseHandle(stalled);
  }
}

// Another program holding the old tunnel service open keeps it marked for
// deletion: the next connect waits for it, then says so plainly; once it is
// let go, a connect works again.
TEST_F(ControlChannelTest, ConnectWhileTheOldTunnelServiceIsHeldOpen_IsReportedThenWorks) {
  const std::string connect =
      "{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"\",\"node_id\":\"held\",\"address_cidr\":\"10.8.0.7/32\","
      "\"endpoint_host\":\"vpn.example\",\"server_public_key\":\"cXVvcnZhbmUtdGVzdC1zZXJ2ZXItcHVibGljLWtleSE=\",\"client_private_key\":\"cXVvcnZhbmUtdGVzdC1jbGllbnQtcHJpdmF0ZS1rISE=\","
      "\"allowed_ips_csv\":\"10.8.0.0/24\"}";
  const std::string disconnect = "{\"v\":1,\"op\":\"disconnect\",\"reason\":\"user_action\"}";
  ASSERT_TRUE(StartsWith(SendPipeRequest(connect), "{\"ok\":true,\"phase\":\"connected\""));
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE held = OpenServiceW(manager, L"QuorvaneVpnTunnel$Active", SERVICE_QUERY_STATUS);
  ASSERT_NE(held, nullptr);
  EXPECT_TRUE(StartsWith(SendPipeRequest(disconnect), "{\"ok\":true,\"phase\":\"disconnected\""));
  const std::string reply = SendPipeRequest(connect);
  EXPECT_FALSE(Contains(reply, "StartService tunnel failed")) << reply;
  EXPECT_TRUE(StartsWith(reply, "{\"ok\":true,\"phase\":\"connected\"") ||
              reply == "{\"ok\":false,\"error\":\"tunnel_start_failed\",\"message\":\"tunnel service is still "
                       "marked for deletion (error 1072): it has not stopped, or another program such as the Services "
                       "console holds it open\"}")
      << reply;
  CloseServiceHandle(held);
  CloseServiceHandle(manager);
  EXPECT_TRUE(StartsWith(SendPipeRequest(connect), "{\"ok\":true,\"phase\":\"connected\""));
  EXPECT_TRUE(StartsWith(SendPipeRequest(disconnect), "{\"ok\":true,\"phase\":\"disconnected\""));
  EXPECT_TRUE(Eventually([] { return !TunnelServiceExists(); }));
}

// The Flutter plugin's IPC channel, registered with the stand-in engine,
// against the real service.
TEST_F(ControlChannelTest, PluginIpcChannel_DrivesTheRealService) {
  using flutter::EncodableList;
  using flutter::EncodableMap;
  using flutter::EncodableValue;
  flutter::standin::TestEngine engine;
  quorvane_windows_vpn::QuorvaneWindowsVpnPlugin::RegisterWithRegistrar(
      flutter::PluginRegistrarManager::GetInstance()->GetRegistrar<flutter::PluginRegistrarWindows>(engine.registrar()));
  const auto call = [&engine](const char* method, EncodableMap arguments) {
    EncodableMap reply;
    for (int i = 0; i < 1000; ++i) {  // the instance may be between two exchanges
      const auto result = engine.CallMethod("quorvane.windows_vpn/ipc", method,
                                            std::make_unique<EncodableValue>(arguments));
      reply = std::get<EncodableMap>(*result.value);
      if (std::get<std::string>(reply.at(EncodableValue("raw"))) != quorvane_windows_vpn::kPipeUnavailableReply) break;
      Sleep(10);
    }
    return reply;
  };
  const auto phase = [](const EncodableMap& reply) { return std::get<std::string>(reply.at(EncodableValue("phase"))); };
  const auto ok = [](const EncodableMap& reply) { return std::get<bool>(reply.at(EncodableValue("ok"))); };

  EncodableMap reply = call("status", {});
  EXPECT_TRUE(ok(reply));
  EXPECT_EQ(phase(reply), "disconnected");
  reply = call("registerSession", {{EncodableValue("session_nonce"), EncodableValue("plugin-nonce")}});
  EXPECT_TRUE(ok(reply));
  const EncodableMap profile = {
      {EncodableValue("node_id"), EncodableValue("plugin-node")},
      {EncodableValue("client_private_key"), EncodableValue("cXVvcnZhbmUtdGVzdC1jbGllbnQtcHJpdmF0ZS1rISE=")},
      {EncodableValue("server_public_key"), EncodableValue("cXVvcnZhbmUtdGVzdC1zZXJ2ZXItcHVibGljLWtleSE=")},
      {EncodableValue("address_cidr"), EncodableValue("10.8.0.9/32")},
      {EncodableValue("endpoint_host"), EncodableValue("vpn.example")},
      {EncodableValue("endpoint_port"), EncodableValue(int32_t{51821})},
      {EncodableValue("allowed_ips"), EncodableValue(EncodableList{EncodableValue("10.8.0.0/24")})},
  };
  reply = call("connect", {{EncodableValue("session_nonce"), EncodableValue("plugin-nonce")},
                           {EncodableValue("profile"), EncodableValue(profile)}});
  EXPECT_TRUE(ok(reply)) << std::get<std::string>(reply.at(EncodableValue("raw")));
  EXPECT_EQ(phase(reply), "connected");
  EXPECT_TRUE(Contains(ReadFileBytes(kActiveConf), "Endpoint = vpn.example:51821\n"));
  reply = call("disconnect", {{EncodableValue("reason"), EncodableValue("user_action")}});
  EXPECT_TRUE(ok(reply));
  EXPECT_EQ(phase(reply), "disconnected");
  EXPECT_FALSE(PathExists(kActiveConf));
  call("registerSession", {{EncodableValue("session_nonce"), EncodableValue("")}});
}

}  // namespace
