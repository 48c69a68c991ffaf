#include "tunnel/tunnel_service_entry.h"

#include <gtest/gtest.h>

#include "fake_windows_test.h"

namespace quorvane {
namespace {

std::wstring g_received;
int32_t g_answer = 0;

int32_t FakeTunnelService(const wchar_t* config_path) {
  g_received = config_path;
  return g_answer;
}

class TunnelServiceEntryTest : public FakeWindowsTest {};

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
    g_received.clear();
    g_answer = c.answer;
    EXPECT_EQ(RunTunnelService(c.path), c.exit_code) << c.exit_code;
    EXPECT_EQ(g_received, c.exit_code == 0 || c.exit_code == 4 ? c.path : L"");
    EXPECT_EQ(platform::fake::LoadedLibraryCount(), 0) << "the library stayed loaded";
    EXPECT_EQ(platform::fake::StdoutText() + platform::fake::StderrText(), L"");
  }
}

TEST_F(TunnelServiceEntryTest, EmptyPath_LoadsNothing) {
  platform::fake::SeedLibrary(L"tunnel.dll", "WireGuardTunnelService", FakeTunnelService);
  EXPECT_EQ(RunTunnelService(L""), 1);
  EXPECT_TRUE(platform::fake::Journal().empty());
}

}  // namespace
}  // namespace quorvane
