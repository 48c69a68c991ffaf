#include "common/wide_text.h"

#include <cstdint>
#include <type_traits>

namespace quorvane {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void AppendWide(char32_t c, std::wstring* out) {
  if (sizeof(wchar_t) == 2 && c >= 0x10000) {
    const char32_t v = c - 0x10000;
    out->push_back(static_cast<wchar_t>(0xD800 + (v >> 10)));
    out->push_back(static_cast<wchar_t>(0xDC00 + (v & 0x3FF)));
  } else {
    out->push_back(static_cast<wchar_t>(c));
  }
}

// Length of the UTF-8 sequence that |lead| starts, 0 for a byte that cannot lead.
size_t SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

}  // namespace

std::string WideToUtf8(const std::wstring& wide) {
  std::string out;
  out.reserve(wide.size());
  for (size_t i = 0; i < wide.size(); ++i) {
    char32_t c = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(wide[i]));
    if (IsHighSurrogate(c) && i + 1 < wide.size()) {
      const char32_t low = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(wide[i + 1]));
      if (IsLowSurrogate(low)) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (IsHighSurrogate(c) || IsLowSurrogate(c) || c > 0x10FFFF) c = kReplacement;
    AppendUtf8(c, &out);
  }
  return out;
}

std::wstring Utf8ToWide(const std::string& utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    const unsigned char lead = static_cast<unsigned char>(utf8[i]);
    const size_t length = SequenceLength(lead);
    if (length == 0 || i + length > utf8.size()) {
      AppendWide(kReplacement, &out);
      ++i;
      continue;
    }
    char32_t c = length == 1 ? lead : static_cast<char32_t>(lead & (0xFF >> (length + 1)));
    bool valid = true;
    for (size_t k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(utf8[i + k]);
      if ((next & 0xC0) != 0x80) {
        valid = false;
        break;
      }
      c = (c << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not characters.
    const bool overlong = (length == 3 && c < 0x800) || (length == 4 && c < 0x10000);
    if (!valid || overlong || IsHighSurrogate(c) || IsLowSurrogate(c) || c > 0x10FFFF) {
      AppendWide(kReplacement, &out);
      ++i;
      continue;
    }
    AppendWide(c, &out);
    i += length;
  }
  return out;
}

}  // namespace quorvane
