#include "common/decimal_text.h"

namespace quorvane {

bool ParseLeadingInt32(const std::string& text, int32_t* value) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulated as a magnitude in 64 bits; stops counting once past the range.
  constexpr int64_t kLimit = int64_t{INT32_MAX} + 1;
  int64_t magnitude = 0;
  size_t digits = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
    if (magnitude <= kLimit) magnitude = magnitude * 10 + (text[i] - '0');
  }
  if (digits == 0) return false;
  if (magnitude > (negative ? kLimit : int64_t{INT32_MAX})) return false;
  *value = static_cast<int32_t>(negative ? -magnitude : magnitude);
  return true;
}

}  // namespace quorvane
