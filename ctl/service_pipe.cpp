#include "service_pipe.h"

#include <windows.h>

#include "pipe_client.h"

namespace quorvane_ctl {
namespace {

// Whether this process's token is elevated: a filtered administrator's token
// is refused on the administrators' pipe.
bool RunningElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool elevated =
      GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) && elevation.TokenIsElevated;
  CloseHandle(token);
  return elevated;
}

}  // namespace

std::string SendAsThisUser(const std::string& request) {
  namespace client = quorvane_windows_vpn;
  if (RunningElevated()) {
    std::string reply = client::SendPipeRequest(request, client::kAdminServicePipeName);
    if (reply != client::kPipeUnavailableReply && reply != client::kPipeAccessDeniedReply) return reply;
  }
  return client::SendPipeRequest(request);
}

}  // namespace quorvane_ctl
