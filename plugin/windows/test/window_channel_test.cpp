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

TEST_F(WindowChannelTest, Diagnostics_ReportTheMutexAndTheActivationMessage) {
  const auto diagnostics = [this] {
    const TestEngine::Result result = engine_.CallMethod(kWindowChannel, "getSingleInstanceDiagnostics");
    EXPECT_EQ(result.kind, TestEngine::Result::Kind::kSuccess);
    return std::get<EncodableMap>(*result.value);
  };
  EncodableMap map = diagnostics();
  EXPECT_EQ(std::get<bool>(map.at(EncodableValue("single_instance_enabled"))), true);
  EXPECT_EQ(std::get<std::string>(map.at(EncodableValue("single_instance_mutex_name"))),
            "Local\\QuorvaneVpnClientSingleInstance");
  EXPECT_EQ(std::get<bool>(map.at(EncodableValue("single_instance_is_primary"))), true);
  EXPECT_EQ(std::get<bool>(map.at(EncodableValue("activate_existing_window_supported"))), ActivateMessageId() != 0);
  EXPECT_EQ(std::get<std::string>(map.at(EncodableValue("single_instance_error"))), "open_mutex_failed");
  EXPECT_EQ(map.size(), 5u);

  const HANDLE mutex = CreateMutexW(nullptr, FALSE, kSingleInstanceMutexName);  // as the runner does
  ASSERT_NE(mutex, nullptr);
  map = diagnostics();
  EXPECT_EQ(map.count(EncodableValue("single_instance_error")), 0u);
  EXPECT_EQ(map.size(), 4u);
  CloseHandle(mutex);
}

TEST_F(WindowChannelTest, BeforeAnyWindowMessage_MinimiseAndCloseDoNothingAndSucceed) {
  for (const char* method : {"minimizeToBackground", "completeClose"}) {
    EXPECT_EQ(engine_.CallMethod(kWindowChannel, method).kind, TestEngine::Result::Kind::kSuccess) << method;
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
}

TEST_F(WindowChannelTest, Close_IsHeldForDartThenCompletes) {
  if (!MakeWindow()) GTEST_SKIP() << "no display: top-level windows cannot be made (error " << GetLastError() << ")";
  ShowWindow(window_, SW_SHOW);
  EXPECT_EQ(SendMessageW(window_, WM_CLOSE, 0, 0), 0);
  EXPECT_TRUE(IsWindow(window_)) << "the close is held back";
  EXPECT_EQ(CountDartCalls(engine_, "onCloseRequested"), 1);

  EXPECT_EQ(engine_.CallMethod(kWindowChannel, "minimizeToBackground").kind, TestEngine::Result::Kind::kSuccess);
  PumpMessages();
  EXPECT_TRUE(IsIconic(window_));

  EXPECT_EQ(engine_.CallMethod(kWindowChannel, "completeClose").kind, TestEngine::Result::Kind::kSuccess);
  EXPECT_TRUE(IsWindow(window_)) << "posted, not sent";
  PumpMessages();
  EXPECT_FALSE(IsWindow(window_)) << "the posted close passed";
  EXPECT_EQ(CountDartCalls(engine_, "onCloseRequested"), 1);
  window_ = nullptr;
}

}  // namespace
}  // namespace quorvane_windows_vpn
