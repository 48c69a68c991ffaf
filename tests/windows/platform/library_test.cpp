#include "platform/library.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

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

// Where the restricted search would find a library: beside the program first,
// then System32.
TEST(Library, SafeFolders_AreLookedInBesideTheProgramThenSystem32) {
  std::wstring path;
  ASSERT_TRUE(platform::FindLibraryInSafeFolders(L"tunnel.dll", &path));
  wchar_t self[MAX_PATH] = {};
  const std::wstring program(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
  EXPECT_EQ(path, program.substr(0, program.find_last_of(L'\\') + 1) + L"tunnel.dll");
  ASSERT_TRUE(platform::FindLibraryInSafeFolders(L"kernel32.dll", &path));
  wchar_t system[MAX_PATH] = {};
  EXPECT_EQ(path, std::wstring(system, GetSystemDirectoryW(system, MAX_PATH)) + L"\\kernel32.dll");
  EXPECT_FALSE(platform::FindLibraryInSafeFolders(L"quorvane-no-such-library.dll", &path));
}

TEST(Library, MissingLibrary_FailsWithModuleNotFound) {
  platform::LibraryHandle library;
  uint32_t error_code = 0;
  EXPECT_FALSE(platform::LoadLibraryFromSafeFolders(L"quorvane-no-such-library.dll", &library, &error_code));
  EXPECT_EQ(error_code, 126u);
}

}  // namespace
