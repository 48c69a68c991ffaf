#include "common/ipv4_text.h"

#include <gtest/gtest.h>

namespace quorvane {
namespace {

TEST(Ipv4Text, FirstOctetIsTheLowestByte) {
  EXPECT_EQ(Ipv4Text(0x1401A8C0u), "192.168.1.20");
  EXPECT_EQ(Ipv4Text(0), "0.0.0.0");
  EXPECT_EQ(Ipv4Text(0xFFFFFFFFu), "255.255.255.255");
}

}  // namespace
}  // namespace quorvane
