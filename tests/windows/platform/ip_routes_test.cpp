#include "platform/ip_routes.h"

#include <gtest/gtest.h>

namespace {

// The machine's real table as Wine reads it from the host: whatever it holds,
// every row's interface can be named and the best route to a row's own
// destination exists.
TEST(IpRoutes, ForwardTable_RowsHaveNamedInterfacesAndBestRoutes) {
  std::vector<platform::ForwardRow> rows;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::ReadIpForwardTable(&rows, &error_code)) << error_code;
  ASSERT_FALSE(rows.empty());
  for (const platform::ForwardRow& row : rows) {
    platform::InterfaceEntry entry;
    ASSERT_TRUE(platform::ReadInterfaceEntry(row.if_index, &entry, &error_code)) << row.if_index;
    EXPECT_FALSE(entry.alias.empty() && entry.description.empty()) << row.if_index;
  }
  platform::ForwardRow best;
  ASSERT_TRUE(platform::FindBestRoute(rows.front().destination, &best, &error_code)) << error_code;
  EXPECT_NE(best.if_index, 0u);
}

TEST(IpRoutes, UnknownInterface_Fails) {
  platform::InterfaceEntry entry;
  uint32_t error_code = 0;
  EXPECT_FALSE(platform::ReadInterfaceEntry(0x7FFFFFF0, &entry, &error_code));
  EXPECT_NE(error_code, 0u);
}

}  // namespace
