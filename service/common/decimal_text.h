// Decimal numbers read from the start of a text, with the C library's rules.
#pragma once

#include <cstdint>
#include <string>

namespace quorvane {

// Reads a base-10 signed integer from the start of |text|: leading white space
// (space, tab, line feed, vertical tab, form feed, carriage return), an optional
// sign, then digits up to the first non-digit; what follows is ignored.
// Returns false when there are no digits or the number does not fit 32 bits.
bool ParseLeadingInt32(const std::string& text, int32_t* value);

}  // namespace quorvane
