// The real service between requests: a tunnel that ends by itself is released
// and said, and QuorvaneVpnCtl watch prints the change another client made.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "child_process.h"
#include "pipe_client.h"
#include "service_probe.h"

namespace {

using quorvane_windows_vpn::SendPipeRequest;

constexpr char kStatus[] = "{\"v\":1,\"op\":\"status\"}";
constexpr char kDisconnect[] = "{\"v\":1,\"op\":\"disconnect\",\"reason\":\"test\"}";
constexpr char kConnect[] =
    "{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"\",\"node_id\":\"node-4\",\"address_cidr\":\"10.8.0.4/32\","
    "\"endpoint_host\":\"vpn.example\",\"server_public_key\":\"cXVvcnZhbmUtdGVzdC1zZXJ2ZXItcHVibGljLWtleSE=\","
    "\"client_private_key\":\"cXVvcnZhbmUtdGVzdC1jbGllbnQtcHJpdmF0ZS1rISE=\",\"allowed_ips_csv\":\"10.8.0.0/24\"}";
constexpr wchar_t kActiveConf[] = L"C:\\ProgramData\\Quorvane\\tunnels\\active.conf";

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }
bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The stand-in tunnel ends by itself this long after it runs (none: it runs on).
void SetTunnelRunMs(const char* ms) { SetStandinSwitch(L"tunnel-standin-run-ms.txt", ms); }

class TunnelLifeTest : public ConsoleServiceSuite {
 protected:
  void TearDown() override {
    SetTunnelRunMs(nullptr);
    SendPipeRequest(kDisconnect);
  }
};

TEST_F(TunnelLifeTest, TunnelThatEndsByItself_IsReleasedAndSaidAndTheNextConnectWorks) {
  SetTunnelRunMs("4000");
  ASSERT_TRUE(StartsWith(SendPipeRequest(kConnect), "{\"ok\":true,\"phase\":\"connected\"")) << service_->Err();
  SetTunnelRunMs(nullptr);  // the next tunnel runs on
  std::string status;
  EXPECT_TRUE(Within(15000, [&status] {
    status = SendPipeRequest(kStatus);
    return StartsWith(status, "{\"ok\":true,\"phase\":\"disconnected\"");
  })) << status;
  EXPECT_TRUE(Contains(status, "\"message\":\"the tunnel service ended by itself (exit code 55); the tunnel was "
                               "taken down\""))
      << status;
  EXPECT_EQ(GetFileAttributesW(kActiveConf), INVALID_FILE_ATTRIBUTES) << "the key is not left at rest";
  EXPECT_TRUE(Within(10000, [] { return !TunnelServiceExists(); })) << "the registration is gone";
  EXPECT_TRUE(Contains(service_->Err(), "exit code 55")) << service_->Err();
  EXPECT_TRUE(StartsWith(SendPipeRequest(kConnect), "{\"ok\":true,\"phase\":\"connected\""));
}

TEST_F(TunnelLifeTest, CtlWatch_PrintsTheChangeAnotherClientMakes) {
  ASSERT_TRUE(StartsWith(SendPipeRequest(kConnect), "{\"ok\":true,\"phase\":\"connected\""));
  // The status as a person reads it: a labelled line a fact.
  const ChildResult status = RunChild(PathBesideThisProgram(L"QuorvaneVpnCtl.exe"), L"status", 30000);
  EXPECT_EQ(status.exit_code, 0u);
  for (const char* line : {"phase:             connected", "node:              node-4", "tunnel running:    yes",
                           "connected since:   20", "safe mode:         off"}) {
    EXPECT_TRUE(Contains(status.out, line)) << line << "\n" << status.out;
  }
  BackgroundChild watch;
  ASSERT_TRUE(watch.Start(PathBesideThisProgram(L"QuorvaneVpnCtl.exe"), L"watch"));
  ASSERT_TRUE(Within(10000, [&watch] { return Contains(watch.Out(), ": connected node-4, tunnel running"); }))
      << watch.Out() << watch.Err();
  EXPECT_TRUE(StartsWith(SendPipeRequest(kDisconnect), "{\"ok\":true,\"phase\":\"disconnected\""));
  // The tunnel's stop may come as a line of its own before the phase's.
  EXPECT_TRUE(Within(10000, [&watch] { return Contains(watch.Out(), ": disconnected, no tunnel running"); }))
      << watch.Out();
}

// A configuration made read-only (restored from a backup, "attrib +r") is
// replaced by the next connect and removed, key and all, by a disconnect.
TEST_F(TunnelLifeTest, ReadOnlyConfiguration_IsReplacedAndRemoved) {
  ASSERT_TRUE(StartsWith(SendPipeRequest(kConnect), "{\"ok\":true,\"phase\":\"connected\""));
  ASSERT_TRUE(SetFileAttributesW(kActiveConf, FILE_ATTRIBUTE_READONLY));
  const std::string again = SendPipeRequest(kConnect);
  EXPECT_TRUE(StartsWith(again, "{\"ok\":true,\"phase\":\"connected\"")) << again;
  ASSERT_TRUE(SetFileAttributesW(kActiveConf, FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(StartsWith(SendPipeRequest(kDisconnect), "{\"ok\":true,\"phase\":\"disconnected\""));
  EXPECT_EQ(GetFileAttributesW(kActiveConf), INVALID_FILE_ATTRIBUTES) << "the key is gone";
}

}  // namespace
