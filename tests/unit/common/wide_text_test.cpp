#include "common/wide_text.h"

#include <gtest/gtest.h>

namespace quorvane {
namespace {

TEST(WideText, AsciiAndMultiByteCharacters_RoundTrip) {
  const std::wstring wide = L"Z\u00e9\u20ac";  // 'Z', e acute (2 bytes), euro sign (3 bytes)
  const std::string utf8 = "Z\xC3\xA9\xE2\x82\xAC";
  EXPECT_EQ(WideToUtf8(wide), utf8);
  EXPECT_EQ(Utf8ToWide(utf8), wide);
  EXPECT_EQ(WideToUtf8(L""), "");
}

TEST(WideText, CharacterBeyondBasicPlane_IsFourUtf8Bytes) {
  // U+1F600, written as a surrogate pair where wchar_t is 16 bits.
  std::wstring wide;
  if (sizeof(wchar_t) == 2) {
    wide = {static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)};
  } else {
    wide = {static_cast<wchar_t>(0x1F600)};
  }
  EXPECT_EQ(WideToUtf8(wide), "\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8ToWide("\xF0\x9F\x98\x80"), wide);
}

TEST(WideText, UnpairedSurrogateAndInvalidBytes_BecomeReplacementCharacter) {
  const std::wstring lone_high = {L'a', static_cast<wchar_t>(0xD800), L'b'};
  EXPECT_EQ(WideToUtf8(lone_high), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(Utf8ToWide("a\xFF" "b"), L"a\uFFFDb");
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), L"\uFFFD\uFFFD");   // overlong '/'
  EXPECT_EQ(Utf8ToWide("\xE2\x82"), L"\uFFFD\uFFFD");   // cut short
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), L"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
}

}  // namespace
}  // namespace quorvane
