// Stand-in for Flutter's <flutter/standard_method_codec.h>.
#ifndef FLUTTER_STANDARD_METHOD_CODEC_H_
#define FLUTTER_STANDARD_METHOD_CODEC_H_

#include "encodable_value.h"
#include "method_codec.h"

namespace flutter {

class StandardCodecSerializer {
 public:
  virtual ~StandardCodecSerializer() = default;
};

class StandardMethodCodec : public MethodCodec<EncodableValue> {
 public:
  static const StandardMethodCodec& GetInstance(const StandardCodecSerializer* serializer = nullptr);
  explicit StandardMethodCodec(const StandardCodecSerializer* serializer) : serializer_(serializer) {}

 private:
  const StandardCodecSerializer* serializer_;
};

}  // namespace flutter

#endif  // FLUTTER_STANDARD_METHOD_CODEC_H_
