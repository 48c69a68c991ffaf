// The stand-in engine: channel handlers by messenger and name, the calls the
// plugins made to Dart, and the registrar wrappers.
#include <flutter/method_result_functions.h>
#include <flutter/plugin_registrar.h>
#include <flutter/plugin_registrar_windows.h>
#include <flutter/standard_method_codec.h>
#include <flutter/standin_engine.h>

#include <map>
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

struct Engine {
  std::mutex lock;
  std::map<std::pair<const BinaryMessenger*, std::string>, standin::CallHandler> handlers;
  std::vector<standin::TestEngine::DartCall> calls_to_dart;
};

Engine& TheEngine() {
  static Engine engine;
  return engine;
}

}  // namespace

const StandardMethodCodec& StandardMethodCodec::GetInstance(const StandardCodecSerializer* serializer) {
  static const StandardMethodCodec codec(serializer);
  return codec;
}

PluginRegistrar::PluginRegistrar(FlutterDesktopPluginRegistrarRef core_registrar)
    : registrar_(core_registrar), messenger_(std::make_unique<StandInMessenger>()) {}

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
  if (handler) engine.handlers[{messenger, channel}] = std::move(handler);
  else engine.handlers.erase({messenger, channel});
}

void RecordCallToDart(const BinaryMessenger*, const std::string& channel, const std::string& method,
                      const EncodableValue* arguments) {
  Engine& engine = TheEngine();
  std::lock_guard<std::mutex> guard(engine.lock);
  engine.calls_to_dart.push_back(TestEngine::DartCall{channel, method, arguments == nullptr || arguments->IsNull()});
}

TestEngine::TestEngine() : registrar_(new FlutterDesktopPluginRegistrar()) {
  std::lock_guard<std::mutex> guard(TheEngine().lock);
  TheEngine().calls_to_dart.clear();
}

TestEngine::~TestEngine() {
  ShutDown();
  delete registrar_;
}

TestEngine::Result TestEngine::CallMethod(const std::string& channel, const std::string& method,
                                          std::unique_ptr<EncodableValue> arguments) {
  PluginRegistrarWindows* registrar = PluginRegistrarManager::GetInstance()->GetRegistrar<PluginRegistrarWindows>(registrar_);
  CallHandler handler;
  {
    std::lock_guard<std::mutex> guard(TheEngine().lock);
    const auto found = TheEngine().handlers.find({registrar->messenger(), channel});
    if (found != TheEngine().handlers.end()) handler = found->second;
  }
  Result result;
  if (!handler) return result;
  auto captured = std::make_unique<MethodResultFunctions<EncodableValue>>(
      [&result](const EncodableValue* value) {
        result.kind = Result::Kind::kSuccess;
        if (value != nullptr) result.value = *value;
      },
      [&result](const std::string& code, const std::string& message, const EncodableValue* details) {
        result.kind = Result::Kind::kError;
        result.error_code = code;
        result.error_message = message;
        if (details != nullptr) result.value = *details;
      },
      [&result] { result.kind = Result::Kind::kNotImplemented; });
  handler(MethodCall<EncodableValue>(method, std::move(arguments)), std::move(captured));
  return result;
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

void TestEngine::ShutDown() { PluginRegistrarManager::GetInstance()->DestroyRegistrar(registrar_); }

}  // namespace standin
}  // namespace flutter
