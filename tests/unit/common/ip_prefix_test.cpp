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

// Safe mode keeps each administrator's /32 outside the tunnel with the
// fewest prefixes that cover the rest of the entry.
TEST_F(IpPrefixTest, CarveHostsOut_LeavesEachHostOutsideAndTheRestCovered) {
  const struct {
    const char* list;
    std::vector<std::string> hosts;
    const char* carved_list;
    size_t carved;
  } cases[] = {
      {"10.0.0.0/8", {"10.1.2.3"},
       "10.0.0.0/16, 10.1.0.0/23, 10.1.2.0/31, 10.1.2.2/32, 10.1.2.4/30, 10.1.2.8/29, 10.1.2.16/28, "
       "10.1.2.32/27, 10.1.2.64/26, 10.1.2.128/25, 10.1.3.0/24, 10.1.4.0/22, 10.1.8.0/21, 10.1.16.0/20, "
       "10.1.32.0/19, 10.1.64.0/18, 10.1.128.0/17, 10.2.0.0/15, 10.4.0.0/14, 10.8.0.0/13, 10.16.0.0/12, "
       "10.32.0.0/11, 10.64.0.0/10, 10.128.0.0/9",
       1},
      {"10.1.2.0/30", {"10.1.2.3", "10.1.2.0"}, "10.1.2.1/32, 10.1.2.2/32", 2},
      {"10.8.0.0/24, 192.0.2.0/24", {"203.0.113.9"}, "10.8.0.0/24, 192.0.2.0/24", 0},
      {"::/0, 2001:db8::/32", {"10.1.2.3"}, "::/0, 2001:db8::/32", 0},
      {"203.0.113.9/32", {"203.0.113.9"}, "", 1},
      {"2001:db8::/126, 10.8.0.0/24", {"2001:db8::1", "10.1.2.3"}, "2001:db8::/128, 2001:db8::2/127, 10.8.0.0/24", 1},
      {"2001:db8::/32", {"2001:db9::1", "2001:db8::/64"}, "2001:db8::/32", 0},  // outside; not a host
  };
  for (const auto& c : cases) {
    std::vector<std::string> carved;
    EXPECT_EQ(CarveHostsOut(c.list, c.hosts, &carved), c.carved_list) << c.list;
    EXPECT_EQ(carved.size(), c.carved) << c.list;
  }
  // A /1 with a peer in it, and several peers: no covered address is lost, no
  // peer is covered.
  std::vector<std::string> carved;
  const std::string split = CarveHostsOut("0.0.0.0/1", {"10.1.2.3", "100.64.0.1"}, &carved);
  EXPECT_EQ(carved, (std::vector<std::string>{"10.1.2.3/32 from 0.0.0.0/1", "100.64.0.1/32 from 0.0.0.0/1"}));
  std::vector<IpPrefix> prefixes;
  for (const std::string& entry : SplitList(split)) {
    IpPrefix prefix;
    ASSERT_TRUE(ParseIpPrefix(entry, &prefix)) << entry;
    EXPECT_NE(entry, "10.1.2.3/32");
    prefixes.push_back(prefix);
  }
  EXPECT_EQ(prefixes.size(), 2u * 30) << split;  // the hosts part at /2: a sibling at each of /3 to /32, twice
  prefixes.push_back(IpPrefix{false, {10, 1, 2, 3}, 32});
  prefixes.push_back(IpPrefix{false, {100, 64, 0, 1}, 32});
  prefixes.push_back(IpPrefix{false, {128, 0, 0, 0}, 1});
  EXPECT_TRUE(CoversWholeFamily(prefixes, false)) << "with the peers and the other half, all of IPv4";
  // The same for an IPv6 /3 and a peer in it.
  carved.clear();
  prefixes.clear();
  for (const std::string& entry : SplitList(CarveHostsOut("2000::/3", {"2001:db8::9"}, &carved))) {
    IpPrefix prefix;
    ASSERT_TRUE(ParseIpPrefix(entry, &prefix) && prefix.v6) << entry;
    EXPECT_NE(entry, "2001:db8::9/128");
    prefixes.push_back(prefix);
  }
  EXPECT_EQ(carved, (std::vector<std::string>{"2001:db8::9/128 from 2000::/3"}));
  EXPECT_EQ(prefixes.size(), 125u);
  IpPrefix rest;
  for (const char* more : {"2001:db8::9", "::/1", "8000::/1", "4000::/2", "0::/3"}) {
    ASSERT_TRUE(ParseIpPrefix(more, &rest)) << more;
    prefixes.push_back(rest);
  }
  EXPECT_TRUE(CoversWholeFamily(prefixes, true));
}

// Texts as RFC 5952 writes them, which the report and carved lists show.
TEST_F(IpPrefixTest, Ipv6Text_CompressesTheFirstLongestZeroRun) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"::", "::"},
      {"::1", "::1"},
      {"2001:DB8:0:0:0:0:0:1", "2001:db8::1"},
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays
      {"1:0:0:2:0:0:3:4", "1::2:0:0:3:4"},                // equal runs: the first
      {"1:0:0:2:0:0:0:4", "1:0:0:2::4"},                  // the longer
      {"fe80:0:0:0:0:0:0:0", "fe80::"},
  };
  for (const auto& c : cases) {
    IpPrefix prefix;
    ASSERT_TRUE(ParseIpPrefix(c.in, &prefix)) << c.in;
    EXPECT_EQ(Ipv6Text(prefix.bytes), c.out) << c.in;
  }
}

}  // namespace
}  // namespace quorvane
