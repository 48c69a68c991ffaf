// The real service with several clients at once: a status during a connect
// that waits for a slow tunnel, eight clients together, and a disconnect that
// ends a connect still waiting for its tunnel.
#include <gtest/gtest.h>
#include <windows.h>

#include <future>
#include <string>
#include <vector>

#include "child_process.h"
#include "pipe_client.h"
#include "service_probe.h"

namespace {

using quorvane_windows_vpn::SendPipeRequest;

constexpr char kStatus[] = "{\"v\":1,\"op\":\"status\"}";
constexpr char kDisconnect[] = "{\"v\":1,\"op\":\"disconnect\",\"reason\":\"test\"}";
constexpr char kConnect[] =
    "{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"\",\"node_id\":\"node-9\",\"address_cidr\":\"10.8.0.9/32\","
    "\"endpoint_host\":\"vpn.example\",\"server_public_key\":\"cXVvcnZhbmUtdGVzdC1zZXJ2ZXItcHVibGljLWtleSE=\","
    "\"client_private_key\":\"cXVvcnZhbmUtdGVzdC1jbGllbnQtcHJpdmF0ZS1rISE=\",\"allowed_ips_csv\":\"10.8.0.0/24\"}";
// The stand-in tunnel stays start-pending this long before it runs.
constexpr char kTunnelStartMs[] = "3000";

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

class ConcurrencyTest : public ConsoleServiceSuite {
 protected:
  void SetUp() override { SetTunnelStartMs(kTunnelStartMs); }
  void TearDown() override {
    SetTunnelStartMs(nullptr);
    SendPipeRequest(kDisconnect);
  }
  static void SetTunnelStartMs(const char* ms) { SetStandinSwitch(L"tunnel-standin-start-ms.txt", ms); }
  // A connect sent on a thread of its own, and the status that shows it in hand.
  static std::future<std::string> ConnectUntilConnecting(std::string* status) {
    std::future<std::string> connect = std::async(std::launch::async, [] { return SendPipeRequest(kConnect); });
    Within(10000, [status] {
      *status = SendPipeRequest(kStatus);
      return StartsWith(*status, "{\"ok\":true,\"phase\":\"connecting\"");
    });
    return connect;
  }
};

TEST_F(ConcurrencyTest, StatusDuringASlowConnect_IsAnsweredWhileTheConnectWaits) {
  std::string status;
  std::future<std::string> connect = ConnectUntilConnecting(&status);
  EXPECT_TRUE(StartsWith(status, "{\"ok\":true,\"phase\":\"connecting\",\"node_id\":\"node-9\"")) << status;
  // One more status, sent and answered inside the tunnel's 3 s start.
  const std::string again = SendPipeRequest(kStatus);
  EXPECT_NE(connect.wait_for(std::chrono::seconds(0)), std::future_status::ready) << "answered before the connect";
  EXPECT_TRUE(StartsWith(again, "{\"ok\":true,\"phase\":\"connecting\"")) << again;
  EXPECT_TRUE(StartsWith(connect.get(), "{\"ok\":true,\"phase\":\"connected\",\"node_id\":\"node-9\""));
}

TEST_F(ConcurrencyTest, EightClientsWithFiveStatusRequestsEach_GetFortyAnswers) {
  std::vector<std::future<int>> clients;
  for (int c = 0; c < 8; ++c) {
    clients.push_back(std::async(std::launch::async, [] {
      int answered = 0;
      for (int i = 0; i < 5; ++i) answered += StartsWith(SendPipeRequest(kStatus), "{\"ok\":true");
      return answered;
    }));
  }
  int answered = 0;
  for (auto& client : clients) answered += client.get();
  EXPECT_EQ(answered, 40);
}

TEST_F(ConcurrencyTest, DisconnectDuringAConnect_EndsItAndLeavesNothingRunning) {
  std::string status;
  std::future<std::string> connect = ConnectUntilConnecting(&status);
  ASSERT_TRUE(StartsWith(status, "{\"ok\":true,\"phase\":\"connecting\"")) << status;
  const std::string disconnected = SendPipeRequest(kDisconnect);
  EXPECT_TRUE(StartsWith(disconnected, "{\"ok\":true,\"phase\":\"disconnected\"")) << disconnected;
  EXPECT_EQ(connect.get(),
            "{\"ok\":false,\"error\":\"tunnel_start_failed\",\"message\":\"a disconnect cancelled the connect before "
            "the tunnel service reported running\"}");
  EXPECT_TRUE(Within(10000, [] { return !TunnelServiceExists(); })) << "no tunnel service left";
  EXPECT_EQ(GetFileAttributesW(L"C:\\ProgramData\\Quorvane\\tunnels\\active.conf"), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(StartsWith(SendPipeRequest(kStatus), "{\"ok\":true,\"phase\":\"disconnected\",\"tunnel_running\":false"));
}

}  // namespace
