// Not part of Flutter: the stand-in engine behind the stand-in wrapper. The
// channels hand their handlers and their calls to Dart to it, and tests drive
// registered plugins through TestEngine as the real engine and Dart would.
#ifndef FLUTTER_STANDIN_ENGINE_H_
#define FLUTTER_STANDIN_ENGINE_H_

#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <flutter_plugin_registrar.h>

#include "binary_messenger.h"
#include "encodable_value.h"
#include "method_call.h"
#include "method_result.h"

namespace flutter::standin {

using CallHandler =
    std::function<void(const MethodCall<EncodableValue>& call, std::unique_ptr<MethodResult<EncodableValue>> result)>;

// Used by MethodChannel.
void SetChannelHandler(const BinaryMessenger* messenger, const std::string& channel, CallHandler handler);
// A call to Dart: answered by the channel's Dart handler when one is set, else
// held in the channel's buffer of one message, as the engine's channel
// buffers hold messages for a channel nobody listens on; a message that
// pushes the older one out answers that one with an empty reply, which the
// wrapper turns into NotImplemented. Every reply arrives later, on the
// platform thread, through its message loop.
void SendToDart(const BinaryMessenger* messenger, const std::string& channel, const std::string& method,
                const EncodableValue* arguments, std::unique_ptr<MethodResult<EncodableValue>> result);

// One engine with one plugin registrar.
class TestEngine {
 public:
  struct Result {
    enum class Kind { kNone, kSuccess, kError, kNotImplemented } kind = Kind::kNone;
    std::optional<EncodableValue> value;  // success value or error details
    std::string error_code;
    std::string error_message;
  };
  struct DartCall {
    std::string channel;
    std::string method;
    bool arguments_null = true;
  };

  // What a Dart handler answers a call with: kSuccess (handled), kError, or
  // kNotImplemented (a method it does not handle).
  using DartHandler = std::function<Result::Kind(const std::string& method)>;

  TestEngine();
  ~TestEngine();
  TestEngine(const TestEngine&) = delete;
  TestEngine& operator=(const TestEngine&) = delete;

  FlutterDesktopPluginRegistrarRef registrar() const { return registrar_; }
  // Calls |method| on |channel| as Dart would and, as the runner's message
  // loop, dispatches this thread's messages until it is answered (30 s at
  // most); kNone when no handler answered.
  Result CallMethod(const std::string& channel, const std::string& method,
                    std::unique_ptr<EncodableValue> arguments = nullptr);
  // The same call without waiting: the result fills in when the plugin
  // answers, on this thread, while this thread's messages are dispatched.
  std::shared_ptr<Result> StartCall(const std::string& channel, const std::string& method,
                                    std::unique_ptr<EncodableValue> arguments = nullptr);
  // Dispatches this thread's messages until |done| or |timeout_ms|; whether done.
  static bool PumpUntil(const std::function<bool()>& done, unsigned timeout_ms);
  std::vector<DartCall> CallsToDart() const;
  // Sets (or, when empty, removes) Dart's handler of |channel|, as
  // setMethodCallHandler does; a buffered message reaches a new handler.
  void SetDartHandler(const std::string& channel, DartHandler handler);
  // The window the registrar's view shows.
  void SetViewWindow(HWND window);
  bool HasHandler(const std::string& channel) const;
  // Passes a top-level window message to the delegates in registration order.
  std::optional<LRESULT> DeliverTopLevelMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  size_t DelegateCount() const;
  // Destroys the registrar and with it every plugin, as engine shut-down does.
  void ShutDown();

 private:
  FlutterDesktopPluginRegistrarRef registrar_;
};

}  // namespace flutter::standin

#endif  // FLUTTER_STANDIN_ENGINE_H_
