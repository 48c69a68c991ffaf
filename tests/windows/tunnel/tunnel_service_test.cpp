// The configuration store on the real file system and the tunnel manager
// against Wine's real service control manager, with the stand-in tunnel.dll.
#include <gtest/gtest.h>
#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "child_process.h"
#include "platform/process.h"
#include "common/startup_record.h"
#include "temp_directory.h"
#include "test_registry.h"
#include "tunnel/active_conf_store.h"
#include "tunnel/tunnel_manager.h"
#include "tunnel/tunnel_watch.h"
#include "platform/service_control.h"
#include "scm_probe.h"

namespace quorvane {
namespace {

constexpr uint32_t kWaitMs = 30000;

TunnelProfile Profile() {
  TunnelProfile profile;
  profile.node_id = "node-7";
  profile.client_private_key = "cHJpdmF0ZS1rZXk=";
  profile.address_cidr = "10.8.0.2/32";
  profile.dns_csv = "10.8.0.1";
  profile.server_public_key = "cXVvcnZhbmUtdGVzdC1zZXJ2ZXItcHVibGljLWtleSE=LWtleQ==";
  profile.allowed_ips_csv = "10.8.0.0/24";
  profile.endpoint_host = "vpn.example";
  profile.endpoint_port = 443;
  return profile;
}

std::wstring RegisteredImagePath() {
  wchar_t buffer[1024] = {};
  DWORD size = sizeof(buffer);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Services\\QuorvaneVpnTunnel$Active",
                   L"ImagePath", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, buffer,
                   &size) != ERROR_SUCCESS) {
    return L"<none>";
  }
  return buffer;
}

class TunnelOnWindowsTest : public testing::Test {
 protected:
  void SetUp() override { MarkUserConnectBegun(); }
  void TearDown() override {
    TunnelManager::Stop(nullptr);
    DeleteActiveConf(nullptr);
  }
};

TEST_F(TunnelOnWindowsTest, WriteActiveConf_WritesTheFileByteForByteAndLeavesNoTemporary) {
  ASSERT_EQ(ActiveConfPath(), L"C:\\ProgramData\\Quorvane\\tunnels\\active.conf");
  std::string error;
  ASSERT_TRUE(WriteActiveConf(Profile(), &error)) << error;
  TunnelProfile second = Profile();
  second.pre_shared_key = "cHNr";
  ASSERT_TRUE(WriteActiveConf(second, &error)) << error;
  EXPECT_EQ(ReadFileBytes(L"C:\\ProgramData\\Quorvane\\tunnels\\active.conf"), RenderWireGuardConfig(second));
  EXPECT_FALSE(PathExists(L"C:\\ProgramData\\Quorvane\\tunnels\\active.conf.tmp"));
  ASSERT_TRUE(DeleteActiveConf(&error)) << error;
  EXPECT_FALSE(PathExists(L"C:\\ProgramData\\Quorvane\\tunnels\\active.conf"));
  EXPECT_TRUE(DeleteActiveConf(&error));
}

