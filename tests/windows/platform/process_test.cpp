#include "platform/process.h"

#include <gtest/gtest.h>

#include <ctime>
#include <windows.h>

#include <string>

#include "unique_handle.h"

namespace {

using platform::win32::UniqueHandle;

TEST(GetOwnModulePath, IsTheRunningTestProgram) {
  std::wstring path;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::GetOwnModulePath(260, &path, &error_code)) << error_code;
  const std::wstring suffix = L"\\windows_platform_tests.exe";
  ASSERT_GT(path.size(), suffix.size());
  EXPECT_EQ(path.substr(path.size() - suffix.size()), suffix);
}

TEST(ProcessAccount, UserSidAndWallClock_AreThisProcesssAndNow) {
  std::wstring sid;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::ProcessUserSid(&sid, &error_code)) << error_code;
  EXPECT_EQ(sid.rfind(L"S-1-5-", 0), 0u) << sid;
  const int64_t now = static_cast<int64_t>(time(nullptr));
  const int64_t clock = platform::UnixTimeSeconds();
  EXPECT_LE(now - 2, clock);
  EXPECT_LE(clock, now + 2);
}

TEST(GetOwnModulePath, BufferTooSmall_Fails) {
  std::wstring path;
  uint32_t error_code = 0;
  EXPECT_FALSE(platform::GetOwnModulePath(5, &path, &error_code));
  EXPECT_EQ(error_code, static_cast<uint32_t>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(path, L"");
}

// Standard output redirected to a pipe: what a caller capturing our output reads.
std::string CaptureStdout(const std::wstring& text, bool* write_ok) {
  UniqueHandle read_end, write_end;
  if (!CreatePipe(read_end.receive(), write_end.receive(), nullptr, 1 << 16)) return "pipe failed";
  const HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, write_end.get());
  *write_ok = platform::WriteStdout(text);
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
  write_end.reset();
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(read_end.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) bytes.append(buffer, got);
  return bytes;
}

TEST(WriteStdout, PipeGetsUtf8BytesWithLineFeedsUntranslated) {
  bool ok = false;
  EXPECT_EQ(CaptureStdout(L"a\nb\r\n\u00e9\u20ac\n", &ok), "a\nb\r\n\xC3\xA9\xE2\x82\xAC\n");
  EXPECT_TRUE(ok);
}

TEST(WriteStdout, EmptyText_WritesNothingAndSucceeds) {
  bool ok = false;
  EXPECT_EQ(CaptureStdout(L"", &ok), "");
  EXPECT_TRUE(ok);
}

}  // namespace

namespace {

TEST(TerminateCurrentProcess, EndsAtOnceWithTheGivenCode) {
  EXPECT_EXIT(
      {
        platform::SleepMilliseconds(1);
        platform::TerminateCurrentProcess(3);
      },
      testing::ExitedWithCode(3), "");
}

// The last resort for a tunnel process that will not stop: held open, ended
// through that handle, waited for.
TEST(EndOpenProcess, EndsTheHeldProcessWithTheGivenCode) {
  wchar_t command[] = L"cmd.exe /c ping -n 60 127.0.0.1";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started{};
  ASSERT_TRUE(CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                             &started));
  platform::win32::UniqueHandle process(started.hProcess);
  platform::win32::UniqueHandle thread(started.hThread);
  uint32_t error_code = 0;
  platform::ProcessHandle held;
  ASSERT_TRUE(platform::OpenProcessToEnd(started.dwProcessId, &held, &error_code)) << error_code;
  EXPECT_FALSE(platform::WaitForProcessEnd(held, 0)) << "still running";
  const uint64_t before = platform::SteadyMilliseconds();
  ASSERT_TRUE(platform::EndOpenProcess(held, 1067, &error_code)) << error_code;
  EXPECT_TRUE(platform::WaitForProcessEnd(held, 30000));
  EXPECT_GE(platform::SteadyMilliseconds(), before);
  DWORD exit_code = 0;
  GetExitCodeProcess(process.get(), &exit_code);
  EXPECT_EQ(exit_code, 1067u);
  platform::ProcessHandle none;
  EXPECT_FALSE(platform::OpenProcessToEnd(0xFFFFFFF0u, &none, &error_code)) << "no such process";
}

}  // namespace
