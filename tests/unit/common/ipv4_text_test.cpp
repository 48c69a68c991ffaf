#include "common/ipv4_text.h"

#include <gtest/gtest.h>

namespace quorvane {
namespace {

TEST(ParseIpv4, DottedQuads_ParseToWindowsByteOrder) {
  uint32_t address = 0;
  ASSERT_TRUE(ParseIpv4("192.168.1.20", &address));
  EXPECT_EQ(address, 0x1401A8C0u);  // first octet in the lowest byte
  EXPECT_EQ(Ipv4Text(address), "192.168.1.20");
  for (const char* text : {"0.0.0.0", "255.255.255.255", "10.0.0.1", "1.22.133.4"}) {
    ASSERT_TRUE(ParseIpv4(text, &address)) << text;
    EXPECT_EQ(Ipv4Text(address), text);
  }
}

TEST(ParseIpv4, AnythingButFourPlainDecimalParts_IsRefused) {
  uint32_t address = 7;
  for (const char* text : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4 ", " 1.2.3.4", "01.2.3.4", "1..3.4",
                           "1.2.3.-4", "0x1.2.3.4", "1234.1.1.1", "::1", "fe80::1", "host.example", "1.2.3.4/32"}) {
    EXPECT_FALSE(ParseIpv4(text, &address)) << text;
  }
  EXPECT_EQ(address, 7u);
}

}  // namespace
}  // namespace quorvane
