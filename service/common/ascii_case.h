// ASCII-only case folding: options and setting words are ASCII, and folding
// must not depend on the process locale.
#pragma once

#include <string>

namespace quorvane {

template <typename Char>
std::basic_string<Char> AsciiLower(std::basic_string<Char> text) {
  for (Char& c : text) {
    if (c >= Char('A') && c <= Char('Z')) c = static_cast<Char>(c - Char('A') + Char('a'));
  }
  return text;
}

}  // namespace quorvane
