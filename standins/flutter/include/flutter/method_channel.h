// Stand-in for Flutter's <flutter/method_channel.h>.
#ifndef FLUTTER_METHOD_CHANNEL_H_
#define FLUTTER_METHOD_CHANNEL_H_

#include <functional>
#include <memory>
#include <string>
#include <type_traits>

#include "binary_messenger.h"
#include "encodable_value.h"
#include "method_call.h"
#include "method_codec.h"
#include "method_result.h"
#include "standin_engine.h"

namespace flutter {

template <typename T>
using MethodCallHandler = std::function<void(const MethodCall<T>& call, std::unique_ptr<MethodResult<T>> result)>;

template <typename T = EncodableValue>
class MethodChannel {
  static_assert(std::is_same<T, EncodableValue>::value, "the stand-in carries EncodableValue only");

 public:
  MethodChannel(BinaryMessenger* messenger, const std::string& name, const MethodCodec<T>* codec)
      : messenger_(messenger), name_(name), codec_(codec) {}
  ~MethodChannel() = default;
  MethodChannel(const MethodChannel&) = delete;
  MethodChannel& operator=(const MethodChannel&) = delete;

  void InvokeMethod(const std::string& method, std::unique_ptr<T> arguments,
                    std::unique_ptr<MethodResult<T>> result = nullptr) {
    standin::SendToDart(messenger_, name_, method, arguments.get(), std::move(result));
  }

  void SetMethodCallHandler(MethodCallHandler<T> handler) const {
    standin::SetChannelHandler(messenger_, name_, std::move(handler));
  }

 private:
  BinaryMessenger* messenger_;
  std::string name_;
  const MethodCodec<T>* codec_;
};

}  // namespace flutter

#endif  // FLUTTER_METHOD_CHANNEL_H_
