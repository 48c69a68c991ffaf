// The program's entry modes, one function each, chosen by the command line.
// Each returns the process exit code.
#pragma once

#include <string>
#include <vector>

namespace quorvane {

int RunInstallCommand(const std::vector<std::wstring>& args);  // "--install [START=...]"
int RunUninstallCommand(const std::vector<std::wstring>& args);  // "--uninstall [--keep-registration]"
int RunServiceDispatcher();  // "--run-as-service"
int RunConsoleMode();        // "--console"

}  // namespace quorvane
