#include "control/request_log.h"

#include "common/json_text.h"
#include "common/service_log.h"
#include "common/wide_text.h"
#include "control/request_handler.h"

namespace quorvane {
namespace {

// The request's op as a log may show it: lower-case letters and "_" only.
std::string LoggableOp(const std::string& request) {
  const std::string op = ReadJsonString(request, "op");
  if (op.empty() || op.size() > 32) return op.empty() ? "(none)" : "(invalid)";
  for (char c : op) {
    if (!((c >= 'a' && c <= 'z') || c == '_')) return "(invalid)";
  }
  return op;
}

}  // namespace

// The caller by session and SID, never by name: a SID names an account
// without saying who it is to whoever reads the log.
void LogRequest(const Caller& caller, uint32_t client_pid, const std::string& request, const std::string& reply,
                std::chrono::steady_clock::duration took) {
  const bool ok = reply.rfind("{\"ok\":true", 0) == 0;
  std::string line = "[Quorvane] request op=" + LoggableOp(request) + " client_pid=" + std::to_string(client_pid);
  if (caller.identified) {
    line += " session=" + std::to_string(caller.session_id) + " sid=" + WideToUtf8(caller.user_sid);
  } else {
    line += RequestNeedsCaller(request) ? " caller=unidentified" : " caller=not_read";
  }
  line += std::string(" ok=") + (ok ? "true" : "false");
  // The code alone: a message may quote what it refused.
  if (!ok) line += " error=" + CapLoggedText(ReadJsonString(reply, "error"));
  line += " ms=" + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count());
  LogLine(line);
}

}  // namespace quorvane
