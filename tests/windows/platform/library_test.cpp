#include "platform/library.h"

#include <gtest/gtest.h>

namespace {

TEST(Library, StandInTunnelLibrary_LoadsBesideTheProgramAndHasItsExport) {
  platform::LibraryHandle library;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::LoadLibraryFromSafeFolders(L"tunnel.dll", &library, &error_code)) << error_code;
  platform::WideTextEntry entry = nullptr;
  EXPECT_FALSE(platform::FindWideTextEntry(library, "NoSuchExport", &entry));
  ASSERT_TRUE(platform::FindWideTextEntry(library, "WireGuardTunnelService", &entry));
  // Outside the service manager the stand-in cannot register, and says so.
  EXPECT_EQ(entry(L"C:\\nowhere.conf"), 0);
  library.Reset();
  EXPECT_FALSE(library.valid());
}

TEST(Library, RestrictedSearch_IsAccepted) {
  uint32_t error_code = 0;
  EXPECT_TRUE(platform::RestrictLibrarySearch(&error_code)) << error_code;
  platform::LibraryHandle library;
  EXPECT_TRUE(platform::LoadLibraryFromSafeFolders(L"tunnel.dll", &library, &error_code)) << error_code;
  EXPECT_TRUE(platform::LoadLibraryFromSafeFolders(L"kernel32.dll", &library, &error_code)) << "System32";
}

TEST(Library, MissingLibrary_FailsWithModuleNotFound) {
  platform::LibraryHandle library;
  uint32_t error_code = 0;
  EXPECT_FALSE(platform::LoadLibraryFromSafeFolders(L"quorvane-no-such-library.dll", &library, &error_code));
  EXPECT_EQ(error_code, 126u);
}

}  // namespace
