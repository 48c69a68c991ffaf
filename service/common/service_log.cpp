#include "common/service_log.h"

#include <atomic>
#include <mutex>

#include "common/folder_files.h"
#include "common/utc_time_text.h"
#include "common/wide_text.h"
#include "platform/process.h"

namespace quorvane {
namespace {

constexpr wchar_t kLogName[] = L"service.log";

std::atomic<bool> g_enabled{false};
std::atomic<bool> g_each_line{false};
std::atomic<uint64_t> g_limit{kServiceLogLimitBytes};
std::mutex g_lock;  // one writer at a time: lines never interleave
// The checked "logs" folder and the log file in it, held while the log is
// on: held, neither can be swapped, and a line costs one write. Never
// destroyed: a line may come while the process ends.
struct HeldLog {
  ServiceFolder folder;
  platform::FileHandle file;
  uint64_t size = 0;
};
HeldLog* const g_held = new HeldLog();

// Opens the folder (made and protected the first time) and the file where
// they are not held yet.
bool HoldLocked() {
  std::string message;
  if (!g_held->folder.handle.valid()) {
    OpenResult opened = OpenServiceFolder(L"logs", false, &g_held->folder, &message);
    if (opened == OpenResult::kMissing) opened = OpenServiceFolder(L"logs", true, &g_held->folder, &message);
    if (opened != OpenResult::kOpened) return false;
  }
  if (g_held->file.valid()) return true;
  uint32_t error_code = 0;
  return OpenFolderFile(g_held->folder, kLogName, platform::FileOpen::kAppend, &g_held->file, &message) ==
             OpenResult::kOpened &&
         platform::ReadFileSize(g_held->file, &g_held->size, &error_code);
}

std::wstring KeptName(int age) { return std::wstring(kLogName) + L"." + std::to_wstring(age); }

// Each kept file moves one place older ("service.log.3" becomes ".4", the
// oldest is replaced); a file that cannot be moved is left and replaced.
void AgeKeptFilesLocked() {
  for (int age = kServiceLogFilesKept - 2; age >= 1; --age) {
    platform::FileHandle kept;
    std::string message;
    uint32_t error_code = 0;
    if (OpenFolderFile(g_held->folder, KeptName(age), platform::FileOpen::kRemove, &kept, &message) ==
        OpenResult::kOpened) {
      platform::RenameOpenFile(kept, g_held->folder.handle, KeptName(age + 1), true, &error_code);
    }
  }
}

// A line that would take the file past the bound starts a new one; the
// earlier files are kept as "service.log.1" (the newest) to ".4".
bool AppendLocked(const std::string& line) {
  if (!HoldLocked()) return false;
  uint32_t error_code = 0;
  if (g_held->size > 0 && g_held->size + line.size() > g_limit) AgeKeptFilesLocked();
  if (g_held->size > 0 && g_held->size + line.size() > g_limit &&
      platform::RenameOpenFile(g_held->file, g_held->folder.handle, KeptName(1), true, &error_code)) {
    g_held->file.Reset();
    if (!HoldLocked()) return false;
  }
  if (!platform::WriteFileBytes(g_held->file, line, &error_code)) return false;
  g_held->size += line.size();
  return true;
}

}  // namespace

void SetServiceLogEnabled(bool enabled, LogHolding holding) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_enabled = enabled;
  g_each_line = holding == LogHolding::kEachLine;
  *g_held = HeldLog();  // looked at again when next enabled
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
  // What no longer serves is let go and looked at once more; where nothing
  // safe can be written, standard error is all there is.
  if (!AppendLocked(line)) {
    *g_held = HeldLog();
    AppendLocked(line);
  }
  if (g_each_line) *g_held = HeldLog();
}

void Diagnose(const std::wstring& line) {
  platform::WriteStderr(line);
  LogLine(WideToUtf8(line));
}

}  // namespace quorvane
