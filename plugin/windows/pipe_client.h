// One exchange with the Quorvane VPN service over its named pipe: write one
// request, read one reply. Never fails towards the caller: when the pipe
// cannot be used, the reply is one of the error texts below, shaped like the
// service's own error replies.
#pragma once

#include <string>

namespace quorvane_windows_vpn {

constexpr wchar_t kServicePipeName[] = L"\\\\.\\pipe\\QuorvaneVpn";
constexpr char kPipeUnavailableReply[] = "{\"ok\":false,\"error\":\"pipe_unavailable\"}";
constexpr char kPipeWriteFailedReply[] = "{\"ok\":false,\"error\":\"pipe_write_failed\"}";
constexpr char kPipeReadFailedReply[] = "{\"ok\":false,\"error\":\"pipe_read_failed\"}";
// The pipe is not owned by the system account or Administrators, so it is not
// the service's: another process holds the name. Nothing was written to it.
constexpr char kPipeServerUntrustedReply[] = "{\"ok\":false,\"error\":\"pipe_server_untrusted\"}";

// Blocks until the service answers or closes its end; the reply ends at its
// first zero byte. |pipe_name| exists for tests; the service's pipe otherwise.
std::string SendPipeRequest(const std::string& request, const wchar_t* pipe_name = kServicePipeName);

}  // namespace quorvane_windows_vpn
