// Two processes under Wine: the second start with the single-instance helper
// activates the first instance's window and ends.
#include <gtest/gtest.h>
#include <windows.h>

#include <quorvane_windows_vpn/single_instance_names.h>

#include "child_process.h"

namespace {

// Started without captured streams: the first instance outlives the calls
// of the test's own child runner. Its exit code says what happened to it:
// 0 activated, 2 never activated within its 30 s.
HANDLE StartPlain(const std::wstring& program, const std::wstring& arguments) {
  std::wstring command_line = L"\"" + program + L"\" " + arguments;
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

DWORD ExitCodeWithin(HANDLE process, DWORD ms) {
  DWORD code = 999;
  if (WaitForSingleObject(process, ms) == WAIT_OBJECT_0) GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return code;
}

// The second start finds the first instance's window also when it comes late,
// and activates only a window the plugin marked.
TEST(SingleInstance, SecondStart_ActivatesTheFirstMarkedWindowAndEnds) {
  const std::wstring app = PathBesideThisProgram(L"single_instance_app.exe");
  const struct {
    const wchar_t* first_arguments;
    DWORD first_code;  // 0 activated, 2 never
  } cases[] = {{L"20", 0}, {L"late 20", 0}, {L"unmarked 9", 2}};
  for (const auto& c : cases) {
    HANDLE first = StartPlain(app, c.first_arguments);
    ASSERT_NE(first, nullptr);
    // The mutex is taken before any window: wait for it, not the window.
    for (int i = 0; i < 300; ++i) {
      const HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, quorvane_windows_vpn::kSingleInstanceMutexName);
      if (mutex != nullptr) {
        CloseHandle(mutex);
        break;
      }
      Sleep(50);
    }
    HANDLE second = StartPlain(app, L"");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(ExitCodeWithin(second, 30000), 3u) << c.first_arguments << ": the second start ends";
    EXPECT_EQ(ExitCodeWithin(first, 35000), c.first_code) << c.first_arguments;
  }
}

}  // namespace
