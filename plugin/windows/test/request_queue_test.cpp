// The IPC channel's requests off the platform thread: the window keeps
// answering while the service takes its time, replies come back in call
// order on the platform thread, and a plugin destroyed mid-request returns
// at once and delivers nothing.
#include <flutter/encodable_value.h>
#include <flutter/standin_engine.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "owned_test_pipe.h"
#include "pipe_client.h"
#include "plugin_test_support.h"

namespace quorvane_windows_vpn {
namespace {

using flutter::EncodableMap;
using flutter::EncodableValue;
using flutter::standin::TestEngine;
constexpr char kIpc[] = "quorvane.windows_vpn/ipc";

// A slow service: one instance for each of |clients| exchanges (so that none
// finds another's busy), each answered after |hold_ms| with a reply that
// names the order in which its request came; the destructor ends any hold.
class SlowService {
 public:
  SlowService(int clients, DWORD hold_ms) : stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    for (int i = 0; i < clients; ++i) {
      const HANDLE pipe = CreateOwnedTestPipe(kServicePipeName, L"SY", static_cast<DWORD>(clients));
      pipes_.push_back(pipe);
      threads_.emplace_back([this, pipe, hold_ms] { Serve(pipe, hold_ms); });
    }
  }
  ~SlowService() {
    SetEvent(stop_);
    for (HANDLE pipe : pipes_) DisconnectNamedPipe(pipe);
    for (std::thread& thread : threads_) thread.join();
    for (HANDLE pipe : pipes_) CloseHandle(pipe);
    CloseHandle(stop_);
  }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
  }

 private:
  void Serve(HANDLE pipe, DWORD hold_ms) {
    if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
    std::string buffer(65536, '\0');
    DWORD got = 0;
    if (!ReadFile(pipe, buffer.data(), 65535, &got, nullptr)) return;
    size_t turn = 0;
    {
      std::lock_guard<std::mutex> guard(lock_);
      turn = requests_.size();
      requests_.emplace_back(buffer.data(), got);
    }
    if (WaitForSingleObject(stop_, hold_ms) == WAIT_OBJECT_0) return;
    const std::string reply = "{\"ok\":true,\"phase\":\"turn" + std::to_string(turn) + "\"}";
    DWORD written = 0;
    WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr);
    FlushFileBuffers(pipe);
  }

  HANDLE stop_;
  std::vector<HANDLE> pipes_;
  std::mutex lock_;
  std::vector<std::string> requests_;
  std::vector<std::thread> threads_;
};

std::string Phase(const TestEngine::Result& result) {
  if (result.kind != TestEngine::Result::Kind::kSuccess || !result.value) return "<no answer>";
  const auto& map = std::get<EncodableMap>(*result.value);
  const auto found = map.find(EncodableValue("phase"));
  return found == map.end() ? "<no phase>" : std::get<std::string>(found->second);
}

LRESULT CALLBACK PlainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcW(window, message, wparam, lparam);
}

// The application's window, on this (the platform) thread.
HWND MakeAppWindow() {
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = PlainWindowProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = L"QuorvaneRequestQueueTestWindow";
  RegisterClassW(&window_class);
  return CreateWindowExW(0, window_class.lpszClassName, L"app", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                         nullptr, GetModuleHandleW(nullptr), nullptr);
}

TEST(RequestQueue, WindowKeepsAnsweringWhileTheServiceHoldsItsReply) {
  TestEngine engine;
  RegisterPlugin(engine);
  HWND window = MakeAppWindow();
  ASSERT_NE(window, nullptr);
  SlowService service(1, 3000);
  const std::shared_ptr<TestEngine::Result> result = engine.StartCall(kIpc, "status");
  EXPECT_EQ(result->kind, TestEngine::Result::Kind::kNone) << "the call returns before the reply";

  // Another thread asks the window to answer, with a short limit, while this
  // thread dispatches messages as the runner's loop would.
  std::atomic<int> answered{0};
  std::atomic<bool> hung{false};
  std::thread prober([window, &answered, &hung] {
    for (int i = 0; i < 10; ++i) {
      DWORD_PTR ignored = 0;
      if (SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 200, &ignored) != 0) ++answered;
      if (IsHungAppWindow(window)) hung = true;
      Sleep(100);
    }
  });
  EXPECT_TRUE(TestEngine::PumpUntil([&result] { return result->kind != TestEngine::Result::Kind::kNone; }, 20000));
  prober.join();
  EXPECT_EQ(answered.load(), 10);
  EXPECT_FALSE(hung.load());
  EXPECT_EQ(Phase(*result), "turn0");
  DestroyWindow(window);
}

TEST(RequestQueue, RequestsGoAndRepliesComeBackInCallOrder) {
  TestEngine engine;
  RegisterPlugin(engine);
  SlowService service(3, 100);
  std::vector<std::shared_ptr<TestEngine::Result>> results = {
      engine.StartCall(kIpc, "registerSession",
                       std::make_unique<EncodableValue>(EncodableMap{{EncodableValue("session_nonce"),
                                                                      EncodableValue("n1")}})),
      engine.StartCall(kIpc, "status"),
      engine.StartCall(kIpc, "disconnect",
                       std::make_unique<EncodableValue>(EncodableMap{{EncodableValue("reason"), EncodableValue("r")}})),
  };
  std::vector<size_t> order;
  EXPECT_TRUE(TestEngine::PumpUntil(
      [&] {
        for (size_t i = 0; i < results.size(); ++i) {
          const bool known = std::find(order.begin(), order.end(), i) != order.end();
          if (!known && results[i]->kind != TestEngine::Result::Kind::kNone) order.push_back(i);
        }
        return order.size() == results.size();
      },
      20000));
  EXPECT_EQ(order, (std::vector<size_t>{0, 1, 2}));
  for (size_t i = 0; i < results.size(); ++i) EXPECT_EQ(Phase(*results[i]), "turn" + std::to_string(i));
  EXPECT_EQ(service.Requests(),
            (std::vector<std::string>{"{\"v\":1,\"op\":\"register_session\",\"session_nonce\":\"n1\"}",
                                      "{\"v\":1,\"op\":\"status\"}",
                                      "{\"v\":1,\"op\":\"disconnect\",\"reason\":\"r\"}"}));
}

TEST(RequestQueue, PluginDestroyedMidRequest_ReturnsPromptlyAndDeliversNothing) {
  TestEngine engine;
  RegisterPlugin(engine);
  SlowService service(1, INFINITE);  // never answers
  const std::shared_ptr<TestEngine::Result> result = engine.StartCall(kIpc, "status");
  ASSERT_TRUE(TestEngine::PumpUntil([&service] { return !service.Requests().empty(); }, 10000));
  const ULONGLONG before = GetTickCount64();
  engine.ShutDown();  // cancels the read that waits for the service
  EXPECT_LT(GetTickCount64() - before, 5000u) << "bounded by the cancel, not by the service";
  TestEngine::PumpUntil([] { return false; }, 300);
  EXPECT_EQ(result->kind, TestEngine::Result::Kind::kNone) << "nothing after destruction";
}

}  // namespace
}  // namespace quorvane_windows_vpn
