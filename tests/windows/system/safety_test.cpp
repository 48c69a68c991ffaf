// The safety features against what the tunnel library reads, with the real
// service: catch-alls in any spelling in safe mode, profiles the library would
// refuse, and the automatic stop's promise when the control service stops.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "child_process.h"
#include "service_probe.h"
#include "temp_directory.h"
#include "test_registry.h"

namespace {

constexpr wchar_t kActiveConf[] = L"C:\\ProgramData\\Quorvane\\tunnels\\active.conf";
constexpr wchar_t kMachineEnvironment[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr char kStatus[] = "{\"v\":1,\"op\":\"status\"}";
// Wine's service manager gives its services "C:\users\Public" as ProgramData,
// where a service's files are then; a console service has "C:\ProgramData".
const wchar_t* const kServiceProgramData[] = {L"C:\\ProgramData", L"C:\\users\\Public"};

// The service log, wherever this Wine's services keep ProgramData.
// Read as the support report does, sharing with the service that holds it.
std::string ServiceLog() {
  for (const wchar_t* root : kServiceProgramData) {
    const std::wstring path = std::wstring(root) + L"\\Quorvane\\logs\\service.log";
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    std::string log;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) log.append(buffer, got);
    CloseHandle(file);
    if (!log.empty()) return log;
  }
  return "<missing>";
}

// The log is the service's own, across the test program's runs: start clean.
const bool kLogCleared = [] {
  for (const wchar_t* root : kServiceProgramData) {
    DeleteFileW((std::wstring(root) + L"\\Quorvane\\logs\\service.log").c_str());
  }
  return true;
}();
constexpr char kDisconnect[] = "{\"v\":1,\"op\":\"disconnect\",\"reason\":\"test\"}";

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }
bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string Send(const std::string& request) { return SendWhenFree(request); }

std::string Connect(const std::string& members) {
  return Send(std::string("{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"\"") + members +
              ",\"node_id\":\"safety\",\"address_cidr\":\"10.8.0.7/32\",\"endpoint_host\":\"vpn.example\","
              "\"server_public_key\":\"cXVvcnZhbmUtdGVzdC1zZXJ2ZXItcHVibGljLWtleSE=\","
              "\"client_private_key\":\"cXVvcnZhbmUtdGVzdC1jbGllbnQtcHJpdmF0ZS1rISE=\"}");
}

class SafeModeConsoleService : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.Start(PathBesideThisProgram(L"QuorvaneVpnService.exe"), L"--console"));
    ASSERT_TRUE(Within(30000, [] { return StartsWith(Send(kStatus), "{\"ok\":true"); })) << service_.Err();
  }
  void TearDown() override { Send(kDisconnect); }
  ScopedEnvironmentValue safe_mode_{L"QUORVANE_POC_DISABLE_DEFAULT_ROUTE", L"1"};
  BackgroundChild service_;
};

TEST_F(SafeModeConsoleService, CatchAllsInAnySpelling_NeverReachTheConfiguration) {
  for (const char* allowed : {"::0/0", "0:0::0/0", "1.2.3.4/0", "0.0.0.0/1, 128.0.0.0/1"}) {
    const std::string reply = Connect(std::string(",\"allowed_ips_csv\":\"") + allowed + "\"");
    ASSERT_TRUE(StartsWith(reply, "{\"ok\":true,\"phase\":\"connected\"")) << allowed << ": " << reply;
    EXPECT_TRUE(Contains(ReadFileBytes(kActiveConf), "\nAllowedIPs = 10.8.0.0/24\n")) << allowed;
    Send(kDisconnect);
  }
}

TEST_F(SafeModeConsoleService, ProfilesTheLibraryWouldRefuse_AreInvalidOrWrittenAsItReads) {
  EXPECT_EQ(Connect(",\"server_public_key\":\"not-a-key\""),
            "{\"ok\":false,\"error\":\"invalid_profile\",\"message\":\"invalid server_public_key: not a 32-byte "
            "base64 key\"}");
  EXPECT_FALSE(TunnelServiceExists());
  const std::string reply = Connect(",\"endpoint_host\":\"2001:db8::1\",\"endpoint_port\":\"51821\"");
  ASSERT_TRUE(StartsWith(reply, "{\"ok\":true,\"phase\":\"connected\"")) << reply;
  EXPECT_TRUE(Contains(ReadFileBytes(kActiveConf), "\nEndpoint = [2001:db8::1]:51821\n"));
}

