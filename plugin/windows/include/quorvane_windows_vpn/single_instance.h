// For the application's runner (not part of the plugin DLL, which exports one
// function): the single-instance start. Call ClaimSingleInstance first thing
// in wWinMain; when it answers false, another instance has been brought
// forward and this one returns at once. The first instance's window must pass
// its messages to the engine's top-level delegates
// (flutter_controller_->HandleTopLevelWindowProc), where the plugin marks the
// window and handles the activation.
#ifndef QUORVANE_WINDOWS_VPN_SINGLE_INSTANCE_H_
#define QUORVANE_WINDOWS_VPN_SINGLE_INSTANCE_H_

#include <windows.h>

#include "single_instance_names.h"

namespace quorvane_windows_vpn {

// How long a second start looks for the first instance's window, which the
// first instance makes some time after it took the mutex.
constexpr DWORD kFirstWindowWaitMs = 5000;
constexpr DWORD kFirstWindowPollMs = 100;

// The first instance's window: a top-level window of |window_class| and
// |window_title| that the plugin has marked; null when there is none.
inline HWND FindFirstInstanceWindow(const wchar_t* window_class, const wchar_t* window_title) {
  for (HWND window = FindWindowExW(nullptr, nullptr, window_class, window_title); window != nullptr;
       window = FindWindowExW(nullptr, window, window_class, window_title)) {
    if (GetPropW(window, kPluginWindowProperty) != nullptr) return window;
  }
  return nullptr;
}

// True when this is the first instance (it now holds the named mutex for the
// rest of its life). False when another instance holds it: that instance's
// marked window of |window_class| and |window_title| (both required: every
// Flutter runner window has the same class) is allowed to take the foreground
// and sent the activation message, waiting up to 5 s for the window to be
// made. Without a title there is no single instance, and this starts.
inline bool ClaimSingleInstance(const wchar_t* window_class, const wchar_t* window_title) {
  if (window_class == nullptr || window_title == nullptr || window_title[0] == L'\0') return true;
  // Kept open until the process ends, which is what marks the first instance.
  HANDLE mutex = CreateMutexW(nullptr, FALSE, kSingleInstanceMutexName);
  if (mutex == nullptr) {
    SetEnvironmentVariableW(kSingleInstanceRoleVariable, L"unavailable");
    return true;  // no mutex, no single instance: start anyway
  }
  if (GetLastError() != ERROR_ALREADY_EXISTS) {
    SetEnvironmentVariableW(kSingleInstanceRoleVariable, L"primary");
    return true;
  }
  CloseHandle(mutex);
  HWND first = FindFirstInstanceWindow(window_class, window_title);
  for (DWORD waited = 0; first == nullptr && waited < kFirstWindowWaitMs; waited += kFirstWindowPollMs) {
    Sleep(kFirstWindowPollMs);
    first = FindFirstInstanceWindow(window_class, window_title);
  }
  if (first != nullptr) {
    DWORD first_process = 0;
    GetWindowThreadProcessId(first, &first_process);
    // A process in the background may not bring itself forward; this one,
    // started by the user, may let it.
    AllowSetForegroundWindow(first_process);
    const UINT activate = RegisterWindowMessageW(kActivateMessageName);
    if (activate != 0) PostMessageW(first, activate, 0, 0);
  }
  return false;
}

}  // namespace quorvane_windows_vpn

#endif  // QUORVANE_WINDOWS_VPN_SINGLE_INSTANCE_H_
