// The control channel's wire format: pipe name and limits, the flat JSON
// scanner that reads requests, and the builders of every reply shape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvane {

constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\QuorvaneVpn";
constexpr size_t kPipeBufferBytes = 65536;
constexpr size_t kMaxRequestBytes = 65535;

constexpr char kOpRegisterSession[] = "register_session";
constexpr char kOpStatus[] = "status";
constexpr char kOpDisconnect[] = "disconnect";
constexpr char kOpConnect[] = "connect";

constexpr char kPhaseDisconnected[] = "disconnected";
constexpr char kPhaseConnecting[] = "connecting";
constexpr char kPhaseConnected[] = "connected";

constexpr int32_t kDefaultEndpointPort = 51820;

// An error reply's code and message, for the errors whose message is fixed.
struct ProtocolError {
  const char* code;
  const char* message;
};

constexpr ProtocolError kForbiddenPath{"forbidden_path", "config paths not accepted from UI"};
constexpr ProtocolError kUnknownOp{"unknown_op", "unsupported operation"};
constexpr ProtocolError kSessionMismatch{"session_mismatch", "invalid session"};
constexpr ProtocolError kMissingRequiredFields{"invalid_profile", "missing required fields"};
constexpr ProtocolError kInvalidEndpointPort{"invalid_profile", "invalid endpoint_port"};
constexpr ProtocolError kProfileControlCharacter{"invalid_profile",
                                                 "profile field contains a control character"};
constexpr ProtocolError kDefaultRouteDetected{"poc_default_route_detected",
                                              "tunnel installed a default route on WireGuard/Wintun interface"};
// Codes whose message comes from the subsystem that failed.
constexpr char kErrorEnvReadFailed[] = "poc_env_read_failed";
constexpr char kErrorAdminBypassFailed[] = "admin_bypass_failed";
constexpr char kErrorRouteGuardFailed[] = "poc_route_guard_failed";
constexpr char kErrorConfigWriteFailed[] = "config_write_failed";
constexpr char kErrorTunnelStartFailed[] = "tunnel_start_failed";

// The request text of what one read delivered: at most kMaxRequestBytes bytes,
// ending at the first NUL byte.
std::string RequestTextFromBytes(const char* data, size_t size);

// True when the raw request holds a configuration path key anywhere, also
// inside a value. Such a request is refused whatever its op.
bool ContainsForbiddenKey(const std::string& request);

// The string value of the first occurrence of "key" anywhere in |request|,
// unescaped. Empty when the key is absent, its value is not a string (numbers,
// true/false/null, objects, arrays) or the string is not terminated.
std::string ReadJsonString(const std::string& request, const std::string& key);

// The "endpoint_port" of a request: kDefaultEndpointPort when absent or empty,
// otherwise the leading decimal number of the text ("443abc" is 443). Returns
// false when that is not a UDP port: no leading digits, beyond 32 bits, or
// outside 1..65535.
bool ReadEndpointPort(const std::string& request, int32_t* port);

// Backslash before each double quote and each backslash; bytes below 0x20 as
// \n, \r, \t, \b, \f or \u00XX; a byte that is not part of well-formed
// UTF-8 as U+FFFD. So any text makes valid JSON; well-formed text without
// control bytes comes out unchanged.
std::string JsonEscape(const std::string& text);
void AppendJsonEscaped(std::string* out, const std::string& text);

// Members appended to an object under construction (|json| ends in "{" or in
// a member), each preceded by a comma unless it is the first.
void AppendJsonFlag(std::string* json, const char* key, bool value);
void AppendJsonNumber(std::string* json, const char* key, int64_t value);
void AppendJsonText(std::string* json, const char* key, const std::string& value);
// |value| is JSON already (an array or object).
void AppendJsonRaw(std::string* json, const char* key, const std::string& value);
// A JSON array of the texts, each escaped.
std::string JsonTextArray(const std::vector<std::string>& texts);

// Reply shapes. |admin_bypass_member| and |route_guard_member| are complete
// members ("\"admin_bypass\":{...}" and "\"poc_route_guard\":{...}").
std::string SuccessReply(const std::string& phase, const std::string& node_id);
std::string StatusReply(const std::string& phase, const std::string& node_id, bool tunnel_running);
// Adds the two report members before a reply's closing brace; a text that does
// not end in "}" is returned unchanged.
std::string WithReports(const std::string& reply, const std::string& admin_bypass_member,
                        const std::string& route_guard_member);
std::string ErrorReply(const std::string& code, const std::string& message);
std::string ErrorReply(const ProtocolError& error);
std::string ErrorReplyWithReports(const std::string& code, const std::string& message,
                                  const std::string& admin_bypass_member, const std::string& route_guard_member);

}  // namespace quorvane
