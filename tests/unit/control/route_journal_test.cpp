// Bypass routes that outlive their process: journalled before they are
// added, removed by the next process's disconnect exactly as recorded, shown
// by the passive start-up report without touching them.
#include "routes/route_journal.h"

#include <gtest/gtest.h>

#include "control/request_handler.h"
#include "control_test_support.h"
#include "fake_routes.h"
#include "common/safe_mode_settings.h"
#include "host/startup_report.h"

namespace quorvane {
namespace {

constexpr uint32_t kPhysical = 7;
constexpr wchar_t kJournal[] = L"C:\\ProgramData\\Quorvane\\state\\bypass-routes.journal";

class RouteJournalTest : public ControlTestBase {
 protected:
  void SetUp() override {
    ControlTestBase::SetUp();
    MarkUserConnectBegun();
    platform::fake::SeedBestRoute(Route("0.0.0.0", "0.0.0.0", "192.0.2.1", kPhysical));
    platform::fake::SeedInterface(kPhysical, {L"Ethernet", L""});
    platform::fake::SetProcessEnvironment(kSettingAdminBypassIps, L"203.0.113.7 198.51.100.9");
  }
  std::string Handle(const std::string& request) { return HandleRequest(state_.get(), UserCaller(), request); }
  // The process ends without its clean-up: its memory is gone, the table and
  // the files stay.
  void Crash() {
    state_.reset();  // holds no server or timer here: nothing of the table goes with it
    ResetAdminBypassRecords();
    ResetStartupRecord("2026-12-08T02:00:00Z");
    MarkUserConnectBegun();
    state_ = std::make_unique<ControlState>();
  }
  static std::vector<std::string> HostRoutes() {
    std::vector<std::string> texts;
    for (const platform::ForwardRow& row : platform::fake::Routes()) texts.push_back(JournalRouteText(row));
    return texts;
  }
};

TEST_F(RouteJournalTest, RoutesOfACrashedProcess_AreRemovedByTheNextDisconnectExactlyAsRecorded) {
  ASSERT_TRUE(Contains(Handle(ConnectRequest("")), "\"ok\":true"));
  EXPECT_EQ(HostRoutes(), (std::vector<std::string>{"198.51.100.9/32->192.0.2.1@if7:metric=1",
                                                    "203.0.113.7/32->192.0.2.1@if7:metric=1"}));
  const std::optional<std::string> journal = platform::fake::FileContent(kJournal);
  ASSERT_TRUE(journal.has_value());
  EXPECT_EQ(ReadRouteJournal().rows.size(), 2u);
  Crash();

  // The interface's metric moves with its link speed, which moves every
  // route's metric1 on it; someone else moves one of them to another gateway,
  // and adds a route of their own.
  platform::fake::ChangeInterfaceMetric(kPhysical, 20);
  std::vector<platform::ForwardRow> table = platform::fake::Routes();
  platform::ParseIpv4Address("192.0.2.254", &table[1].next_hop);
  table.push_back(HostRoute("192.0.2.99", "192.0.2.1", kPhysical, 1));
  platform::fake::SeedRoutes(table);

  // The passive start shows them and changes nothing.
  const std::string report = StartupReportJson();
  EXPECT_TRUE(Contains(report, "\"leftover_journalled_bypass_routes\":[\"198.51.100.9/32->192.0.2.1@if7:metric=1\","
                               "\"203.0.113.7/32->192.0.2.1@if7:metric=1\"],"))
      << report;
  EXPECT_EQ(platform::fake::Routes().size(), 3u);
  EXPECT_EQ(platform::fake::FileContent(kJournal), journal);

  EXPECT_TRUE(Contains(Handle(kDisconnectRequest), "\"ok\":true"));
  EXPECT_EQ(HostRoutes(), (std::vector<std::string>{"203.0.113.7/32->192.0.2.254@if7:metric=21",
                                                    "192.0.2.99/32->192.0.2.1@if7:metric=1"}))
      << "the route still as recorded goes, whatever its metric now";
  EXPECT_FALSE(platform::fake::FileContent(kJournal).has_value()) << "the journal is cleared";
  EXPECT_NE(platform::fake::StderrText().find(L"removed 1 bypass route(s) an earlier process left; 1 no longer as "
                                               L"recorded, left alone"),
            std::wstring::npos);
}

// A crash at each point of adding a route: the journal never misses a route
// that is in the table, and never removes what is not ours.
TEST_F(RouteJournalTest, CrashAtEachStepOfAnAdd_LeavesNothingBehindAfterTheNextConnect) {
  const struct {
    const char* label;
    int routes_made;  // of the two, before the crash
  } cases[] = {{"journalled, nothing added", 0}, {"one added", 1}, {"both added", 2}};
  for (const auto& c : cases) {
    platform::fake::Reset();
    SetUp();
    // The first route's journal entry is written, then the adds run as far as the case says.
    const platform::ForwardRow first = HostRoute("203.0.113.7", "192.0.2.1", kPhysical, 1);
    const platform::ForwardRow second = HostRoute("198.51.100.9", "192.0.2.1", kPhysical, 1);
    std::string error;
    ASSERT_TRUE(JournalRoute(first, &error)) << error;
    if (c.routes_made >= 1) {
      ASSERT_EQ(platform::CreateForwardEntry(first), 0u);
    }
    if (c.routes_made >= 2) {
      ASSERT_TRUE(JournalRoute(second, &error)) << error;
      ASSERT_EQ(platform::CreateForwardEntry(second), 0u);
    }
    Crash();
    platform::fake::SetProcessEnvironment(kSettingAdminBypassIps, L"");
    platform::fake::SetProcessEnvironment(kSettingAdminBypass, L"0");
    ASSERT_TRUE(Contains(Handle(ConnectRequest("")), "\"ok\":true")) << c.label;
    EXPECT_TRUE(platform::fake::Routes().empty()) << c.label;
    EXPECT_FALSE(platform::fake::FileContent(kJournal).has_value()) << c.label;
  }
}

TEST_F(RouteJournalTest, DamagedJournal_IsReportedLeftInPlaceAndNeverStopsADisconnect) {
  platform::fake::SeedFile(kJournal, "# quorvane bypass route journal 1\nnot a route\n");
  EXPECT_TRUE(Contains(StartupReportJson(), "\"route_journal_error\":\"route journal damaged at line 2\""));
  EXPECT_TRUE(Contains(Handle(kDisconnectRequest), "\"ok\":true"));
  EXPECT_NE(platform::fake::StderrText().find(L"route journal damaged at line 2; left in place"), std::wstring::npos);
  EXPECT_EQ(platform::fake::FileContent(kJournal), "# quorvane bypass route journal 1\nnot a route\n");
  // No route is added that no journal could record.
  const std::string reply = Handle(ConnectRequest(""));
  EXPECT_TRUE(Contains(reply, "\"error\":\"admin_bypass_failed\"")) << reply;
  EXPECT_TRUE(platform::fake::Routes().empty());
}

TEST_F(RouteJournalTest, JournalFile_IsProtectedAndReplacedAtomically) {
  ASSERT_TRUE(Contains(Handle(ConnectRequest("")), "\"ok\":true"));
  EXPECT_EQ(platform::fake::PathOwner(L"C:\\ProgramData\\Quorvane\\state"), L"S-1-5-32-544");
  EXPECT_TRUE(platform::fake::FileFlushed(kJournal));
  EXPECT_FALSE(platform::fake::FileContent(std::wstring(kJournal) + L".tmp").has_value());
  EXPECT_TRUE(Contains(Handle(kDisconnectRequest), "\"ok\":true"));
  EXPECT_FALSE(platform::fake::FileContent(kJournal).has_value());
  EXPECT_TRUE(platform::fake::Routes().empty());
}

}  // namespace
}  // namespace quorvane
