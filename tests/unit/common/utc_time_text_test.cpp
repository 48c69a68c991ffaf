#include "common/utc_time_text.h"

#include <gtest/gtest.h>

#include <regex>

namespace quorvane {
namespace {

TEST(UtcTimeText, KnownInstants_FormatAsIsoUtc) {
  EXPECT_EQ(UtcTimeText(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(UtcTimeText(951782400), "2000-02-29T00:00:00Z");   // leap day of a century leap year
  EXPECT_EQ(UtcTimeText(1798761599), "2026-12-31T23:59:59Z");
  EXPECT_EQ(UtcTimeText(4107542400), "2100-03-01T00:00:00Z");  // 2100 is no leap year
  EXPECT_EQ(UtcTimeText(-1), "1969-12-31T23:59:59Z");
}

TEST(UtcTimeText, CurrentTime_HasTheFixedShape) {
  EXPECT_TRUE(std::regex_match(CurrentUtcTimeText(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
}

}  // namespace
}  // namespace quorvane
