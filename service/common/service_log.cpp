#include "common/service_log.h"

#include <atomic>
#include <mutex>

#include "common/protected_folder.h"
#include "common/utc_time_text.h"
#include "common/wide_text.h"
#include "platform/files.h"
#include "platform/process.h"

namespace quorvane {
namespace {

std::atomic<bool> g_enabled{false};
std::atomic<uint64_t> g_limit{kServiceLogLimitBytes};
std::mutex g_lock;        // one writer at a time: lines never interleave
bool g_folder_ok = false;  // checked once per process
uint64_t g_size = 0;       // of the current file after our last line

}  // namespace

void SetServiceLogEnabled(bool enabled) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_enabled = enabled;
  g_folder_ok = false;  // looked at again when next enabled
  g_size = 0;
}

std::string CapLoggedText(const std::string& text) {
  return text.size() <= kLoggedTextLimitBytes ? text : text.substr(0, kLoggedTextLimitBytes) + "...";
}

void SetServiceLogLimitForTests(uint64_t bytes) { g_limit = bytes; }

void LogLine(const std::string& text) {
  if (!g_enabled) return;
  std::string line = CurrentUtcTimeText() + " ";
  for (char c : text) line.push_back(c == '\n' || c == '\r' ? ' ' : c);
  while (!line.empty() && line.back() == ' ') line.pop_back();
  line += "\n";
  std::lock_guard<std::mutex> guard(g_lock);
  std::wstring folder;
  std::string error;
  if (!g_folder_ok) g_folder_ok = EnsureServiceFolder(L"logs", &folder, &error);
  if (!g_folder_ok) return;  // nowhere safe to write: standard error is all there is
  const std::wstring path = ServiceDataDirectory() + L"\\logs\\service.log";
  uint32_t error_code = 0;
  // A line that would take the file past the bound starts a new one; the
  // earlier file is kept as "service.log.1".
  if (g_size > 0 && g_size + line.size() > g_limit &&
      platform::MoveFileWithFlags(path, path + L".1", platform::kMoveFileReplaceExisting, &error_code)) {
    g_size = 0;
  }
  platform::AppendToProtectedFile(path, ProtectedGrants(), line, &g_size, &error_code);
}

void Diagnose(const std::wstring& line) {
  platform::WriteStderr(line);
  LogLine(WideToUtf8(line));
}

}  // namespace quorvane
