// Stand-in for Flutter's <flutter/encodable_value.h>: the same variant, in the
// same order, with the constructors and members that plugins use.
#ifndef FLUTTER_ENCODABLE_VALUE_H_
#define FLUTTER_ENCODABLE_VALUE_H_

#include <any>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace flutter {

class EncodableValue;
using EncodableList = std::vector<EncodableValue>;
using EncodableMap = std::map<EncodableValue, EncodableValue>;

class CustomEncodableValue {
 public:
  explicit CustomEncodableValue(const std::any& value) : value_(value) {}
  operator std::any&() { return value_; }
  operator const std::any&() const { return value_; }
  // Only to satisfy the map's ordering, as in Flutter: by address.
  bool operator<(const CustomEncodableValue& other) const { return this < &other; }
  bool operator==(const CustomEncodableValue& other) const { return this == &other; }

 private:
  std::any value_;
};

using EncodableValueVariant =
    std::variant<std::monostate, bool, int32_t, int64_t, double, std::string, std::vector<uint8_t>,
                 std::vector<int32_t>, std::vector<int64_t>, std::vector<double>, EncodableList, EncodableMap,
                 CustomEncodableValue, std::vector<float>>;

class EncodableValue : public EncodableValueVariant {
 public:
  using super = EncodableValueVariant;
  EncodableValue() = default;
  // A C string is a string, not a bool.
  explicit EncodableValue(const char* string) : super(std::string(string)) {}
  EncodableValue& operator=(const char* other) {
    *this = EncodableValue(other);
    return *this;
  }
  template <class T>
  constexpr explicit EncodableValue(T&& t) noexcept : super(std::forward<T>(t)) {}
  EncodableValue(const CustomEncodableValue& v) : super(v) {}  // NOLINT: implicit as in Flutter

  bool IsNull() const { return std::holds_alternative<std::monostate>(*this); }
  int64_t LongValue() const {
    if (std::holds_alternative<int32_t>(*this)) return std::get<int32_t>(*this);
    return std::get<int64_t>(*this);
  }
};

}  // namespace flutter

#endif  // FLUTTER_ENCODABLE_VALUE_H_
