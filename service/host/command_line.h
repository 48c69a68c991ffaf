// The command line: which entry mode an argument list selects, and the run of
// that mode.
#pragma once

#include <string>
#include <vector>

namespace quorvane {

extern const wchar_t kUsageText[];

enum class EntryMode {
  kTunnelService,
  kDryRunStartup,
  kUsage,
  kInstall,
  kVersion,
  kUninstall,
  kConfigure,
  kRunAsService,
  kConsole
};

struct EntryChoice {
  EntryMode mode = EntryMode::kUsage;
  std::wstring config_path;  // kTunnelService only.
};

// |args| are the arguments after the program name.
EntryChoice ChooseEntryMode(const std::vector<std::wstring>& args);

// Clears the start-up record, then runs the chosen mode; returns the exit code.
int RunCommandLine(const std::vector<std::wstring>& args);

}  // namespace quorvane