// The control service, installed and stopped by the service manager with an
// automatic stop pending (set in the machine environment after the manager
// started, as an administrator would), leaves no tunnel behind.
TEST(ControlServiceStop, WithAnAutoStopPending_LeavesNoTunnelServiceOrConfiguration) {
  const std::wstring program = PathBesideThisProgram(L"QuorvaneVpnService.exe");
  ASSERT_EQ(RunChild(program, L"--install", 30000).exit_code, 0u);
  {
    ScopedRegistryValue auto_stop(HKEY_LOCAL_MACHINE, kMachineEnvironment, L"QUORVANE_POC_AUTO_STOP_SECONDS", L"300");
    ASSERT_TRUE(auto_stop.ok());
    ASSERT_TRUE(RunChild(L"C:\\windows\\system32\\sc.exe", L"start QuorvaneVpnTunnel", 30000).finished);
    ASSERT_TRUE(Within(30000, [] { return StartsWith(Send(kStatus), "{\"ok\":true"); }));
    EXPECT_TRUE(StartsWith(Connect(",\"server_public_key\":\"not-a-key\""), "{\"ok\":false"));
    EXPECT_TRUE(StartsWith(Connect(",\"address_cidr\":\"203.0.113.77/33\""),
                           "{\"ok\":false,\"error\":\"invalid_profile\""));
    const std::string reply = Connect(",\"allowed_ips_csv\":\"10.8.0.0/24\"");
    ASSERT_TRUE(StartsWith(reply, "{\"ok\":true,\"phase\":\"connected\"")) << reply;
    EXPECT_TRUE(Contains(reply, "\"auto_stop_scheduled\":true,\"auto_stop_seconds\":300,")) << reply;
    // The tunnel service's own process writes its last line into the log that
    // the running control service holds.
    EXPECT_TRUE(StartsWith(Send(kDisconnect), "{\"ok\":true,\"phase\":\"disconnected\""));
    EXPECT_TRUE(Within(10000, [] { return Contains(ServiceLog(), "tunnel service entry ended with exit code 0"); }))
        << ServiceLog();
    ASSERT_TRUE(StartsWith(Connect(",\"allowed_ips_csv\":\"10.8.0.0/24\""), "{\"ok\":true,\"phase\":\"connected\""));
    ASSERT_TRUE(RunChild(L"C:\\windows\\system32\\sc.exe", L"stop QuorvaneVpnTunnel", 30000).finished);
    EXPECT_TRUE(Within(30000, [] { return !TunnelServiceExists(); }));
    // Removed after the tunnel service, as a disconnect removes it, while the
    // stopping control service finishes.
    EXPECT_TRUE(Within(10000, [] {
      for (const wchar_t* root : kServiceProgramData) {
        if (PathExists(std::wstring(root) + L"\\Quorvane\\tunnels\\active.conf")) return false;
      }
      return true;
    }));
  }
  // Standard error went nowhere: the log has the start-up report, a line a
  // request (a refused connect's with its code alone; statuses counted), and
  // no key and no value of a request.
  const std::string log = ServiceLog();
  EXPECT_TRUE(Contains(log, "Z [Quorvane] passive startup report: {")) << log;
  EXPECT_TRUE(Contains(log, "Z [Quorvane] requests op=status ok=true count=")) << "statuses counted: " << log;
  EXPECT_TRUE(Contains(log, " ok=false error=invalid_profile ms=")) << log;
  EXPECT_FALSE(Contains(log, "203.0.113.77")) << "no request value in the log";
  EXPECT_TRUE(Contains(log, "Z [Quorvane] request op=connect client_pid=")) << log;
  EXPECT_FALSE(Contains(log, "cXVvcnZhbmUtdGVzdC1jbGllbnQtcHJpdmF0ZS1rISE")) << "no private key in the log";
  RunChild(program, L"--uninstall", 30000);
}

// With the guard that ends the process on a passive mutation: a disconnect
// sent before any connect has nothing to undo, changes nothing and is
// answered, and the service goes on serving.
TEST(PassiveStartup, DisconnectFirstWithTheGuardOn_IsAnsweredAndTheServiceServesOn) {
  ScopedEnvironmentValue guard(L"QUORVANE_POC_DISABLE_ALL_NETWORK_MUTATION_ON_STARTUP", L"1");
  BackgroundChild service;
  ASSERT_TRUE(service.Start(PathBesideThisProgram(L"QuorvaneVpnService.exe"), L"--console"));
  ASSERT_TRUE(Within(30000, [] { return StartsWith(Send(kStatus), "{\"ok\":true"); })) << service.Err();
  EXPECT_TRUE(StartsWith(Send(kDisconnect), "{\"ok\":true,\"phase\":\"disconnected\"")) << service.Err();
  EXPECT_TRUE(StartsWith(Send(kStatus), "{\"ok\":true,\"phase\":\"disconnected\"")) << service.Err();
  EXPECT_FALSE(Contains(service.Err(), "forbidden during passive startup")) << service.Err();
}

}  // namespace
