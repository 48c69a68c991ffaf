// What the system tests ask of the running service and the service manager:
// a bounded wait, whether the tunnel service exists, and an exchange that is
// sent again while the one pipe instance is busy between two exchanges.
#pragma once

#include <windows.h>

#include <string>

#include "pipe_client.h"

// Polls |condition| every 100 ms for at most |ms|.
template <typename Condition>
bool Within(DWORD ms, Condition condition) {
  for (DWORD waited = 0; waited < ms; waited += 100) {
    if (condition()) return true;
    Sleep(100);
  }
  return condition();
}

inline bool TunnelServiceExists() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = OpenServiceW(manager, L"QuorvaneVpnTunnel$Active", SERVICE_QUERY_STATUS);
  const bool exists = service != nullptr;
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return exists;
}

// The client does not wait for a busy instance (by design): a request sent
// right after another may find it busy, and is sent again here (10 s at most).
inline std::string SendWhenFree(const std::string& request) {
  std::string reply;
  for (int i = 0; i < 1000; ++i) {
    reply = quorvane_windows_vpn::SendPipeRequest(request);
    if (reply != quorvane_windows_vpn::kPipeUnavailableReply) break;
    Sleep(10);
  }
  return reply;
}
