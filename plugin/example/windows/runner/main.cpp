// The example application's entry: one instance at a time, then the Flutter
// window and its message loop.
#include <flutter/dart_project.h>
#include <flutter/flutter_view_controller.h>
#include <windows.h>

#include <quorvane_windows_vpn/single_instance.h>

#include "flutter_window.h"
#include "utils.h"

namespace {

constexpr wchar_t kWindowTitle[] = L"quorvane_vpn_example";

}  // namespace

int APIENTRY wWinMain(_In_ HINSTANCE instance, _In_opt_ HINSTANCE prev, _In_ wchar_t* command_line,
                      _In_ int show_command) {
  // A second start brings the first forward and ends here.
  if (!quorvane_windows_vpn::ClaimSingleInstance(Win32Window::kWindowClassName, kWindowTitle)) {
    return EXIT_SUCCESS;
  }

  // Output to the console that started the application ("flutter run"), or a
  // new one when a debugger is attached.
  if (!::AttachConsole(ATTACH_PARENT_PROCESS) && ::IsDebuggerPresent()) {
    CreateAndAttachConsole();
  }

  // COM, for the engine and for plugins that use it.
  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  flutter::DartProject project(L"data");
  project.set_dart_entrypoint_arguments(GetCommandLineArguments());

  FlutterWindow window(project);
  const Win32Window::Point origin(10, 10);
  const Win32Window::Size size(1280, 720);
  if (!window.Create(kWindowTitle, origin, size)) {
    return EXIT_FAILURE;
  }
  window.SetQuitOnClose(true);

  ::MSG message;
  while (::GetMessage(&message, nullptr, 0, 0)) {
    ::TranslateMessage(&message);
    ::DispatchMessage(&message);
  }

  ::CoUninitialize();
  return EXIT_SUCCESS;
}
