// The stand-in engine: channel handlers by messenger and name, the calls the
// plugins made to Dart, and the registrar wrappers.
#include <flutter/method_result_functions.h>
#include <flutter/plugin_registrar.h>
#include <flutter/plugin_registrar_windows.h>
#include <flutter/standard_method_codec.h>
#include <flutter/standin_engine.h>

#include <cstdio>
#include <deque>
#include <cstdlib>
#include <iterator>
#include <map>
#include <set>
#include <mutex>
#include <utility>

// The engine's registrar, opaque to plugins.
struct FlutterDesktopPluginRegistrar {
  int unused = 0;
};

namespace flutter {
namespace {

class StandInMessenger : public BinaryMessenger {
 public:
  void Send(const std::string&, const uint8_t*, size_t, BinaryReply) const override {}
  void SetMessageHandler(const std::string&, BinaryMessageHandler) override {}
};

using ResultPtr = std::unique_ptr<MethodResult<EncodableValue>>;
using Kind = standin::TestEngine::Result::Kind;

struct Engine {
  std::mutex lock;
  std::map<std::pair<const BinaryMessenger*, std::string>, standin::CallHandler> handlers;
  std::vector<standin::TestEngine::DartCall> calls_to_dart;
  // Dart's side: handlers by channel, each channel's buffer of one unheard
  // message, and the replies on their way back to the platform thread.
  std::map<std::string, standin::TestEngine::DartHandler> dart_handlers;
  std::map<std::string, std::deque<std::pair<std::string, ResultPtr>>> buffers;
  std::deque<std::pair<ResultPtr, Kind>> replies;
  HWND reply_window = nullptr;
  // Messengers the engine has let go of at shut-down, before the plugins are
  // destroyed: a handler change through one is the null engine of a real
  // application's exit.
  std::set<const BinaryMessenger*> released;
};

Engine& TheEngine() {
  static Engine engine;
  return engine;
}

constexpr UINT kReplyMessage = WM_APP + 7;

// Locked. A null result is a call nobody waits for.
void QueueReply(Engine& engine, ResultPtr result, Kind kind) {
  if (!result) return;
  engine.replies.emplace_back(std::move(result), kind);
  if (engine.reply_window != nullptr) PostMessageW(engine.reply_window, kReplyMessage, 0, 0);
}

// On the platform thread, as the engine's task runner delivers replies.
void DeliverReplies() {
  for (;;) {
    std::pair<ResultPtr, Kind> reply;
    {
      std::lock_guard<std::mutex> guard(TheEngine().lock);
      if (TheEngine().replies.empty()) return;
      reply = std::move(TheEngine().replies.front());
      TheEngine().replies.pop_front();
    }
    if (reply.second == Kind::kSuccess) reply.first->Success();
    else if (reply.second == Kind::kError) reply.first->Error("dart_error", "the Dart handler threw");
    else reply.first->NotImplemented();
  }
}

LRESULT CALLBACK ReplyWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == kReplyMessage) {
    DeliverReplies();
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

const StandardMethodCodec& StandardMethodCodec::GetInstance(const StandardCodecSerializer* serializer) {
  static const StandardMethodCodec codec(serializer);
  return codec;
}

PluginRegistrar::PluginRegistrar(FlutterDesktopPluginRegistrarRef core_registrar)
    : registrar_(core_registrar), messenger_(std::make_unique<StandInMessenger>()) {
  std::lock_guard<std::mutex> guard(TheEngine().lock);
  TheEngine().released.erase(messenger_.get());  // a new messenger at a reused address
}

PluginRegistrar::~PluginRegistrar() { ClearPlugins(); }

void PluginRegistrar::AddPlugin(std::unique_ptr<Plugin> plugin) { plugins_.insert(std::move(plugin)); }

void PluginRegistrar::ClearPlugins() { plugins_.clear(); }

PluginRegistrarManager* PluginRegistrarManager::GetInstance() {
  static PluginRegistrarManager manager;
  return &manager;
}

namespace standin {

void SetChannelHandler(const BinaryMessenger* messenger, const std::string& channel, CallHandler handler) {
  Engine& engine = TheEngine();
  std::lock_guard<std::mutex> guard(engine.lock);
  if (engine.released.count(messenger) != 0) {
    std::fprintf(stderr, "stand-in engine: handler of %s changed after the engine let go of its messenger "
                         "(a real engine crashes here)\n", channel.c_str());
    std::abort();
  }
  if (handler) engine.handlers[{messenger, channel}] = std::move(handler);
  else engine.handlers.erase({messenger, channel});
}

void SendToDart(const BinaryMessenger*, const std::string& channel, const std::string& method,
                const EncodableValue* arguments, ResultPtr result) {
  Engine& engine = TheEngine();
  std::lock_guard<std::mutex> guard(engine.lock);
  engine.calls_to_dart.push_back(TestEngine::DartCall{channel, method, arguments == nullptr || arguments->IsNull()});
  const auto handler = engine.dart_handlers.find(channel);
  if (handler != engine.dart_handlers.end()) {
    QueueReply(engine, std::move(result), handler->second(method));
    return;
  }
  auto& buffer = engine.buffers[channel];
  buffer.emplace_back(method, std::move(result));
  if (buffer.size() > 1) {
    QueueReply(engine, std::move(buffer.front().second), Kind::kNotImplemented);  // the empty reply
    buffer.pop_front();
  }
}

TestEngine::TestEngine() : registrar_(new FlutterDesktopPluginRegistrar()) {
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = ReplyWindowProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = L"QuorvaneStandInEngineReplies";
  RegisterClassW(&window_class);
  // Where none can be made, PumpUntil delivers the replies.
  const HWND reply_window = CreateWindowExW(0, window_class.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                            window_class.hInstance, nullptr);
  std::lock_guard<std::mutex> guard(TheEngine().lock);
  TheEngine().calls_to_dart.clear();
  TheEngine().reply_window = reply_window;
}

TestEngine::~TestEngine() {
  ShutDown();
  HWND reply_window = nullptr;
  {
    std::lock_guard<std::mutex> guard(TheEngine().lock);
    std::swap(reply_window, TheEngine().reply_window);
  }
  if (reply_window != nullptr) DestroyWindow(reply_window);
  delete registrar_;
}

void TestEngine::SetDartHandler(const std::string& channel, DartHandler handler) {
  Engine& engine = TheEngine();
  std::lock_guard<std::mutex> guard(engine.lock);
  if (!handler) {
    engine.dart_handlers.erase(channel);
    return;
  }
  for (auto& [method, result] : engine.buffers[channel]) QueueReply(engine, std::move(result), handler(method));
  engine.buffers.erase(channel);
  engine.dart_handlers[channel] = std::move(handler);
}

void TestEngine::SetViewWindow(HWND window) {
  PluginRegistrarManager::GetInstance()->GetRegistrar<PluginRegistrarWindows>(registrar_)->SetViewWindow(window);
}

std::shared_ptr<TestEngine::Result> TestEngine::StartCall(const std::string& channel, const std::string& method,
                                                         std::unique_ptr<EncodableValue> arguments) {
  PluginRegistrarWindows* registrar = PluginRegistrarManager::GetInstance()->GetRegistrar<PluginRegistrarWindows>(registrar_);
  CallHandler handler;
  {
    std::lock_guard<std::mutex> guard(TheEngine().lock);
    const auto found = TheEngine().handlers.find({registrar->messenger(), channel});
    if (found != TheEngine().handlers.end()) handler = found->second;
  }
  auto result = std::make_shared<Result>();
  if (!handler) return result;
  auto captured = std::make_unique<MethodResultFunctions<EncodableValue>>(
      [result](const EncodableValue* value) {
        result->kind = Result::Kind::kSuccess;
        if (value != nullptr) result->value = *value;
      },
      [result](const std::string& code, const std::string& message, const EncodableValue* details) {
        result->kind = Result::Kind::kError;
        result->error_code = code;
        result->error_message = message;
        if (details != nullptr) result->value = *details;
      },
      [result] { result->kind = Result::Kind::kNotImplemented; });
  handler(MethodCall<EncodableValue>(method, std::move(arguments)), std::move(captured));
  return result;
}

bool TestEngine::PumpUntil(const std::function<bool()>& done, unsigned timeout_ms) {
  const ULONGLONG give_up = GetTickCount64() + timeout_ms;
  while (!done()) {
    DeliverReplies();
    if (done()) break;
    if (GetTickCount64() >= give_up) return false;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (!done()) MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  return true;
}

TestEngine::Result TestEngine::CallMethod(const std::string& channel, const std::string& method,
                                          std::unique_ptr<EncodableValue> arguments) {
  const std::shared_ptr<Result> result = StartCall(channel, method, std::move(arguments));
  if (HasHandler(channel)) PumpUntil([&result] { return result->kind != Result::Kind::kNone; }, 30000);
  return *result;
}

std::vector<TestEngine::DartCall> TestEngine::CallsToDart() const {
  std::lock_guard<std::mutex> guard(TheEngine().lock);
  return TheEngine().calls_to_dart;
}

bool TestEngine::HasHandler(const std::string& channel) const {
  PluginRegistrarWindows* registrar = PluginRegistrarManager::GetInstance()->GetRegistrar<PluginRegistrarWindows>(registrar_);
  std::lock_guard<std::mutex> guard(TheEngine().lock);
  return TheEngine().handlers.count({registrar->messenger(), channel}) != 0;
}

std::optional<LRESULT> TestEngine::DeliverTopLevelMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return PluginRegistrarManager::GetInstance()
      ->GetRegistrar<PluginRegistrarWindows>(registrar_)
      ->CallTopLevelDelegates(window, message, wparam, lparam);
}

size_t TestEngine::DelegateCount() const {
  return PluginRegistrarManager::GetInstance()->GetRegistrar<PluginRegistrarWindows>(registrar_)->DelegateCount();
}

// As the real engine: the messenger (and every channel handler on it) goes
// first, then the registrar with the plugins.
void TestEngine::ShutDown() {
  PluginRegistrarWindows* registrar = PluginRegistrarManager::GetInstance()->GetRegistrar<PluginRegistrarWindows>(registrar_);
  {
    std::lock_guard<std::mutex> guard(TheEngine().lock);
    const BinaryMessenger* messenger = registrar->messenger();
    TheEngine().released.insert(messenger);
    for (auto it = TheEngine().handlers.begin(); it != TheEngine().handlers.end();) {
      it = it->first.first == messenger ? TheEngine().handlers.erase(it) : std::next(it);
    }
    // Dart goes with the engine: what it never answered is dropped unanswered.
    TheEngine().dart_handlers.clear();
    TheEngine().buffers.clear();
    TheEngine().replies.clear();
  }
  PluginRegistrarManager::GetInstance()->DestroyRegistrar(registrar_);
}

}  // namespace standin
}  // namespace flutter
