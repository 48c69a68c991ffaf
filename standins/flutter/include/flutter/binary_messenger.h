// Stand-in for Flutter's <flutter/binary_messenger.h>.
#ifndef FLUTTER_BINARY_MESSENGER_H_
#define FLUTTER_BINARY_MESSENGER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace flutter {

typedef std::function<void(const uint8_t* reply, size_t reply_size)> BinaryReply;
typedef std::function<void(const uint8_t* message, size_t message_size, BinaryReply reply)> BinaryMessageHandler;

class BinaryMessenger {
 public:
  virtual ~BinaryMessenger() = default;
  virtual void Send(const std::string& channel, const uint8_t* message, size_t message_size,
                    BinaryReply reply = nullptr) const = 0;
  virtual void SetMessageHandler(const std::string& channel, BinaryMessageHandler handler) = 0;
};

}  // namespace flutter

#endif  // FLUTTER_BINARY_MESSENGER_H_
