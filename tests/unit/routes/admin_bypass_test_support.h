// Shared set-up of the admin bypass tests: each case starts as a new process
// would, after a connect passed its checks, on an empty fake Windows.
#pragma once

#include <string>

#include "fake_windows_test.h"
#include "platform/ip_routes.h"
#include "routes/admin_bypass.h"
#include "startup_record.h"

namespace quorvane {

inline platform::Ipv4Address Ip(const std::string& text) {
  platform::Ipv4Address address = 0;
  EXPECT_TRUE(platform::ParseIpv4Address(text, &address)) << text;
  return address;
}

inline platform::ForwardRow HostRoute(const std::string& ip, const std::string& next_hop, uint32_t if_index,
                                      uint32_t metric1) {
  platform::ForwardRow row;
  row.destination = Ip(ip);
  row.mask = 0xFFFFFFFF;
  row.next_hop = Ip(next_hop);
  row.if_index = if_index;
  row.metric1 = metric1;
  return row;
}

class AdminBypassTestBase : public FakeWindowsTest {
 protected:
  void SetUp() override {
    FakeWindowsTest::SetUp();
    ResetAdminBypassRecords();
    MarkUserConnectBegun();
  }
  void TearDown() override {
    ResetAdminBypassRecords();
    ResetStartupRecord("");
    FakeWindowsTest::TearDown();
  }
};

}  // namespace quorvane
