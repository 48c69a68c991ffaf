#include "host/command_line.h"

#include "common/ascii_case.h"
#include "common/utc_time_text.h"
#include "common/wide_text.h"
#include "host/entry_modes.h"
#include "host/package_settings.h"
#include "platform/process.h"
#include "common/startup_record.h"
#include "host/startup_report.h"
#include "tunnel/tunnel_service_entry.h"

namespace quorvane {

const wchar_t kUsageText[] =
    L"QuorvaneVpnService\n"
    L"  --dry-run-startup      Passive startup check only (no IPC)\n"
    L"  --console              Run IPC server in foreground\n"
    L"  --console --dry-run-startup  Same as --dry-run-startup\n"
    L"  --run-as-service       SCM entry (used by installer)\n"
    L"  --install              Register Windows service (admin)\n"
    L"  --uninstall            Remove Windows service (admin)\n"
    L"  /service <conf>        WireGuard tunnel entry (W1-C)\n"
    L"  --version              Print the version\n";

namespace {

// |option| is given in lower case.
bool AnyArgumentIs(const std::vector<std::wstring>& args, const std::wstring& option) {
  for (const std::wstring& arg : args) {
    if (AsciiLower(arg) == option) return true;
  }
  return false;
}

}  // namespace

EntryChoice ChooseEntryMode(const std::vector<std::wstring>& args) {
  // The tunnel entry is decided first and alone: the service control manager
  // starts it with exactly "/service" and the configuration path.
  if (args.size() >= 2 && args[0] == L"/service") return EntryChoice{EntryMode::kTunnelService, args[1]};
  // A dry-run flag anywhere wins over every other option.
  if (AnyArgumentIs(args, L"--dry-run-startup") || AnyArgumentIs(args, L"-dry-run-startup")) {
    return EntryChoice{EntryMode::kDryRunStartup, {}};
  }
  if (args.empty()) return EntryChoice{EntryMode::kUsage, {}};
  const std::wstring& first = args[0];
  if (first == L"--install") return EntryChoice{EntryMode::kInstall, {}};
  if (first == L"--version" && args.size() == 1) return EntryChoice{EntryMode::kVersion, {}};
  if (first == L"--uninstall") return EntryChoice{EntryMode::kUninstall, {}};
  if (first == L"--configure") return EntryChoice{EntryMode::kConfigure, {}};
  if (first == L"--run-as-service") return EntryChoice{EntryMode::kRunAsService, {}};
  if (first == L"--console" || first == L"-console") return EntryChoice{EntryMode::kConsole, {}};
  return EntryChoice{EntryMode::kUsage, {}};
}

int RunCommandLine(const std::vector<std::wstring>& args) {
  ResetStartupRecord(CurrentUtcTimeText());
  const EntryChoice choice = ChooseEntryMode(args);
  switch (choice.mode) {
    case EntryMode::kTunnelService: return RunTunnelService(choice.config_path);
    case EntryMode::kDryRunStartup: return RunDryRunStartup();
    case EntryMode::kInstall: return RunInstallCommand(args);
    case EntryMode::kVersion:
      platform::WriteStdout(L"QuorvaneVpnService " + Utf8ToWide(QUORVANE_VERSION) + L"\n");
      return 0;
    case EntryMode::kUninstall: return RunUninstallCommand(args);
    case EntryMode::kConfigure: return RunConfigureCommand(args);
    case EntryMode::kRunAsService: return RunServiceDispatcher();
    case EntryMode::kConsole: return RunConsoleMode();
    case EntryMode::kUsage: break;
  }
  platform::WriteStdout(kUsageText);
  return 1;
}

}  // namespace quorvane
