#include "host/command_line.h"

#include <gtest/gtest.h>

#include "common/wide_text.h"

#include "fake_windows_test.h"
#include "common/startup_record.h"

namespace quorvane {
namespace {

const wchar_t kExpectedUsage[] =
    L"QuorvaneVpnService\n"
    L"  --dry-run-startup      Passive startup check only (no IPC)\n"
    L"  --console              Run IPC server in foreground\n"
    L"  --console --dry-run-startup  Same as --dry-run-startup\n"
    L"  --run-as-service       SCM entry (used by installer)\n"
    L"  --install              Register Windows service (admin)\n"
    L"  --uninstall            Remove Windows service (admin)\n"
    L"  /service <conf>        WireGuard tunnel entry (W1-C)\n"
    L"  --version              Print the version\n";

EntryMode ModeOf(std::vector<std::wstring> args) { return ChooseEntryMode(args).mode; }

TEST(ChooseEntryMode, TunnelEntry_NeedsExactSlashServiceAndAPath) {
  const EntryChoice choice = ChooseEntryMode({L"/service", L"C:\\ProgramData\\Quorvane\\tunnels\\active.conf"});
  EXPECT_EQ(choice.mode, EntryMode::kTunnelService);
  EXPECT_EQ(choice.config_path, L"C:\\ProgramData\\Quorvane\\tunnels\\active.conf");
  // The path is taken as it stands, even when it looks like an option.
  EXPECT_EQ(ChooseEntryMode({L"/service", L"--dry-run-startup"}).mode, EntryMode::kTunnelService);
  EXPECT_EQ(ModeOf({L"/service"}), EntryMode::kUsage);
  EXPECT_EQ(ModeOf({L"/Service", L"x.conf"}), EntryMode::kUsage);
  EXPECT_EQ(ModeOf({L"x.conf", L"/service"}), EntryMode::kUsage);
}

TEST(ChooseEntryMode, DryRunAnywhereInAnyCase_WinsOverOtherOptions) {
  EXPECT_EQ(ModeOf({L"--dry-run-startup"}), EntryMode::kDryRunStartup);
  EXPECT_EQ(ModeOf({L"-dry-run-startup"}), EntryMode::kDryRunStartup);
  EXPECT_EQ(ModeOf({L"--CONSOLE", L"--DRY-RUN-STARTUP"}), EntryMode::kDryRunStartup);
  EXPECT_EQ(ModeOf({L"--install", L"-Dry-Run-Startup"}), EntryMode::kDryRunStartup);
  EXPECT_EQ(ModeOf({L"/service", L"-DRY-RUN-STARTUP"}), EntryMode::kTunnelService);
  EXPECT_EQ(ModeOf({L"--dry-run-startupx"}), EntryMode::kUsage);
  EXPECT_EQ(ModeOf({L"---dry-run-startup"}), EntryMode::kUsage);
}

TEST(ChooseEntryMode, FirstArgumentOptions_AreExactAndCaseSensitive) {
  EXPECT_EQ(ModeOf({L"--install"}), EntryMode::kInstall);
  EXPECT_EQ(ModeOf({L"--uninstall"}), EntryMode::kUninstall);
  EXPECT_EQ(ModeOf({L"--run-as-service"}), EntryMode::kRunAsService);
  EXPECT_EQ(ModeOf({L"--console"}), EntryMode::kConsole);
  EXPECT_EQ(ModeOf({L"-console"}), EntryMode::kConsole);
  EXPECT_EQ(ModeOf({L"--console", L"--install"}), EntryMode::kConsole);  // later arguments are ignored
  EXPECT_EQ(ModeOf({L"--Console"}), EntryMode::kUsage);
  EXPECT_EQ(ModeOf({L"--INSTALL"}), EntryMode::kUsage);
  EXPECT_EQ(ModeOf({L"console"}), EntryMode::kUsage);
  EXPECT_EQ(ModeOf({L"--verbose", L"--console"}), EntryMode::kUsage);
  EXPECT_EQ(ModeOf({}), EntryMode::kUsage);
}

class RunCommandLineTest : public FakeWindowsTest {};

TEST_F(RunCommandLineTest, UsageCases_PrintTheExactTextAndExit1) {
  for (const std::vector<std::wstring>& args :
       {std::vector<std::wstring>{}, {L"--Console"}, {L"/service"}, {L"--bogus"}}) {
    platform::fake::Reset();
    EXPECT_EQ(RunCommandLine(args), 1);
    EXPECT_EQ(platform::fake::StdoutText(), kExpectedUsage);
    EXPECT_EQ(platform::fake::StderrText(), L"");
  }
}

TEST_F(RunCommandLineTest, Version_PrintsTheProjectVersion) {
  EXPECT_EQ(RunCommandLine({L"--version"}), 0);
  EXPECT_EQ(platform::fake::StdoutText(), L"QuorvaneVpnService " + Utf8ToWide(QUORVANE_VERSION) + L"\n");
  EXPECT_EQ(ModeOf({L"--version", L"--console"}), EntryMode::kUsage);
}

TEST_F(RunCommandLineTest, DryRunAndTunnelEntry_RunTheirModes) {
  EXPECT_EQ(RunCommandLine({L"--CONSOLE", L"--DRY-RUN-STARTUP"}), 0);
  EXPECT_EQ(platform::fake::StdoutText().rfind(L"[Quorvane] passive startup report: {", 0), 0u);
  platform::fake::Reset();
  platform::fake::RemoveLibrary(L"tunnel.dll");
  EXPECT_EQ(RunCommandLine({L"/service", L"C:\\x.conf"}), 2);
  EXPECT_EQ(platform::fake::StdoutText() + platform::fake::StderrText(), L"");
}

TEST_F(RunCommandLineTest, EveryStart_ResetsTheStartTime) {
  ResetStartupRecord("stale");
  RunCommandLine({});
  EXPECT_NE(ServiceStartTime(), "stale");
  EXPECT_EQ(ServiceStartTime().size(), std::string("2026-12-08T01:20:00Z").size());
}

}  // namespace
}  // namespace quorvane
