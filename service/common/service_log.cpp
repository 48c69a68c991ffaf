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
std::atomic<uint64_t> g_limit{kServiceLogLimitBytes};
std::mutex g_lock;          // one writer at a time: lines never interleave
bool g_folder_made = false;  // made and protected once per process

// A line that would take the file past the bound starts a new one; the
// earlier file is kept as "service.log.1".
void AppendLocked(const std::string& line) {
  std::string message;
  ServiceFolder folder;
  OpenResult opened = OpenServiceFolder(L"logs", !g_folder_made, &folder, &message);
  if (opened == OpenResult::kMissing) opened = OpenServiceFolder(L"logs", true, &folder, &message);
  g_folder_made = opened == OpenResult::kOpened;
  if (!g_folder_made) return;  // nowhere safe to write: standard error is all there is
  platform::FileHandle file;
  uint64_t size = 0;
  uint32_t error_code = 0;
  if (OpenFolderFile(folder, kLogName, platform::FileOpen::kAppend, &file, &message) != OpenResult::kOpened) return;
  if (platform::ReadFileSize(file, &size, &error_code) && size > 0 && size + line.size() > g_limit &&
      platform::RenameOpenFile(file, folder.handle, std::wstring(kLogName) + L".1", true, &error_code)) {
    file.Reset();
    if (OpenFolderFile(folder, kLogName, platform::FileOpen::kAppend, &file, &message) != OpenResult::kOpened) return;
  }
  platform::WriteFileBytes(file, line, &error_code);
}

}  // namespace

void SetServiceLogEnabled(bool enabled) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_enabled = enabled;
  g_folder_made = false;  // looked at again when next enabled
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
  AppendLocked(line);
}

void Diagnose(const std::wstring& line) {
  platform::WriteStderr(line);
  LogLine(WideToUtf8(line));
}

}  // namespace quorvane
