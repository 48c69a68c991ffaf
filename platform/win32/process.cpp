#include "platform/process.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "access_lists.h"
#include "unique_handle.h"

namespace platform {
namespace {

// A console takes UTF-16 directly. Anything else (a file, a pipe, a terminal
// under Wine) takes UTF-8 bytes through WriteFile, so that what a reader sees
// are exactly our bytes, with line feeds untranslated.
bool WriteStdText(DWORD which, const std::wstring& text) {
  HANDLE stream = GetStdHandle(which);  // Borrowed from the process; never closed.
  if (stream == nullptr || stream == INVALID_HANDLE_VALUE) return false;
  if (text.empty()) return true;

  DWORD console_mode = 0;
  if (GetConsoleMode(stream, &console_mode)) {
    size_t done = 0;
    while (done < text.size()) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 16384));
      if (!WriteConsoleW(stream, text.data() + done, chunk, &written, nullptr) || written == 0) return false;
      done += written;
    }
    return true;
  }

  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                        nullptr, nullptr);
  if (bytes <= 0) return false;
  std::vector<char> utf8(static_cast<size_t>(bytes));
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), bytes, nullptr,
                      nullptr);
  size_t done = 0;
  while (done < utf8.size()) {
    DWORD written = 0;
    if (!WriteFile(stream, utf8.data() + done, static_cast<DWORD>(utf8.size() - done), &written, nullptr) ||
        written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

std::atomic<ConsoleControlHandler> g_console_handler{nullptr};

BOOL WINAPI ConsoleControlTrampoline(DWORD event) {
  const ConsoleControlHandler handler = g_console_handler.load();
  return handler != nullptr && handler(event) ? TRUE : FALSE;
}

}  // namespace

bool WriteStdout(const std::wstring& text) { return WriteStdText(STD_OUTPUT_HANDLE, text); }

bool WriteStderr(const std::wstring& text) { return WriteStdText(STD_ERROR_HANDLE, text); }

bool InstallConsoleControlHandler(ConsoleControlHandler handler, uint32_t* error_code) {
  // The trampoline is registered once; replacing the handler only swaps the pointer.
  static std::atomic<bool> registered{false};
  g_console_handler.store(handler);
  if (registered.load()) return true;
  if (!SetConsoleCtrlHandler(ConsoleControlTrampoline, TRUE)) {
    *error_code = GetLastError();
    return false;
  }
  registered.store(true);
  return true;
}

int64_t UnixTimeSeconds() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const uint64_t ticks = (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
  constexpr uint64_t kTicksTo1970 = 116444736000000000ULL;  // 100 ns steps from 1601
  return static_cast<int64_t>((ticks - kTicksTo1970) / 10000000ULL);
}

bool ProcessUserSid(std::wstring* sid, uint32_t* error_code) {
  HANDLE raw_token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw_token)) {
    *error_code = GetLastError();
    return false;
  }
  const win32::UniqueHandle token(raw_token);
  return win32::TokenUserSid(token.get(), sid, error_code);
}

bool GetOwnModulePath(size_t buffer_chars, std::wstring* path, uint32_t* error_code) {
  std::vector<wchar_t> buffer(buffer_chars + 1, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer_chars));
  if (length == 0) {
    *error_code = GetLastError();
    return false;
  }
  // A truncated path is reported as the whole buffer being filled.
  if (length >= buffer_chars) {
    *error_code = ERROR_INSUFFICIENT_BUFFER;
    return false;
  }
  path->assign(buffer.data(), length);
  return true;
}

}  // namespace platform

namespace platform {

void WriteDebuggerOutput(const std::wstring& text) { OutputDebugStringW(text.c_str()); }

void SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

uint64_t SteadyMilliseconds() { return GetTickCount64(); }

void CloseProcess(uintptr_t process) {
  if (process != 0) CloseHandle(reinterpret_cast<HANDLE>(process));
}

bool OpenProcessToEnd(uint32_t process_id, ProcessHandle* process, uint32_t* error_code) {
  HANDLE raw = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process_id);
  if (raw == nullptr) {
    *error_code = GetLastError();
    return false;
  }
  *process = ProcessHandle(reinterpret_cast<uintptr_t>(raw));
  return true;
}

bool EndOpenProcess(const ProcessHandle& process, uint32_t exit_code, uint32_t* error_code) {
  if (TerminateProcess(reinterpret_cast<HANDLE>(process.get()), exit_code)) return true;
  *error_code = GetLastError();
  return false;
}

bool WaitForProcessEnd(const ProcessHandle& process, uint32_t timeout_ms) {
  return WaitForSingleObject(reinterpret_cast<HANDLE>(process.get()), timeout_ms) == WAIT_OBJECT_0;
}

void TerminateCurrentProcess(uint32_t exit_code) {
  TerminateProcess(GetCurrentProcess(), exit_code);
  // TerminateProcess on the own process does not return; this keeps the
  // promise of [[noreturn]] should it ever fail.
  ExitProcess(exit_code);
}

}  // namespace platform
