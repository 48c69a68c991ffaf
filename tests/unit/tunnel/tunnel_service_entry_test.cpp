#include "tunnel/tunnel_service_entry.h"

#include <gtest/gtest.h>

#include "common/service_log.h"
#include "fake_windows_test.h"

namespace quorvane {
namespace {

std::wstring g_received;
int32_t g_answer = 0;

int32_t FakeTunnelService(const wchar_t* config_path) {
  g_received = config_path;
  return g_answer;
}

class TunnelServiceEntryTest : public FakeWindowsTest {
 protected:
  void TearDown() override {
    SetServiceLogEnabled(false);
    FakeWindowsTest::TearDown();
  }
};

TEST_F(TunnelServiceEntryTest, ExitCodes_FollowWhatTheLibraryDid) {
  const struct {
    const wchar_t* path;
    const char* export_name;  // nullptr: no tunnel.dll at all
    int32_t answer;
    int exit_code;
  } cases[] = {
      {L"C:\\t\\active.conf", "WireGuardTunnelService", 1, 0},
      {L"C:\\t\\active.conf", "WireGuardTunnelService", -2, 0},  // any non-zero value is success
      {L"C:\\t\\active.conf", "WireGuardTunnelService", 0, 4},
      {L"C:\\t\\active.conf", "WireGuardTunnelServiceEx", 1, 3},
      {L"C:\\t\\active.conf", nullptr, 1, 2},
      {L"", "WireGuardTunnelService", 1, 1},
  };
  for (const auto& c : cases) {
    platform::fake::Reset();
    if (c.export_name != nullptr) platform::fake::SeedLibrary(L"tunnel.dll", c.export_name, FakeTunnelService);
    if (c.export_name == nullptr) platform::fake::RemoveLibrary(L"tunnel.dll");
    g_received.clear();
    g_answer = c.answer;
    EXPECT_EQ(RunTunnelService(c.path), c.exit_code) << c.exit_code;
    const bool called = c.exit_code == 0 || c.exit_code == 4;
    EXPECT_EQ(g_received, called ? c.path : L"");
    // A library that ran is never freed (a Go runtime cannot be unloaded);
    // one whose export was missing is.
    EXPECT_EQ(platform::fake::LoadedLibraryCount(), called ? 1 : 0) << c.exit_code;
    EXPECT_EQ(platform::fake::StdoutText() + platform::fake::StderrText(), L"");
    // Without a library to report for it, the entry tells the manager why.
    const auto reported = platform::fake::ReportedStatuses();
    if (c.exit_code == 2 || c.exit_code == 3) {
      ASSERT_EQ(reported.size(), 1u) << c.exit_code;
      EXPECT_EQ(reported[0].state, platform::kServiceStopped);
      EXPECT_EQ(reported[0].win32_exit_code, 1066u);
      EXPECT_EQ(reported[0].service_specific_exit_code, static_cast<uint32_t>(c.exit_code));
    } else {
      EXPECT_TRUE(reported.empty()) << c.exit_code;
    }
  }
}

// The standard search would find a tunnel.dll that someone planted in a PATH
// folder or the current folder, and run it as the system account.
TEST_F(TunnelServiceEntryTest, LibraryOutsideTheSafeFolders_IsNeverLoaded) {
  using platform::fake::LibraryFolder;
  const struct {
    LibraryFolder folder;
    int exit_code;
  } cases[] = {
      {LibraryFolder::kProgram, 0},
      {LibraryFolder::kSystem32, 0},
      {LibraryFolder::kPathFolder, 2},
      {LibraryFolder::kCurrentFolder, 2},
  };
  for (const auto& c : cases) {
    platform::fake::Reset();
    platform::fake::SeedLibrary(L"tunnel.dll", "WireGuardTunnelService", FakeTunnelService, c.folder);
    g_received.clear();
    g_answer = 1;
    EXPECT_EQ(RunTunnelService(L"C:\\t\\active.conf"), c.exit_code);
    EXPECT_EQ(g_received.empty(), c.exit_code == 2);
  }
}

TEST_F(TunnelServiceEntryTest, EmptyPath_LoadsNothing) {
  platform::fake::SeedLibrary(L"tunnel.dll", "WireGuardTunnelService", FakeTunnelService);
  EXPECT_EQ(RunTunnelService(L""), 1);
  EXPECT_TRUE(platform::fake::Journal().empty());
}

}  // namespace
}  // namespace quorvane
