// Test equipment: an application that starts as the runner does, with the
// plugin's single-instance helper. The first instance shows a top-level
// window, marked as the plugin marks its window unless started with
// "unmarked" (and made 2 s late with "late"), and waits (the seconds given,
// 30 by default) for the activation message, then prints "activated" and
// exits 0, or exits 2; a later start prints "second" and exits 3.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include <quorvane_windows_vpn/single_instance.h>

namespace {

constexpr wchar_t kClass[] = L"QuorvaneSingleInstanceTestWindow";
UINT g_activate = 0;
bool g_activated = false;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (g_activate != 0 && message == g_activate) {
    g_activated = true;
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  bool marked = true, late = false;
  unsigned seconds = 30;
  for (int i = 1; i < argc; ++i) {
    if (std::wcscmp(argv[i], L"unmarked") == 0) marked = false;
    else if (std::wcscmp(argv[i], L"late") == 0) late = true;
    else seconds = static_cast<unsigned>(std::wcstoul(argv[i], nullptr, 10));
  }
  if (!quorvane_windows_vpn::ClaimSingleInstance(kClass, L"single instance test")) {
    std::printf("second\n");
    return 3;
  }
  std::printf("first\n");
  std::fflush(stdout);
  if (late) Sleep(2000);
  g_activate = RegisterWindowMessageW(quorvane_windows_vpn::kActivateMessageName);
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = kClass;
  RegisterClassW(&window_class);
  HWND window = CreateWindowExW(0, kClass, L"single instance test", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                nullptr, GetModuleHandleW(nullptr), nullptr);
  if (window == nullptr) return 1;
  if (marked) SetPropW(window, quorvane_windows_vpn::kPluginWindowProperty, reinterpret_cast<HANDLE>(1));
  SetTimer(window, 1, seconds * 1000, nullptr);  // bounded: a WM_TIMER ends the wait
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.message == WM_TIMER) break;
    DispatchMessageW(&message);
  }
  std::printf(g_activated ? "activated\n" : "not activated\n");
  return g_activated ? 0 : 2;
}
