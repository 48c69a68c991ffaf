#include "common/decimal_text.h"

#include <gtest/gtest.h>

namespace quorvane {
namespace {

int32_t Parsed(const std::string& text) {
  int32_t value = -12345;
  EXPECT_TRUE(ParseLeadingInt32(text, &value)) << text;
  return value;
}

bool Rejected(const std::string& text) {
  int32_t value = -12345;
  const bool ok = ParseLeadingInt32(text, &value);
  return !ok && value == -12345;  // A rejected text leaves the output alone.
}

TEST(ParseLeadingInt32, LeadingSpaceSignAndTrailingText_FollowStrtolRules) {
  EXPECT_EQ(Parsed("443"), 443);
  EXPECT_EQ(Parsed("443abc"), 443);
  EXPECT_EQ(Parsed(" \t\n\v\f\r30"), 30);
  EXPECT_EQ(Parsed("+7"), 7);
  EXPECT_EQ(Parsed("-15"), -15);
  EXPECT_EQ(Parsed("0009"), 9);
  EXPECT_EQ(Parsed("12 34"), 12);
}

TEST(ParseLeadingInt32, Int32Limits_AreExactBoundaries) {
  EXPECT_EQ(Parsed("2147483647"), INT32_MAX);
  EXPECT_EQ(Parsed("-2147483648"), INT32_MIN);
  EXPECT_TRUE(Rejected("2147483648"));
  EXPECT_TRUE(Rejected("-2147483649"));
  EXPECT_TRUE(Rejected("99999999999999999999999999"));
}

TEST(ParseLeadingInt32, NoDigits_IsRejected) {
  EXPECT_TRUE(Rejected(""));
  EXPECT_TRUE(Rejected("abc"));
  EXPECT_TRUE(Rejected("-"));
  EXPECT_TRUE(Rejected("- 5"));
  EXPECT_TRUE(Rejected("+-5"));
  EXPECT_TRUE(Rejected("x443"));
}

}  // namespace
}  // namespace quorvane
