// Two processes under Wine: the second start with the single-instance helper
// activates the first instance's window and ends.
#include <gtest/gtest.h>
#include <windows.h>

#include "child_process.h"

namespace {

// Started without captured streams: the first instance outlives the calls
// of the test's own child runner. Its exit code says what happened to it:
// 0 activated, 2 never activated within its 30 s.
HANDLE StartPlain(const std::wstring& program) {
  std::wstring command_line = L"\"" + program + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

TEST(SingleInstance, SecondStart_ActivatesTheFirstAndEnds) {
  const std::wstring app = PathBesideThisProgram(L"single_instance_app.exe");
  HANDLE first = StartPlain(app);
  ASSERT_NE(first, nullptr);
  for (int i = 0; i < 300 && FindWindowW(L"QuorvaneSingleInstanceTestWindow", nullptr) == nullptr; ++i) Sleep(100);
  ASSERT_NE(FindWindowW(L"QuorvaneSingleInstanceTestWindow", nullptr), nullptr);
  HANDLE second = StartPlain(app);
  ASSERT_NE(second, nullptr);
  DWORD code = 0;
  ASSERT_EQ(WaitForSingleObject(second, 30000), WAIT_OBJECT_0);
  GetExitCodeProcess(second, &code);
  EXPECT_EQ(code, 3u) << "the second start ends";
  ASSERT_EQ(WaitForSingleObject(first, 35000), WAIT_OBJECT_0);
  GetExitCodeProcess(first, &code);
  EXPECT_EQ(code, 0u) << "the first was activated";
  CloseHandle(second);
  CloseHandle(first);
}

}  // namespace
