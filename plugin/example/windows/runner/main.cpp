// The lines of the standard Flutter runner's main.cpp that the plugin's
// single-instance start changes: one include and one call before anything
// else. (The window's messages already go to the engine's top-level
// delegates through flutter_controller_->HandleTopLevelWindowProc in the
// standard flutter_window.cpp, which is where the plugin handles the
// activation.)
#include <flutter/dart_project.h>
#include <flutter/flutter_view_controller.h>
#include <windows.h>

#include <quorvane_windows_vpn/single_instance.h>

#include "flutter_window.h"
#include "utils.h"

int APIENTRY wWinMain(_In_ HINSTANCE instance, _In_opt_ HINSTANCE prev, _In_ wchar_t* command_line,
                      _In_ int show_command) {
  // A second start brings the first forward and ends here.
  if (!quorvane_windows_vpn::ClaimSingleInstance(L"FLUTTER_RUNNER_WIN32_WINDOW", L"quorvane_vpn_example")) {
    return EXIT_SUCCESS;
  }

  // ... the rest of the standard runner, unchanged: console attach, COM
  // initialisation, the DartProject, FlutterWindow window(project) and
  // window.Create(L"quorvane_vpn_example", origin, size), the message loop.
  return EXIT_SUCCESS;
}
