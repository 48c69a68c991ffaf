// What the tunnel and system tests ask of the service manager: a service's
// state, whether the tunnel's service exists, and a bounded wait for either.
#pragma once

#include <windows.h>

#include <memory>
#include <type_traits>

// Polls |condition| every 100 ms for at most |ms|.
template <typename Condition>
bool Within(DWORD ms, Condition condition) {
  for (DWORD waited = 0; waited < ms; waited += 100) {
    if (condition()) return true;
    Sleep(100);
  }
  return condition();
}

struct ScmHandleCloser {
  void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ScmHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ScmHandleCloser>;

// The service's current state (SERVICE_RUNNING, ...), or 0 when it is not installed or cannot be asked.
inline DWORD ServiceState(const wchar_t* name) {
  const ScmHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const ScmHandle service(manager != nullptr ? OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS) : nullptr);
  SERVICE_STATUS status{};
  return service != nullptr && QueryServiceStatus(service.get(), &status) ? status.dwCurrentState : 0;
}

inline bool TunnelServiceExists() { return ServiceState(L"QuorvaneVpnTunnel$Active") != 0; }
