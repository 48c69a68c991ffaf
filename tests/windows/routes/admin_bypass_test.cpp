// The admin bypass on Wine's real TCP table and route calls.
#include <gtest/gtest.h>
#include <windows.h>

#include "loopback_connection.h"
#include "platform/ip_routes.h"
#include "routes/admin_bypass.h"
#include "routes/admin_bypass_candidates.h"
#include "routes/admin_bypass_routes.h"
#include "routes/route_journal.h"
#include "common/startup_record.h"

namespace quorvane {
namespace {

class AdminBypassOnWineTest : public testing::Test {
 protected:
  void SetUp() override {
    ResetAdminBypassRecords();
    MarkUserConnectBegun();
  }
  void TearDown() override { ResetAdminBypassRecords(); }
};

TEST_F(AdminBypassOnWineTest, LoopbackRdpPeer_IsReadButNeverACandidate) {
  LoopbackConnection rdp(3389);
  ASSERT_TRUE(rdp.ok()) << rdp.error();
  EXPECT_TRUE(ListRdpTcpRemoteAddresses().empty());
}

// Wine answers success to CreateIpForwardEntry and adds nothing, so the
// route's verification fails: the correct answer for a route that did not appear.
TEST_F(AdminBypassOnWineTest, RouteThatDoesNotAppear_EndsInRouteVerifyFailed) {
  platform::Ipv4Address probe = 0;
  ASSERT_TRUE(platform::ParseIpv4Address("8.8.8.8", &probe));
  platform::ForwardRow best;
  uint32_t error_code = 0;
  if (!platform::FindBestRoute(probe, &best, &error_code) || best.next_hop == 0) {
    GTEST_SKIP() << "this machine has no default gateway (error " << error_code << ")";
  }
  SetPhysicalGateway(PhysicalGateway{best.next_hop, best.if_index});
  const AdminBypassRouteResult result = AddAdminBypassRoute(AdminBypassCandidate{"203.0.113.7", kSourceAdminBypassIp, true});
  EXPECT_TRUE(result.add_attempted);
  EXPECT_EQ(result.win32_error_code, 0u);
  EXPECT_EQ(result.failure_reason, "route_verify_failed");
  EXPECT_EQ(AddedBypassRoutes().size(), 1u);
  // Journalled on the real file system before the add, dropped after the delete.
  const RouteJournal journal = ReadRouteJournal();
  ASSERT_TRUE(journal.present && journal.readable) << journal.error;
  ASSERT_EQ(journal.rows.size(), 1u);
  EXPECT_EQ(JournalRouteText(journal.rows[0]).rfind("203.0.113.7/32->", 0), 0u);
  EXPECT_EQ(GetFileAttributesW(L"C:\\ProgramData\\Quorvane\\state\\bypass-routes.journal.tmp"),
            INVALID_FILE_ATTRIBUTES)
      << "replaced through a temporary file that is gone";
  DeleteAddedBypassRoutes();
  EXPECT_TRUE(AddedBypassRoutes().empty());
  EXPECT_FALSE(ReadRouteJournal().present);
}

}  // namespace
}  // namespace quorvane
