#include "common/ip_prefix.h"

#include <gtest/gtest.h>

#include "fake_windows_test.h"

namespace quorvane {
namespace {

class IpPrefixTest : public FakeWindowsTest {};

std::string Text(const IpPrefix& prefix) {
  std::string text;
  for (size_t i = 0; i < (prefix.v6 ? 16u : 4u); ++i) text += std::to_string(prefix.bytes[i]) + ".";
  return text + "/" + std::to_string(prefix.length);
}

TEST_F(IpPrefixTest, Parse_AcceptsWhatTheLibraryReadsAndMasksHostBits) {
  const struct {
    const char* text;
    const char* parsed;  // nullptr: refused
  } cases[] = {
      {"10.8.0.7/32", "10.8.0.7./32"},
      {"10.8.0.7", "10.8.0.7./32"},
      {"1.2.3.4/0", "0.0.0.0./0"},
      {"10.8.0.200/25", "10.8.0.128./25"},
      {"::/0", "0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0./0"},
      {"::0/0", "0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0./0"},
      {"0:0::0/0", "0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0./0"},
      {"8000::/1", "128.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0./1"},
      {"2001:db8::1", "32.1.13.184.0.0.0.0.0.0.0.0.0.0.0.1./128"},
      {"::ffff:10.1.2.3/128", "0.0.0.0.0.0.0.0.0.0.255.255.10.1.2.3./128"},
      {"fd00:1:2:3:4:5:6:7/64", "253.0.0.1.0.2.0.3.0.0.0.0.0.0.0.0./64"},
      {"10.8.0.7/33", nullptr},
      {"10.8.0.7/", nullptr},
      {"10.8.0.7/-1", nullptr},
      {"300.1.1.1/24", nullptr},
      {" 10.8.0.7/32", nullptr},
      {"1:2:3:4:5:6:7:8:9", nullptr},
      {"1::2::3", nullptr},
      {"1:2:", nullptr},
      {":1", nullptr},
      {"fe80::1%eth0", nullptr},
      {"vpn.example", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    IpPrefix prefix;
    const bool parsed = ParseIpPrefix(c.text, &prefix);
    EXPECT_EQ(parsed, c.parsed != nullptr) << c.text;
    if (parsed && c.parsed != nullptr) {
      EXPECT_EQ(Text(prefix), c.parsed) << c.text;
    }
  }
}

TEST_F(IpPrefixTest, CatchAll_IsAnyListThatCoversAFamilyWhateverItsSpelling) {
  const struct {
    const char* list;
    bool catch_all;
  } cases[] = {
      {"0.0.0.0/0", true},
      {"10.8.0.0/24, ::/0", true},
      {"::0/0", true},
      {"0:0::0/0", true},
      {"1.2.3.4/0", true},
      {"0.0.0.0/1, 128.0.0.0/1", true},
      {"::/1,8000::/1", true},
      {"0.0.0.0/2, 64.0.0.0/2, 128.0.0.0/1", true},
      {"0.0.0.0/1", false},
      {"0.0.0.0/1, 128.0.0.0/2, 192.0.0.0/3", false},
      {"10.8.0.0/24", false},
      {"0.0.0.0/1, 8000::/1", false},  // half of each family is not all of either
      {"", false},
      {"junk, 0.0.0.0/32", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsCatchAllList(c.list), c.catch_all) << c.list;
}

TEST_F(IpPrefixTest, SplitList_TrimsSpacesAndKeepsEmptyEntries) {
  EXPECT_EQ(SplitList(" 10.8.0.0/24 ,::/0,,"), (std::vector<std::string>{"10.8.0.0/24", "::/0", "", ""}));
  EXPECT_EQ(SplitList(""), (std::vector<std::string>{""}));
}

}  // namespace
}  // namespace quorvane
