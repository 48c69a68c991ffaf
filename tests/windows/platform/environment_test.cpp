#include "platform/environment.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "test_registry.h"

namespace {

constexpr wchar_t kMachineKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr wchar_t kTestValue[] = L"QUORVANE_SEAM_TEST_VALUE";

// Reads as the settings reader does: a buffer of 2048 bytes.
bool ReadValue(platform::RegistryRoot root, const wchar_t* subkey, const wchar_t* name, std::wstring* value,
               uint32_t* error_code) {
  return platform::ReadRegistryString(root, subkey, name, 2048, value, error_code);
}

bool ReadMachineValue(const wchar_t* name, std::wstring* value, uint32_t* error_code) {
  return ReadValue(platform::RegistryRoot::kLocalMachine, kMachineKey, name, value, error_code);
}

TEST(ReadProcessEnvironment, SetValue_IsReadWithItsLength) {
  ScopedEnvironmentValue env(kTestValue, L"on \u00e9");
  std::wstring value;
  EXPECT_EQ(platform::ReadProcessEnvironment(kTestValue, 512, &value), 4u);
  EXPECT_EQ(value, L"on \u00e9");
}

TEST(ReadProcessEnvironment, UnsetValue_IsZero) {
  std::wstring value = L"stale";
  EXPECT_EQ(platform::ReadProcessEnvironment(L"QUORVANE_SEAM_TEST_NEVER_SET", 512, &value), 0u);
  EXPECT_EQ(value, L"");
}

TEST(ReadProcessEnvironment, ValueThatDoesNotFit_ReportsTheNeededSizeAndNoText) {
  ScopedEnvironmentValue fits(kTestValue, std::wstring(511, L'x'));
  std::wstring value;
  EXPECT_EQ(platform::ReadProcessEnvironment(kTestValue, 512, &value), 511u);
  EXPECT_EQ(value.size(), 511u);

  ScopedEnvironmentValue too_long(kTestValue, std::wstring(512, L'x'));
  EXPECT_GE(platform::ReadProcessEnvironment(kTestValue, 512, &value), 512u);
  EXPECT_EQ(value, L"");
}

TEST(WriteRegistryString, MachineValue_IsWrittenAsAStringAndReadBack) {
  ScopedRegistryValue cleanup(HKEY_LOCAL_MACHINE, kMachineKey, kTestValue, L"placeholder");
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::WriteRegistryString(platform::RegistryRoot::kLocalMachine, kMachineKey, kTestValue, L"600",
                                            &error_code))
      << error_code;
  std::wstring value;
  ASSERT_TRUE(ReadMachineValue(kTestValue, &value, &error_code)) << error_code;
  EXPECT_EQ(value, L"600");
}

TEST(ReadRegistryString, PlainStringInBothHives_IsRead) {
  ScopedRegistryValue machine(HKEY_LOCAL_MACHINE, kMachineKey, kTestValue, L"machine-1");
  ScopedRegistryValue user(HKEY_CURRENT_USER, L"Environment", kTestValue, L"user-1");
  ASSERT_TRUE(machine.ok() && user.ok());
  std::wstring value;
  uint32_t error_code = 0;
  ASSERT_TRUE(ReadMachineValue(kTestValue, &value, &error_code))
      << error_code;
  EXPECT_EQ(value, L"machine-1");
  ASSERT_TRUE(ReadValue(platform::RegistryRoot::kCurrentUser, L"Environment", kTestValue, &value, &error_code))
      << error_code;
  EXPECT_EQ(value, L"user-1");
}

TEST(ReadRegistryString, ExpandableString_IsReadUnexpanded) {
  ScopedRegistryValue machine(HKEY_LOCAL_MACHINE, kMachineKey, kTestValue, L"%SystemRoot%\\x", REG_EXPAND_SZ);
  ASSERT_TRUE(machine.ok());
  std::wstring value;
  uint32_t error_code = 0;
  ASSERT_TRUE(ReadMachineValue(kTestValue, &value, &error_code))
      << error_code;
  EXPECT_EQ(value, L"%SystemRoot%\\x");
}

TEST(ReadRegistryString, AbsentWrongTypeOrTooLarge_FailWithTheSystemCode) {
  std::wstring value;
  uint32_t error_code = 0;
  EXPECT_FALSE(ReadMachineValue(L"QUORVANE_SEAM_TEST_NEVER_SET", &value, &error_code));
  EXPECT_EQ(error_code, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));

  {
    ScopedRegistryValue dword(HKEY_LOCAL_MACHINE, kMachineKey, kTestValue, DWORD{1});
    ASSERT_TRUE(dword.ok());
    EXPECT_FALSE(ReadMachineValue(kTestValue, &value, &error_code));
    EXPECT_EQ(error_code, static_cast<uint32_t>(ERROR_UNSUPPORTED_TYPE));
  }

  // 1023 characters and the terminating NUL fill 2048 bytes exactly; one more does not fit.
  ScopedRegistryValue fits(HKEY_LOCAL_MACHINE, kMachineKey, kTestValue, std::wstring(1023, L'7'));
  ASSERT_TRUE(ReadMachineValue(kTestValue, &value, &error_code))
      << error_code;
  EXPECT_EQ(value.size(), 1023u);
  ScopedRegistryValue too_large(HKEY_LOCAL_MACHINE, kMachineKey, kTestValue, std::wstring(1024, L'7'));
  EXPECT_FALSE(ReadMachineValue(kTestValue, &value, &error_code));
  EXPECT_EQ(error_code, static_cast<uint32_t>(ERROR_MORE_DATA));
  EXPECT_EQ(value, L"");
}

}  // namespace
