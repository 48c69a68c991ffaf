// Test equipment: an application that starts as the runner does, with the
// plugin's single-instance helper. The first instance shows a top-level
// window and waits (30 s at most) for the activation message, then prints
// "activated" and exits 0; a later start prints "second" and exits 3.
#include <windows.h>

#include <cstdio>

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

int main() {
  if (!quorvane_windows_vpn::ClaimSingleInstance(kClass, L"single instance test")) {
    std::printf("second\n");
    return 3;
  }
  g_activate = RegisterWindowMessageW(quorvane_windows_vpn::kRunnerActivateMessage);
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = kClass;
  RegisterClassW(&window_class);
  HWND window = CreateWindowExW(0, kClass, L"single instance test", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                nullptr, GetModuleHandleW(nullptr), nullptr);
  if (window == nullptr) return 1;
  std::printf("first\n");
  std::fflush(stdout);
  SetTimer(window, 1, 30000, nullptr);  // bounded: a WM_TIMER ends the wait
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.message == WM_TIMER) break;
    DispatchMessageW(&message);
  }
  std::printf(g_activated ? "activated\n" : "not activated\n");
  return g_activated ? 0 : 2;
}
