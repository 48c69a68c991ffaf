// Stand-in for Flutter's <flutter/method_codec.h>: the codec type that
// channels are made with. The stand-in engine hands calls over as objects, so
// no encoding takes place.
#ifndef FLUTTER_METHOD_CODEC_H_
#define FLUTTER_METHOD_CODEC_H_

namespace flutter {

template <typename T>
class MethodCodec {
 public:
  MethodCodec() = default;
  virtual ~MethodCodec() = default;
  MethodCodec(const MethodCodec&) = delete;
  MethodCodec& operator=(const MethodCodec&) = delete;
};

}  // namespace flutter

#endif  // FLUTTER_METHOD_CODEC_H_
