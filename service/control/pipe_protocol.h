// The control channel's wire format: pipe name and limits, ops, phases,
// error codes and the builders of every reply shape. The JSON text helpers
// and the flat scanner are common/json_text's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/json_text.h"
#include "routes/route_guard.h"

namespace quorvane {

constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\QuorvaneVpn";
constexpr size_t kPipeBufferBytes = 65536;
constexpr size_t kMaxRequestBytes = 65535;

constexpr char kOpRegisterSession[] = "register_session";
constexpr char kOpStatus[] = "status";
constexpr char kOpDisconnect[] = "disconnect";
constexpr char kOpConnect[] = "connect";
// Waits for the next change of what status shows, then answers as status.
constexpr char kOpWatch[] = "watch";
// A watch answers at once when the state changed since its "since", and
// otherwise after the next change or this long without one.
constexpr uint32_t kWatchIdleMs = 25000;
// Instances that may wait in watches at once: the others stay for requests.
constexpr int kMaxWatchers = 2;

constexpr char kPhaseDisconnected[] = "disconnected";
constexpr char kPhaseConnecting[] = "connecting";
constexpr char kPhaseConnected[] = "connected";

// An error reply's code and message, for the errors whose message is fixed.
struct ProtocolError {
  const char* code;
  const char* message;
};

constexpr ProtocolError kForbiddenPath{"forbidden_path", "config paths not accepted from UI"};
constexpr ProtocolError kUnknownOp{"unknown_op", "unsupported operation"};
constexpr ProtocolError kSessionMismatch{"session_mismatch", "invalid session"};
constexpr ProtocolError kMissingRequiredFields{"invalid_profile", kMissingRequiredFieldsMessage};
constexpr ProtocolError kInvalidEndpointPort{"invalid_profile", kInvalidEndpointPortMessage};
constexpr ProtocolError kProfileControlCharacter{"invalid_profile", kProfileControlCharacterMessage};
// A user other than the tunnel's owner, not an administrator, while the
// tunnel runs or starts.
constexpr ProtocolError kTunnelOwnedByAnotherUser{"tunnel_owned_by_another_user",
                                                  "the tunnel belongs to another user until it goes down"};
// The client's token could not be read, so the request cannot be tied to a user.
constexpr ProtocolError kCallerUnidentified{"caller_unidentified",
                                            "the service could not tell which user sent the request"};
// A stop of the service has begun: a change still queued does not start.
constexpr ProtocolError kServiceStopping{"service_stopping", "the service is stopping; no change starts now"};
// The caller has a change waiting for its turn already.
constexpr ProtocolError kChangeInProgress{"change_in_progress",
                                          "a change of yours is waiting for its turn; wait for its answer"};
constexpr ProtocolError kWatchersBusy{"watchers_busy",
                                      "two clients wait for changes already; ask for status instead"};
constexpr ProtocolError kDefaultRouteDetected{"poc_default_route_detected",
                                              "tunnel installed a default route on WireGuard/Wintun interface"};
// Codes whose message comes from the subsystem that failed.
constexpr char kErrorAdminBypassFailed[] = "admin_bypass_failed";
constexpr char kErrorConfigWriteFailed[] = "config_write_failed";
constexpr char kErrorTunnelStartFailed[] = "tunnel_start_failed";
// Others may write where the service runs from (the message says which path
// and who): nothing is run as the system account from there.
constexpr char kErrorProgramFolderUnsafe[] = "program_folder_unsafe";
// The tunnel service could not be stopped: it may still run, so its bypass
// routes and configuration stay.
constexpr char kErrorTunnelStopFailed[] = "tunnel_stop_failed";

// The request text of what one read delivered: at most kMaxRequestBytes bytes,
// ending at the first NUL byte.
std::string RequestTextFromBytes(const char* data, size_t size);

// True when the raw request holds a configuration path key anywhere, also
// inside a value. Such a request is refused whatever its op.
bool ContainsForbiddenKey(const std::string& request);

// Reply shapes. |admin_bypass_member| and |route_guard_member| are complete
// members ("\"admin_bypass\":{...}" and "\"poc_route_guard\":{...}").
std::string SuccessReply(const std::string& phase, const std::string& node_id);
// |generation| grows with every change a status shows (a watch's "since").
std::string StatusReply(const std::string& phase, const std::string& node_id, bool tunnel_running,
                        uint64_t generation);
// Adds the two report members before a reply's closing brace; a text that does
// not end in "}" is returned unchanged.
std::string WithReports(const std::string& reply, const std::string& admin_bypass_member,
                        const std::string& route_guard_member);
// A success reply that says what had to be done, before its reports (an
// empty message leaves it unchanged).
std::string WithMessage(const std::string& reply, const std::string& message);
std::string ErrorReply(const std::string& code, const std::string& message);
std::string ErrorReply(const ProtocolError& error);
std::string ErrorReplyWithReports(const std::string& code, const std::string& message,
                                  const std::string& admin_bypass_member, const std::string& route_guard_member);

}  // namespace quorvane
