#include "control/request_log.h"

#include <map>
#include <mutex>

#include "common/json_text.h"
#include "common/utc_time_text.h"
#include "platform/process.h"
#include "common/service_log.h"
#include "common/wide_text.h"
#include "common/windows_events.h"
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

constexpr uint64_t kCountedWindowMs = 60 * 1000;

// Successful status and watch requests, which a polling UI sends every few
// seconds: counted, not logged one by one, so that the lines that matter
// stay in the log.
struct CountedRequests {
  std::mutex lock;
  std::map<std::string, uint64_t> counts;  // by op
  std::string since;                       // UTC time of the first one counted
  uint64_t window_start_ms = 0;
};

CountedRequests& Counted() {
  static CountedRequests* counted = new CountedRequests();  // a line may come while the process ends
  return *counted;
}

void FlushLocked(CountedRequests& counted) {
  for (const auto& [op, count] : counted.counts) {
    LogLine("[Quorvane] requests op=" + op + " ok=true count=" + std::to_string(count) + " since=" + counted.since);
  }
  counted.counts.clear();
}

bool IsCountedOp(const std::string& op) { return op == "status" || op == "watch"; }

}  // namespace

void FlushCountedRequests() {
  CountedRequests& counted = Counted();
  std::lock_guard<std::mutex> guard(counted.lock);
  FlushLocked(counted);
}

// The caller by session and SID, never by name: a SID names an account
// without saying who it is to whoever reads the log.
void LogRequest(const Caller& caller, uint32_t client_pid, const std::string& request, const std::string& reply,
                std::chrono::steady_clock::duration took) {
  const bool ok = reply.rfind("{\"ok\":true", 0) == 0;
  const std::string op = LoggableOp(request);
  CountedRequests& counted = Counted();
  {
    std::lock_guard<std::mutex> guard(counted.lock);
    const uint64_t now = platform::SteadyMilliseconds();
    if (ok && IsCountedOp(op)) {
      if (counted.counts.empty()) {
        counted.since = CurrentUtcTimeText();
        counted.window_start_ms = now;
      }
      ++counted.counts[op];
      if (now - counted.window_start_ms >= kCountedWindowMs) FlushLocked(counted);
      return;
    }
    // What was counted comes first, so that the log keeps its order.
    FlushLocked(counted);
  }
  std::string line = "[Quorvane] request op=" + op + " client_pid=" + std::to_string(client_pid);
  if (caller.identified) {
    line += " session=" + std::to_string(caller.session_id) + " sid=" + WideToUtf8(caller.user_sid);
  } else {
    line += RequestNeedsCaller(request) ? " caller=unidentified" : " caller=not_read";
  }
  line += std::string(" ok=") + (ok ? "true" : "false");
  // The code alone: a message may quote what it refused.
  const std::string code = ok ? std::string() : CapLoggedText(ReadJsonString(reply, "error"));
  if (!ok) line += " error=" + code;
  // Fleet tools collect the refusals that the tunnel's guards made.
  if (op == "connect" && (code.rfind("tunnel_", 0) == 0 || code.rfind("poc_", 0) == 0)) {
    ReportWindowsEvent(platform::EventType::kWarning,
                       "A connect was refused: " + code +
                           (caller.identified ? " (session " + std::to_string(caller.session_id) + ", " +
                                                    WideToUtf8(caller.user_sid) + ")"
                                              : std::string()));
  }
  line += " ms=" + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count());
  LogLine(line);
}

}  // namespace quorvane
