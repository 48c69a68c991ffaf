#include "routes/admin_bypass_routes.h"

#include <gtest/gtest.h>

#include "admin_bypass_test_support.h"

namespace quorvane {
namespace {

constexpr uint32_t kPhysical = 7;

class AdminBypassRoutesTest : public AdminBypassTestBase {
 protected:
  void SetUp() override {
    AdminBypassTestBase::SetUp();
    SetPhysicalGateway(PhysicalGateway{Ip("192.0.2.1"), kPhysical});
  }
};

AdminBypassCandidate Required(const std::string& ip) { return AdminBypassCandidate{ip, kSourceAdminBypassIp, true}; }

TEST_F(AdminBypassRoutesTest, NewRoute_IsCreatedWithItsExactRowRecordedAndVerified) {
  const AdminBypassRouteResult result = AddAdminBypassRoute(Required("203.0.113.7"));
  EXPECT_TRUE(result.add_attempted);
  EXPECT_TRUE(result.add_success);
  EXPECT_TRUE(result.route_verify_success);
  EXPECT_FALSE(result.already_exists);
  EXPECT_EQ(result.win32_error_code, 0u);
  EXPECT_EQ(result.gateway, "192.0.2.1");
  EXPECT_EQ(result.interface_index, "7");
  EXPECT_EQ(result.existing_route_gateway, "");
  ASSERT_EQ(AddedBypassRoutes().size(), 1u);
  const platform::ForwardRow row = AddedBypassRoutes().front();
  EXPECT_EQ(row.destination, Ip("203.0.113.7"));
  EXPECT_EQ(row.mask, 0xFFFFFFFFu);
  EXPECT_EQ(row.next_hop, Ip("192.0.2.1"));
  EXPECT_EQ(row.if_index, kPhysical);
  EXPECT_EQ(row.type, 4u);
  EXPECT_EQ(row.protocol, 3u);
  EXPECT_EQ(row.metric1, 1u);
  EXPECT_EQ(row.policy + row.age + row.next_hop_as + row.metric2 + row.metric3 + row.metric4 + row.metric5, 0u);

  DeleteAddedBypassRoutes();
  EXPECT_TRUE(platform::fake::Routes().empty());
  EXPECT_TRUE(AddedBypassRoutes().empty());
}

TEST_F(AdminBypassRoutesTest, ExistingLowMetricRoute_IsUsedAndNeverDeleted) {
  platform::fake::SeedRoutes({HostRoute("203.0.113.7", "192.0.2.1", kPhysical, 15)});
  const AdminBypassRouteResult result = AddAdminBypassRoute(Required("203.0.113.7"));
  EXPECT_TRUE(result.already_exists);
  EXPECT_TRUE(result.add_success);
  EXPECT_TRUE(result.route_verify_success);
  EXPECT_FALSE(result.add_attempted);
  EXPECT_EQ(result.win32_error_code, 0u);
  EXPECT_EQ(result.existing_route_gateway, "192.0.2.1");
  EXPECT_EQ(result.existing_route_interface_index, "7");
  DeleteAddedBypassRoutes();
  EXPECT_EQ(platform::fake::Routes().size(), 1u);
}

TEST_F(AdminBypassRoutesTest, AlreadyExistsThroughAnotherGateway_IsAFailedAdd) {
  platform::fake::SeedRoutes({HostRoute("203.0.113.7", "10.8.0.1", 9, 5)});
  platform::fake::FailNextCall("CreateForwardEntry", platform::kErrorObjectAlreadyExists);
  const AdminBypassRouteResult result = AddAdminBypassRoute(Required("203.0.113.7"));
  EXPECT_TRUE(result.add_attempted);
  EXPECT_TRUE(result.already_exists);
  EXPECT_FALSE(result.add_success);
  EXPECT_EQ(result.win32_error_code, 5010u);
  EXPECT_EQ(result.error_message, "CreateIpForwardEntry failed");
  EXPECT_EQ(result.failure_reason, "route_add_failed");
  EXPECT_EQ(result.existing_route_gateway, "10.8.0.1");
  EXPECT_EQ(result.existing_route_interface_index, "9");
  EXPECT_TRUE(AddedBypassRoutes().empty());
}

TEST_F(AdminBypassRoutesTest, CreatedRouteSeenWithMetric16_FailsVerifyAndIsDeletedLater) {
  platform::fake::SetCreatedRouteMetric(16);
  const AdminBypassRouteResult result = AddAdminBypassRoute(Required("203.0.113.7"));
  EXPECT_TRUE(result.add_attempted);
  EXPECT_FALSE(result.add_success);
  EXPECT_FALSE(result.route_verify_success);
  EXPECT_EQ(result.failure_reason, "route_verify_failed");
  EXPECT_EQ(result.error_message, "route verify failed after add");
  EXPECT_EQ(AddedBypassRoutes().size(), 1u);
  DeleteAddedBypassRoutes();
  EXPECT_TRUE(platform::fake::Routes().empty());
}

TEST_F(AdminBypassRoutesTest, InvalidAddress_IsReportedWithoutTouchingTheTable) {
  const AdminBypassRouteResult result = AddAdminBypassRoute(Required("host.example"));
  EXPECT_EQ(result.error_message, "invalid_ip");
  EXPECT_EQ(result.failure_reason, "invalid_ip");
  EXPECT_FALSE(result.add_attempted);
  EXPECT_TRUE(platform::fake::Journal().empty());
}

TEST_F(AdminBypassRoutesTest, Verify_SummarisesEachAddressInOrder) {
  platform::fake::SeedRoutes({HostRoute("198.51.100.20", "192.0.2.1", kPhysical, 5),
                              HostRoute("198.51.100.21", "192.0.2.1", kPhysical, 16),
                              HostRoute("198.51.100.22", "10.8.0.1", 9, 1)});
  std::string summary;
  EXPECT_FALSE(VerifyAdminBypassRoutes({"203.0.113.7", "198.51.100.20", "no-address"}, &summary));
  EXPECT_EQ(summary, "203.0.113.7:missing;198.51.100.20:ok(metric=5);no-address:invalid;");
  EXPECT_FALSE(VerifyAdminBypassRoutes({"198.51.100.21", "198.51.100.22"}, &summary));
  EXPECT_EQ(summary, "198.51.100.21:metric_high(16);198.51.100.22:missing;");
  EXPECT_TRUE(VerifyAdminBypassRoutes({"198.51.100.20"}, &summary));
  EXPECT_FALSE(VerifyAdminBypassRoutes({}, &summary));
  EXPECT_EQ(summary, "");
}

TEST_F(AdminBypassRoutesTest, Readd_SummarisesAddedOrTheErrorCode) {
  std::string summary;
  EXPECT_TRUE(ReaddAdminBypassRoute("203.0.113.7", &summary));
  EXPECT_EQ(summary, "203.0.113.7:added");
  platform::fake::FailNextCall("CreateForwardEntry", 87);
  EXPECT_FALSE(ReaddAdminBypassRoute("203.0.113.8", &summary));
  EXPECT_EQ(summary, "203.0.113.8:add_failed(87)");
}

TEST_F(AdminBypassRoutesTest, RouteCreatedTwice_IsRecordedOnce) {
  // As under Wine: creation succeeds and adds nothing, so each try "creates" it.
  platform::fake::FailNextCall("CreateForwardEntry", 0);
  AddAdminBypassRoute(Required("203.0.113.7"));
  platform::fake::FailNextCall("CreateForwardEntry", 0);
  AddAdminBypassRoute(Required("203.0.113.7"));
  EXPECT_EQ(AddedBypassRoutes().size(), 1u);
}

TEST_F(AdminBypassRoutesTest, ResultJson_HasEveryKeyInOrder) {
  AdminBypassRouteResult result;
  result.ip = "203.0.113.7";
  result.source = "ADMIN_BYPASS_IP";
  result.required = true;
  result.add_attempted = true;
  result.win32_error_code = 5010;
  result.error_message = "CreateIpForwardEntry failed";
  result.gateway = "192.0.2.1";
  result.interface_index = "7";
  result.failure_reason = "route_add_failed";
  EXPECT_EQ(WriteRouteResultsJson({result, AdminBypassRouteResult()}),
            "[{\"ip\":\"203.0.113.7\",\"source\":\"ADMIN_BYPASS_IP\",\"required\":true,\"add_attempted\":true,"
            "\"already_exists\":false,\"add_success\":false,\"win32_error_code\":5010,\"error_message\":"
            "\"CreateIpForwardEntry failed\",\"gateway\":\"192.0.2.1\",\"interface_index\":\"7\","
            "\"existing_route_gateway\":\"\",\"existing_route_interface_index\":\"\",\"route_verify_success\":false,"
            "\"failure_reason\":\"route_add_failed\"},"
            "{\"ip\":\"\",\"source\":\"\",\"required\":false,\"add_attempted\":false,\"already_exists\":false,"
            "\"add_success\":false,\"win32_error_code\":0,\"error_message\":\"\",\"gateway\":\"\","
            "\"interface_index\":\"\",\"existing_route_gateway\":\"\",\"existing_route_interface_index\":\"\","
            "\"route_verify_success\":false,\"failure_reason\":\"\"}]");
  EXPECT_EQ(WriteRouteResultsJson({}), "[]");
}

// Windows counts metric1 as route plus interface metric and refuses a row
// below the interface's metric (160); Ethernet and Wi-Fi have 25 to 50.
TEST_F(AdminBypassRoutesTest, InterfaceMetric_IsAddedToTheRouteAndLeftOutOfTheLowMetricRule) {
  for (const uint32_t interface_metric : {5u, 25u, 50u}) {
    platform::fake::Reset();
    ResetAdminBypassRouteRecords();
    platform::fake::SeedInterfaceMetric(kPhysical, interface_metric);
    SetPhysicalGateway(MakePhysicalGateway(Ip("192.0.2.1"), kPhysical));
    const AdminBypassRouteResult result = AddAdminBypassRoute(Required("203.0.113.7"));
    EXPECT_TRUE(result.add_success) << interface_metric << " " << result.win32_error_code;
    EXPECT_TRUE(result.route_verify_success) << interface_metric;
    ASSERT_EQ(AddedBypassRoutes().size(), 1u);
    EXPECT_EQ(AddedBypassRoutes().front().metric1, interface_metric + 1);
    // Someone else's routes, as the table shows them: own metric 5 is low, 20 is not.
    platform::fake::SeedRoutes({platform::fake::Routes().front(),
                                HostRoute("198.51.100.20", "192.0.2.1", kPhysical, interface_metric + 5),
                                HostRoute("198.51.100.21", "192.0.2.1", kPhysical, interface_metric + 20)});
    std::string summary;
    EXPECT_FALSE(VerifyAdminBypassRoutes({"203.0.113.7", "198.51.100.20", "198.51.100.21"}, &summary));
    EXPECT_EQ(summary, "203.0.113.7:ok(metric=" + std::to_string(interface_metric + 1) + ");198.51.100.20:ok(metric=" +
                           std::to_string(interface_metric + 5) + ");198.51.100.21:metric_high(" +
                           std::to_string(interface_metric + 20) + ");");
  }
  // A row below the interface's metric is what Windows refuses.
  platform::fake::Reset();
  ResetAdminBypassRouteRecords();
  platform::fake::SeedInterfaceMetric(kPhysical, 25);
  EXPECT_EQ(platform::CreateForwardEntry(HostRoute("203.0.113.7", "192.0.2.1", kPhysical, 1)), 160u);
}

}  // namespace
}  // namespace quorvane
