// One exchange with the Quorvane VPN service over its named pipe: write one
// request, read one reply. The plugin and QuorvaneVpnCtl share it. Never
// fails towards the caller: when the pipe cannot be used, the reply is one of
// the error texts below, shaped like the service's own error replies.
#pragma once

#include <cstdint>
#include <string>

namespace quorvane_windows_vpn {

constexpr wchar_t kServicePipeName[] = L"\\\\.\\pipe\\QuorvaneVpn";
// The service's pipe for administrators (elevated) alone: always an instance
// for them, and the reports in full.
constexpr wchar_t kAdminServicePipeName[] = L"\\\\.\\pipe\\QuorvaneVpnAdmin";
// No pipe of that name exists: the service is not running.
constexpr char kPipeUnavailableReply[] = "{\"ok\":false,\"error\":\"pipe_unavailable\"}";
// Every instance stayed busy for kPipeBusyBoundMs: the service is there but
// serving others.
constexpr char kPipeBusyReply[] = "{\"ok\":false,\"error\":\"pipe_busy\"}";
// The pipe's access list does not admit this user (nobody at the machine
// logged on as them: the service admits the console's and RDP users).
constexpr char kPipeAccessDeniedReply[] = "{\"ok\":false,\"error\":\"pipe_access_denied\"}";
constexpr char kPipeWriteFailedReply[] = "{\"ok\":false,\"error\":\"pipe_write_failed\"}";
constexpr char kPipeReadFailedReply[] = "{\"ok\":false,\"error\":\"pipe_read_failed\"}";
// The pipe is not owned by the system account or Administrators, so it is not
// the service's: another process holds the name. Nothing was written to it.
// Where that process can be told, a "message" names it: "held by process
// 1234 (name.exe)".
constexpr char kPipeServerUntrustedReply[] = "{\"ok\":false,\"error\":\"pipe_server_untrusted\"}";

// The service's own word that the caller's session holds its share of the
// instances: waited for like a busy pipe, within the same bound.
constexpr char kServerBusyPrefix[] = "{\"ok\":false,\"error\":\"pipe_busy\",\"message\":";
// How long a client waits in all for a busy pipe (each instance serves one
// exchange at a time; a connect may hold one for a while).
constexpr uint32_t kPipeBusyBoundMs = 10000;
constexpr size_t kMaxReplyBytes = 65535;
// Between two tries after the service's own busy word.
constexpr uint32_t kServerBusyPauseMs = 100;

// Blocks until the service answers or closes its end; the reply ends at its
// first zero byte. |pipe_name| exists for tests; the service's pipe otherwise.
std::string SendPipeRequest(const std::string& request, const wchar_t* pipe_name = kServicePipeName);

}  // namespace quorvane_windows_vpn
