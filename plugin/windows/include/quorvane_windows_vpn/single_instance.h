// For the application's runner (not part of the plugin DLL, which exports one
// function): the single-instance start. Call ClaimSingleInstance first thing
// in wWinMain; when it answers false, another instance has been brought
// forward and this one returns at once. The first instance's window must pass
// its messages to the engine's top-level delegates
// (flutter_controller_->HandleTopLevelWindowProc), where the plugin handles
// the activation.
#ifndef QUORVANE_WINDOWS_VPN_SINGLE_INSTANCE_H_
#define QUORVANE_WINDOWS_VPN_SINGLE_INSTANCE_H_

#include <windows.h>

namespace quorvane_windows_vpn {

constexpr wchar_t kRunnerSingleInstanceMutex[] = L"Local\\QuorvaneVpnClientSingleInstance";
constexpr wchar_t kRunnerActivateMessage[] = L"QuorvaneVpnClientActivate";

// True when this is the first instance (it now holds the named mutex for the
// rest of its life). False when another instance holds it: that instance's
// top-level window of |window_class| (and |window_title|, when given) is
// allowed to take the foreground and sent the activation message.
inline bool ClaimSingleInstance(const wchar_t* window_class, const wchar_t* window_title = nullptr) {
  // Kept open until the process ends, which is what marks the first instance.
  HANDLE mutex = CreateMutexW(nullptr, FALSE, kRunnerSingleInstanceMutex);
  if (mutex == nullptr) return true;  // no mutex, no single instance: start anyway
  if (GetLastError() != ERROR_ALREADY_EXISTS) return true;
  CloseHandle(mutex);
  HWND first = FindWindowW(window_class, window_title);
  if (first != nullptr) {
    DWORD first_process = 0;
    GetWindowThreadProcessId(first, &first_process);
    // A process in the background may not bring itself forward; this one,
    // started by the user, may let it.
    AllowSetForegroundWindow(first_process);
    const UINT activate = RegisterWindowMessageW(kRunnerActivateMessage);
    if (activate != 0) PostMessageW(first, activate, 0, 0);
  }
  return false;
}

}  // namespace quorvane_windows_vpn

#endif  // QUORVANE_WINDOWS_VPN_SINGLE_INSTANCE_H_
