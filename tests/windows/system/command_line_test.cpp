// The real QuorvaneVpnService.exe started as a child process: its exit codes and
// its exact output bytes.
#include <gtest/gtest.h>

#include <string>

#include <windows.h>

#include "child_process.h"
#include "temp_directory.h"
#include "test_registry.h"

namespace {

constexpr uint32_t kTimeoutMs = 60000;

const char kUsage[] =
    "QuorvaneVpnService\n"
    "  --dry-run-startup      Passive startup check only (no IPC)\n"
    "  --console              Run IPC server in foreground\n"
    "  --console --dry-run-startup  Same as --dry-run-startup\n"
    "  --run-as-service       SCM entry (used by installer)\n"
    "  --install              Register Windows service (admin)\n"
    "  --uninstall            Remove Windows service (admin)\n"
    "  /service <conf>        WireGuard tunnel entry (W1-C)\n"
    "  --version              Print the version\n";

ChildResult RunService(const std::wstring& arguments) {
  return RunChild(PathBesideThisProgram(L"QuorvaneVpnService.exe"), arguments, kTimeoutMs);
}

TEST(ServiceCommandLine, UsageCases_PrintTheExactUsageAndExit1) {
  for (const wchar_t* arguments : {L"", L"--Console", L"/service", L"--unknown", L"console --console"}) {
    const ChildResult result = RunService(arguments);
    ASSERT_TRUE(result.finished) << "arguments: " << testing::PrintToString(std::wstring(arguments));
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_EQ(result.out, kUsage);
    EXPECT_EQ(result.err, "");
  }
}

// The start time is the one part of the report that cannot be known beforehand.
std::string WithoutStartTime(const std::string& line) {
  const std::string key = "\"service_started_utc\":\"";
  const size_t at = line.find(key);
  if (at == std::string::npos || line.size() < at + key.size() + 20) return line;
  const std::string time = line.substr(at + key.size(), 20);
  const bool shaped = time[4] == '-' && time[7] == '-' && time[10] == 'T' && time[13] == ':' && time[16] == ':' &&
                      time[19] == 'Z';
  return line.substr(0, at + key.size()) + (shaped ? "<time>" : time) + line.substr(at + key.size() + 20);
}

// A path as the report's JSON writes it (ASCII paths here): each backslash doubled.
std::string Escaped(const std::wstring& path) {
  std::string text;
  for (const wchar_t c : path) text += c == L'\\' ? std::string("\\\\") : std::string(1, static_cast<char>(c));
  return text;
}

TEST(ServiceCommandLine, DryRun_PrintsTheReportOnBothStreamsAndExits0) {
  const std::string expected =
      "[Quorvane] passive startup report: {\"service_started_utc\":\"<time>\",\"startup_passive\":true,"
      "\"startup_route_mutation_count\":0,\"startup_tunnel_started\":false,\"startup_config_written\":false,"
      "\"leftover_tunnel_service_running\":false,\"leftover_tunnel_default_route_detected\":false,"
      "\"startup_network_mutation_guard_enabled\":false,\"tunnel_libraries\":{\"tunnel.dll\":\"" +
      Escaped(PathBesideThisProgram(L"tunnel.dll")) + "\",\"wireguard.dll\":\"" +
      Escaped(PathBesideThisProgram(L"wireguard.dll")) + "\"}}\n";
  for (const wchar_t* arguments : {L"--dry-run-startup", L"--CONSOLE --DRY-RUN-STARTUP", L"--install -dry-run-startup"}) {
    const ChildResult result = RunService(arguments);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(WithoutStartTime(result.out), expected);
    EXPECT_EQ(result.err, result.out);
  }
}

TEST(ServiceCommandLine, TunnelEntry_ExitCodesFollowTheTunnelLibrary) {
  // Each case runs a copy of the program in a folder of its own, with or
  // without a tunnel.dll beside it.
  const struct {
    const wchar_t* library;  // copied in as tunnel.dll; nullptr for none
    const wchar_t* arguments;
    uint32_t exit_code;
  } cases[] = {
      {L"tunnel.dll", L"/service \"\"", 1},
      {nullptr, L"/service C:\\nowhere\\active.conf", 2},
      {L"tunnel_without_export.dll", L"/service C:\\nowhere\\active.conf", 3},
      {L"tunnel.dll", L"/service C:\\nowhere\\active.conf", 4},  // the stand-in outside the service manager
  };
  for (const auto& c : cases) {
    ScopedTempDirectory folder(L"quorvane tunnel entry");
    const std::wstring program = folder.path() + L"\\QuorvaneVpnService.exe";
    ASSERT_TRUE(CopyFileW(PathBesideThisProgram(L"QuorvaneVpnService.exe").c_str(), program.c_str(), FALSE));
    if (c.library != nullptr) {
      ASSERT_TRUE(CopyFileW(PathBesideThisProgram(c.library).c_str(), (folder.path() + L"\\tunnel.dll").c_str(),
                            FALSE));
    }
    const ChildResult result = RunChild(program, c.arguments, kTimeoutMs, folder.path());
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, c.exit_code) << testing::PrintToString(std::wstring(c.arguments));
    EXPECT_EQ(result.out + result.err, "");
  }
}

// A tunnel.dll that is not beside the program, but in a folder on PATH that
// is also the working folder, is never loaded: "library missing", not the
// stand-in's own failure outside the service manager (4).
TEST(ServiceCommandLine, TunnelEntry_NeverLoadsATunnelLibraryFromPathOrTheWorkingFolder) {
  ScopedTempDirectory program_folder(L"quorvane safe search");
  ScopedTempDirectory planted(L"quorvane planted");
  const std::wstring program = program_folder.path() + L"\\QuorvaneVpnService.exe";
  ASSERT_TRUE(CopyFileW(PathBesideThisProgram(L"QuorvaneVpnService.exe").c_str(), program.c_str(), FALSE));
  ASSERT_TRUE(
      CopyFileW(PathBesideThisProgram(L"tunnel.dll").c_str(), (planted.path() + L"\\tunnel.dll").c_str(), FALSE));
  wchar_t path[32768] = {};
  GetEnvironmentVariableW(L"PATH", path, 32768);
  ScopedEnvironmentValue on_path(L"PATH", planted.path() + L";" + path);
  const ChildResult result = RunChild(program, L"/service C:\\nowhere\\active.conf", kTimeoutMs, planted.path());
  ASSERT_TRUE(result.finished);
  EXPECT_EQ(result.exit_code, 2u);
}

}  // namespace
