// The program's entry modes, one function each, chosen by the command line.
// Each returns the process exit code.
#pragma once

namespace quorvane {

int RunInstallCommand();     // "--install"
int RunUninstallCommand();   // "--uninstall"
int RunServiceDispatcher();  // "--run-as-service"
int RunConsoleMode();        // "--console"

}  // namespace quorvane
