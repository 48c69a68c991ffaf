// The names the runner's single-instance start and the plugin share, each
// written once.
#ifndef QUORVANE_WINDOWS_VPN_SINGLE_INSTANCE_NAMES_H_
#define QUORVANE_WINDOWS_VPN_SINGLE_INSTANCE_NAMES_H_

namespace quorvane_windows_vpn {

// Held by the first instance for its whole life.
constexpr wchar_t kSingleInstanceMutexName[] = L"Local\\QuorvaneVpnClientSingleInstance";
// Posted by a second start to the first instance's window.
constexpr wchar_t kActivateMessageName[] = L"QuorvaneVpnClientActivate";
// Set by the plugin on the window it serves: a second start activates only a
// window that carries it, never another Flutter application's.
constexpr wchar_t kPluginWindowProperty[] = L"QuorvaneVpnClientWindow";
// Set in this process's environment by ClaimSingleInstance: "primary" when it
// claimed the mutex, "unavailable" when no mutex could be made.
constexpr wchar_t kSingleInstanceRoleVariable[] = L"QUORVANE_VPN_SINGLE_INSTANCE";

}  // namespace quorvane_windows_vpn

#endif  // QUORVANE_WINDOWS_VPN_SINGLE_INSTANCE_NAMES_H_
