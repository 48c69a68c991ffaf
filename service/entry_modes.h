// The program's entry modes, one function each, chosen by the command line.
// Each returns the process exit code.
#pragma once

#include <string>

namespace quorvane {

int RunTunnelServiceEntry(const std::wstring& config_path);  // "/service <conf>"
int RunDryRunStartup();                                       // "--dry-run-startup"
int RunInstallCommand();                                      // "--install"
int RunUninstallCommand();                                    // "--uninstall"
int RunServiceDispatcher();                                   // "--run-as-service"
int RunConsoleMode();                                         // "--console"

}  // namespace quorvane
