// The window channel and the top-level window delegate on real windows (under
// Wine these need a display: the test command runs Xvfb), with the runner's
// part played by the test: its window procedure asks the delegates first.
#include <flutter/encodable_value.h>
#include <flutter/standin_engine.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "plugin_test_support.h"
#include "quorvane_windows_vpn_plugin.h"

namespace quorvane_windows_vpn {
namespace {

using flutter::EncodableMap;
using flutter::EncodableValue;
using flutter::standin::TestEngine;

constexpr char kWindowChannel[] = "quorvane.windows_vpn/window";
TestEngine* g_engine = nullptr;

LRESULT CALLBACK RunnerWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (g_engine != nullptr) {
    if (const std::optional<LRESULT> handled = g_engine->DeliverTopLevelMessage(window, message, wparam, lparam)) {
      return *handled;
    }
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

void PumpMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

int CountDartCalls(const TestEngine& engine, const std::string& method) {
  int count = 0;
  for (const TestEngine::DartCall& call : engine.CallsToDart()) {
    count += call.channel == kWindowChannel && call.method == method && call.arguments_null;
  }
  return count;
}

class WindowChannelTest : public testing::Test {
 protected:
  void SetUp() override {
    g_engine = &engine_;
    RegisterPlugin(engine_);
  }
  void TearDown() override {
    if (window_ != nullptr && IsWindow(window_)) DestroyWindow(window_);
    PumpMessages();
    g_engine = nullptr;
  }
  // A top-level window of the runner's kind; false where none can be made.
  bool MakeWindow() {
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = RunnerWindowProc;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"QuorvaneTestRunnerWindow";
    RegisterClassW(&window_class);
    window_ = CreateWindowExW(0, L"QuorvaneTestRunnerWindow", L"Quorvane test", WS_OVERLAPPEDWINDOW, 0, 0, 320, 240,
                              nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    PumpMessages();
    return window_ != nullptr;
  }
  TestEngine engine_;
  HWND window_ = nullptr;
};

TEST_F(WindowChannelTest, Diagnostics_ReportTheMutexAsItIs) {
  const auto diagnostics = [this] {
    const TestEngine::Result result = engine_.CallMethod(kWindowChannel, "getSingleInstanceDiagnostics");
    EXPECT_EQ(result.kind, TestEngine::Result::Kind::kSuccess);
    return std::get<EncodableMap>(*result.value);
  };
  const auto flag = [](const EncodableMap& map, const char* key) { return std::get<bool>(map.at(EncodableValue(key))); };
  EncodableMap map = diagnostics();
  EXPECT_FALSE(flag(map, "single_instance_enabled"));
  EXPECT_FALSE(flag(map, "single_instance_is_primary"));
  EXPECT_EQ(std::get<std::string>(map.at(EncodableValue("single_instance_mutex_name"))),
            "Local\\QuorvaneVpnClientSingleInstance");
  EXPECT_EQ(flag(map, "activate_existing_window_supported"), ActivateMessageId() != 0);
  EXPECT_EQ(std::get<std::string>(map.at(EncodableValue("single_instance_error"))), "open_mutex_failed");

  // As the runner's claim does in the first instance.
  const HANDLE mutex = CreateMutexW(nullptr, FALSE, kSingleInstanceMutexName);
  ASSERT_NE(mutex, nullptr);
  for (const wchar_t* role : {L"", L"primary"}) {
    SetEnvironmentVariableW(kSingleInstanceRoleVariable, role[0] != L'\0' ? role : nullptr);
    map = diagnostics();
    EXPECT_TRUE(flag(map, "single_instance_enabled"));
    EXPECT_EQ(flag(map, "single_instance_is_primary"), role[0] != L'\0');
    EXPECT_EQ(map.count(EncodableValue("single_instance_error")), 0u);
  }
  SetEnvironmentVariableW(kSingleInstanceRoleVariable, nullptr);
  CloseHandle(mutex);
}

TEST_F(WindowChannelTest, WithoutAWindow_MinimiseAndCloseAnswerAnError) {
  for (const char* method : {"minimizeToBackground", "completeClose"}) {
    const TestEngine::Result result = engine_.CallMethod(kWindowChannel, method);
    EXPECT_EQ(result.kind, TestEngine::Result::Kind::kError) << method;
    EXPECT_EQ(result.error_code, "no_window") << method;
  }
  EXPECT_EQ(engine_.CallMethod(kWindowChannel, "close").kind, TestEngine::Result::Kind::kNotImplemented);
  EXPECT_TRUE(engine_.CallsToDart().empty());
}

TEST_F(WindowChannelTest, Activation_RestoresShowsOrFocusesTheWindowAndTellsDart) {
  if (!MakeWindow()) GTEST_SKIP() << "no display: top-level windows cannot be made (error " << GetLastError() << ")";
  ASSERT_NE(ActivateMessageId(), 0u);
  const struct {
    const char* label;
    int show;  // -1: leave hidden
  } cases[] = {{"hidden", -1}, {"minimised", SW_MINIMIZE}, {"visible", SW_SHOW}};
  int activations = 0;
  for (const auto& c : cases) {
    if (c.show >= 0) ShowWindow(window_, c.show);
    else ShowWindow(window_, SW_HIDE);
    PumpMessages();
    EXPECT_EQ(SendMessageW(window_, ActivateMessageId(), 0, 0), 0) << c.label;
    PumpMessages();
    EXPECT_TRUE(IsWindowVisible(window_)) << c.label;
    EXPECT_FALSE(IsIconic(window_)) << c.label;
    EXPECT_EQ(CountDartCalls(engine_, "onExistingInstanceActivate"), ++activations) << c.label;
  }
  EXPECT_NE(GetPropW(window_, kPluginWindowProperty), nullptr) << "marked for a second start";
}

// A close is held while Dart handles onCloseRequested, and passes (at the
// latest at the second try) while nobody does: no listener, a listener without
// the method or one that fails, or a listener removed.
TEST_F(WindowChannelTest, Close_IsHeldOnlyWhileDartHandlesIt) {
  using Kind = TestEngine::Result::Kind;
  enum class Dart { kNone, kHandles, kLacksTheMethod, kFails, kRemoved };
  const struct {
    const char* label;
    Dart dart;
    int closes_that_end_it;  // 0: held until completeClose
  } cases[] = {{"no listener", Dart::kNone, 2},           {"handled", Dart::kHandles, 0},
               {"method missing", Dart::kLacksTheMethod, 1}, {"handler fails", Dart::kFails, 1},
               {"listener removed", Dart::kRemoved, 2}};
  for (const auto& c : cases) {
    if (!MakeWindow()) GTEST_SKIP() << "no display: top-level windows cannot be made (error " << GetLastError() << ")";
    const Kind answer = c.dart == Dart::kLacksTheMethod ? Kind::kNotImplemented
                        : c.dart == Dart::kFails        ? Kind::kError
                                                        : Kind::kSuccess;
    if (c.dart != Dart::kNone) engine_.SetDartHandler(kWindowChannel, [answer](const std::string&) { return answer; });
    if (c.dart == Dart::kRemoved) {
      SendMessageW(window_, WM_CLOSE, 0, 0);
      engine_.SetDartHandler(kWindowChannel, nullptr);
    }
    const int tries = c.closes_that_end_it == 0 ? 3 : c.closes_that_end_it;
    for (int close = 1; close <= tries; ++close) {
      EXPECT_EQ(SendMessageW(window_, WM_CLOSE, 0, 0), 0) << c.label;
      TestEngine::PumpUntil([this] { return !IsWindow(window_); }, 200);
      EXPECT_EQ(IsWindow(window_) != FALSE, close < c.closes_that_end_it || c.closes_that_end_it == 0)
          << c.label << ", close " << close;
    }
    if (c.closes_that_end_it == 0) {
      EXPECT_EQ(engine_.CallMethod(kWindowChannel, "minimizeToBackground").kind, Kind::kSuccess);
      PumpMessages();
      EXPECT_TRUE(IsIconic(window_)) << c.label;
      EXPECT_EQ(engine_.CallMethod(kWindowChannel, "completeClose").kind, Kind::kSuccess);
      EXPECT_TRUE(IsWindow(window_)) << "posted, not sent";
      PumpMessages();
      EXPECT_FALSE(IsWindow(window_)) << c.label << ": the posted close passed";
    }
    EXPECT_EQ(engine_.CallMethod(kWindowChannel, "completeClose").error_code, "no_window")
        << c.label << ": forgotten with the window";
    engine_.SetDartHandler(kWindowChannel, nullptr);
    window_ = nullptr;
  }
}

// Where the engine has a view, the window is known before its first message.
TEST_F(WindowChannelTest, WindowOfTheView_IsKnownAtRegistration) {
  if (!MakeWindow()) GTEST_SKIP() << "no display: top-level windows cannot be made (error " << GetLastError() << ")";
  const HWND child = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 10, 10, window_, nullptr, nullptr, nullptr);
  ASSERT_NE(child, nullptr);
  TestEngine with_view;
  with_view.SetViewWindow(child);
  RegisterPlugin(with_view);
  ShowWindow(window_, SW_SHOW);
  EXPECT_EQ(with_view.CallMethod(kWindowChannel, "minimizeToBackground").kind, TestEngine::Result::Kind::kSuccess);
  PumpMessages();
  EXPECT_TRUE(IsIconic(window_));
}

}  // namespace
}  // namespace quorvane_windows_vpn
