// Shared set-up of the admin bypass tests: each case starts as a new process
// would, after a connect passed its checks, on an empty fake Windows.
#pragma once

#include <string>

#include "fake_routes.h"
#include "fake_windows_test.h"
#include "platform/ip_routes.h"
#include "routes/admin_bypass.h"
#include "common/startup_record.h"

namespace quorvane {

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
