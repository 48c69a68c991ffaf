// QuorvaneVpnSetup.exe: the package's actions (--install, --uninstall,
// --configure), as QuorvaneVpnService.exe runs them, in a program without a
// console: Windows Installer runs them as the system account, and a console
// window of the system account on a user's desktop is what a repair's
// elevation tricks start from. What they would print goes to the service log.
#include <string>
#include <vector>

#include "common/service_log.h"
#include "common/wide_text.h"
#include "host/command_line.h"
#include "platform/library.h"

int wmain(int argc, wchar_t** argv) {
  uint32_t error_code = 0;
  platform::RestrictLibrarySearch(&error_code);
  quorvane::SetServiceLogEnabled(true, quorvane::LogHolding::kEachLine);
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  const std::wstring mode = args.empty() ? L"" : args[0];
  if (mode != L"--install" && mode != L"--uninstall" && mode != L"--configure") {
    quorvane::LogLine("[Quorvane][setup] refused: only --install, --uninstall and --configure are run here");
    return 2;
  }
  const int exit_code = quorvane::RunCommandLine(args);
  quorvane::LogLine("[Quorvane][setup] " + quorvane::WideToUtf8(mode) + " ended with exit code " +
                    std::to_string(exit_code));
  return exit_code;
}
