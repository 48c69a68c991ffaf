// The real QuorvaneVpnService.exe started as a child process: its exit codes and
// its exact output bytes.
#include <gtest/gtest.h>

#include <string>

#include "child_process.h"

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
    "  /service <conf>        WireGuard tunnel entry (W1-C)\n";

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

TEST(ServiceCommandLine, UpperCaseConsoleWithDryRun_TakesTheDryRunBranch) {
  const ChildResult result = RunService(L"--CONSOLE --DRY-RUN-STARTUP");
  ASSERT_TRUE(result.finished);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "--dry-run-startup: not available in this build\n");
  EXPECT_EQ(result.exit_code, 1u);
}

TEST(ServiceCommandLine, TunnelEntryWithAPath_IsDispatchedBeforeAnythingElse) {
  const ChildResult result = RunService(L"/service C:\\nowhere\\active.conf");
  ASSERT_TRUE(result.finished);
  EXPECT_EQ(result.err, "/service: not available in this build\n");
  EXPECT_EQ(result.exit_code, 1u);
}

}  // namespace