TEST_F(TunnelOnWindowsTest, StartRunsThisProgramAsTheTunnelServiceAndStopRemovesIt) {
  ScopedTempDirectory data(L"Quorvane Test Data");  // a space in the configuration path
  ScopedEnvironmentValue program_data(L"ProgramData", data.path());
  const std::wstring record = PathBesideThisProgram(L"tunnel-standin-record.txt");
  DeleteFileW(record.c_str());

  std::string error;
  ASSERT_TRUE(WriteActiveConf(Profile(), &error)) << error;
  ASSERT_TRUE(TunnelManager::Start(ActiveConfPath(), &error)) << error;
  ASSERT_TRUE(Within(kWaitMs, IsTunnelRunning));

  std::wstring program;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::GetOwnModulePath(260, &program, &error_code));
  EXPECT_EQ(RegisteredImagePath(), L"\"" + program + L"\" /service \"" + data.path() +
                                       L"\\Quorvane\\tunnels\\active.conf\"");
  EXPECT_EQ(ReadFileBytes(record), "config_path=" + std::string(data.path().begin(), data.path().end()) +
                                       "\\Quorvane\\tunnels\\active.conf\nconfig_bytes=" +
                                       std::to_string(RenderWireGuardConfig(Profile()).size()) + "\n---\n" +
                                       RenderWireGuardConfig(Profile()));

  // A second start replaces the running service.
  ASSERT_TRUE(TunnelManager::Start(ActiveConfPath(), &error)) << error;
  ASSERT_TRUE(Within(kWaitMs, IsTunnelRunning));

  // The passive start-up report of a fresh service process sees the leftover tunnel.
  const ChildResult dry_run = RunChild(PathBesideThisProgram(L"QuorvaneVpnService.exe"), L"--dry-run-startup",
                                       kWaitMs);
  ASSERT_TRUE(dry_run.finished);
  EXPECT_NE(dry_run.out.find("\"leftover_tunnel_service_running\":true,"), std::string::npos) << dry_run.out;

  EXPECT_TRUE(TunnelManager::Stop(&error));
  EXPECT_FALSE(IsTunnelRunning());
  EXPECT_TRUE(Within(kWaitMs, [] { return !TunnelServiceExists(); }));
  EXPECT_TRUE(DeleteActiveConf(&error)) << error;
  DeleteFileW(record.c_str());
}

// The watcher and the waits follow the service manager's notifications; the
// direct wait below says what this system answers for them.
TEST_F(TunnelOnWindowsTest, WatcherFollowsTheTunnelFromStartToItsRemoval) {
  ScopedTempDirectory data(L"Quorvane Watch Data");
  ScopedEnvironmentValue program_data(L"ProgramData", data.path());
  platform::StopEvent stop;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::CreateStopEvent(&stop, &error_code));
  TunnelWatch watch;
  std::mutex lock;
  std::vector<uint32_t> seen;
  watch.on_change = [&](const TunnelSnapshot&, const TunnelSnapshot& after) {
    std::lock_guard<std::mutex> guard(lock);
    seen.push_back(after.state);
  };
  ASSERT_TRUE(StartTunnelWatch(&watch, &stop));
  std::string error;
  ASSERT_TRUE(WriteActiveConf(Profile(), &error)) << error;
  ASSERT_TRUE(TunnelManager::Start(ActiveConfPath(), &error)) << error;
  KickTunnelWatch(&watch);
  EXPECT_TRUE(Within(kWaitMs, [&] { return SnapshotRunning(ReadTunnelSnapshot(&watch)); }));

  platform::ScHandle manager, service;
  ASSERT_TRUE(platform::ScmOpenManager(platform::kScManagerConnect, &manager, &error_code));
  ASSERT_TRUE(platform::ScmOpenService(manager, TunnelServiceName(), platform::kServiceQueryStatus, &service,
                                       &error_code));
  platform::ServiceStatus status;
  EXPECT_FALSE(platform::ScmWaitStatusChange(service, platform::kServiceRunning, 300, &stop, &status, &error_code));
  EXPECT_EQ(error_code, platform::kErrorTimeout) << "a running tunnel that stays: no change within the bound";
  service.Reset();

  // The watcher holds no handle that would keep the stopped service from going.
  EXPECT_TRUE(TunnelManager::Stop(&error)) << error;
  EXPECT_TRUE(Within(kWaitMs, [] { return !TunnelServiceExists(); }));
  EXPECT_TRUE(Within(kWaitMs, [&] { return SnapshotGone(ReadTunnelSnapshot(&watch)); }));
  platform::SignalStopEvent(stop);
  StopTunnelWatch(&watch);
  std::lock_guard<std::mutex> guard(lock);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), platform::kServiceStopped);
}

}  // namespace
}  // namespace quorvane
