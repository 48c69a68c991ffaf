#include "platform/files.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "access_lists.h"
#include "platform/process.h"
#include "dacl_text.h"
#include "temp_directory.h"

namespace {

using platform::FileHandle;

bool WriteWhole(const std::wstring& path, const std::string& bytes, uint32_t* error_code) {
  FileHandle file;
  return platform::OpenFileForWrite(path, &file, error_code) && platform::WriteFileBytes(file, bytes, error_code) &&
         platform::CloseFile(&file, error_code);
}

TEST(Files, DirectoriesWritesMovesAndDeletes_BehaveAsTheServiceExpects) {
  ScopedTempDirectory temp(L"quorvane files");
  const std::wstring nested = temp.path() + L"\\a b\\c\\d";
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::CreateDirectories(nested, &error_code)) << error_code;
  EXPECT_TRUE(platform::CreateDirectories(nested, &error_code)) << "an existing directory is success";
  uint32_t attributes = 0;
  ASSERT_TRUE(platform::GetPathAttributes(nested, &attributes, &error_code));
  EXPECT_NE(attributes & platform::kFileAttributeDirectory, 0u);

  const std::wstring file = nested + L"\\x.conf";
  const std::string bytes("line one\nline two\n\0zero\r\n", 26);
  ASSERT_TRUE(WriteWhole(file, std::string(10000, 'x'), &error_code)) << error_code;
  ASSERT_TRUE(WriteWhole(file, bytes, &error_code)) << error_code;
  EXPECT_EQ(ReadFileBytes(file), bytes) << "opening truncates, and bytes are written untranslated";
  EXPECT_FALSE(platform::CreateDirectories(file + L"\\sub", &error_code)) << "a file is in the way";

  const std::wstring target = nested + L"\\y.conf";
  ASSERT_TRUE(WriteWhole(target, "old", &error_code));
  ASSERT_TRUE(platform::MoveFileWithFlags(file, target, platform::kMoveFileReplaceExisting |
                                                            platform::kMoveFileWriteThrough, &error_code))
      << error_code;
  EXPECT_EQ(ReadFileBytes(target), bytes);
  EXPECT_FALSE(PathExists(file));
  EXPECT_FALSE(platform::MoveFileWithFlags(file, target, platform::kMoveFileReplaceExisting, &error_code));
  EXPECT_EQ(error_code, platform::kErrorFileNotFound);

  ASSERT_TRUE(platform::DeleteFilePath(target, &error_code)) << error_code;
  EXPECT_FALSE(platform::GetPathAttributes(target, &attributes, &error_code));
  EXPECT_EQ(error_code, platform::kErrorFileNotFound);
  EXPECT_FALSE(platform::GetPathAttributes(nested + L"\\none\\z", &attributes, &error_code));
  EXPECT_EQ(error_code, platform::kErrorPathNotFound);
  EXPECT_FALSE(platform::DeleteFilePath(target, &error_code));
  EXPECT_EQ(error_code, platform::kErrorFileNotFound);
}

TEST(Files, SecondWriterMayShareTheOpenFile) {
  ScopedTempDirectory temp(L"quorvane sharing");
  const std::wstring path = temp.path() + L"\\shared.tmp";
  FileHandle first, second;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::OpenFileForWrite(path, &first, &error_code));
  EXPECT_TRUE(platform::OpenFileForWrite(path, &second, &error_code)) << error_code;
}

const std::vector<platform::AccessGrant> kServiceOnly = {
    {L"S-1-5-18", platform::kGenericAll, platform::kSubContainersAndObjectsInherit},
    {L"S-1-5-32-544", platform::kGenericAll, platform::kSubContainersAndObjectsInherit},
};

// Wine keeps no DACL on disk, so what is checked is the descriptor we build.
TEST(AccessLists, ProtectedDescriptor_HoldsExactlyTheGrantsInOrder) {
  platform::win32::BuiltDescriptor built;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::win32::MakeSecurityDescriptor(kServiceOnly, true, &built, &error_code)) << error_code;
  EXPECT_EQ(DaclText(&built), L"D:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)");

  EXPECT_FALSE(platform::win32::MakeSecurityDescriptor({{L"not-a-sid", platform::kGenericAll, 0}}, true, &built,
                                                        &error_code));
  EXPECT_EQ(error_code, static_cast<uint32_t>(ERROR_INVALID_SID));
}

TEST(AccessLists, SetProtectedDacl_AppliesToAnExistingFileAndFailsForAMissingOne) {
  ScopedTempDirectory temp(L"quorvane acl");
  const std::wstring path = temp.path() + L"\\protected.conf";
  uint32_t error_code = 0;
  ASSERT_TRUE(WriteWhole(path, "x", &error_code));
  EXPECT_TRUE(platform::SetProtectedDacl(path, kServiceOnly, &error_code)) << error_code;
  EXPECT_FALSE(platform::SetProtectedDacl(temp.path() + L"\\missing.conf", kServiceOnly, &error_code));
}

}  // namespace

namespace {

const std::vector<platform::AccessGrant> kProtectedGrants = {
    {L"S-1-5-18", platform::kGenericAll, platform::kSubContainersAndObjectsInherit},
    {L"S-1-5-32-544", platform::kGenericAll, platform::kSubContainersAndObjectsInherit},
};

// Wine keeps neither the owner nor the DACL of a folder (every file is owned
// by its one user), so the descriptor asked for is checked as SDDL, and the
// owner read back is only checked to be there.
TEST(Files, ProtectedDirectory_IsMadeWithItsOwnerAndOnlyOnce) {
  platform::win32::BuiltDescriptor built;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::win32::MakeSecurityDescriptor(kProtectedGrants, true, &built, &error_code, L"S-1-5-32-544"));
  EXPECT_EQ(DaclText(&built, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
            L"O:BAD:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)");

  ScopedTempDirectory temp(L"quorvane owner");
  const std::wstring folder = temp.path() + L"\\made";
  ASSERT_TRUE(platform::CreateProtectedDirectory(folder, kProtectedGrants, L"S-1-5-32-544", &error_code))
      << error_code;
  platform::PathFacts facts;
  ASSERT_TRUE(platform::ReadPathFacts(folder, &facts, &error_code)) << error_code;
  EXPECT_NE(facts.attributes & platform::kFileAttributeDirectory, 0u);
  EXPECT_EQ(facts.attributes & platform::kFileAttributeReparsePoint, 0u);
  EXPECT_EQ(facts.owner_sid.rfind(L"S-1-5-", 0), 0u) << facts.owner_sid;
  EXPECT_FALSE(platform::CreateProtectedDirectory(folder, kProtectedGrants, L"S-1-5-32-544", &error_code));
  EXPECT_EQ(error_code, platform::kErrorAlreadyExists);
  EXPECT_FALSE(platform::ReadPathFacts(folder + L"\\missing", &facts, &error_code));
  EXPECT_EQ(error_code, platform::kErrorFileNotFound);

  // A new file of its own protection, shared with nobody, and flushed.
  const std::wstring file_path = folder + L"\\active.conf.tmp";
  platform::FileHandle file;
  ASSERT_TRUE(platform::CreateProtectedFile(file_path, kProtectedGrants, &file, &error_code)) << error_code;
  EXPECT_EQ(CreateFileW(file_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                        0, nullptr),
            INVALID_HANDLE_VALUE)
      << "no sharing while it is written";
  EXPECT_TRUE(platform::WriteFileBytes(file, "key", &error_code));
  EXPECT_TRUE(platform::FlushFile(file, &error_code)) << error_code;
  EXPECT_TRUE(platform::CloseFile(&file, &error_code));
  platform::FileHandle again;
  EXPECT_FALSE(platform::CreateProtectedFile(file_path, kProtectedGrants, &again, &error_code)) << "made anew only";
  EXPECT_EQ(error_code, 80u);
}

// The service log's one write a line, and the journal's whole-file read.
TEST(Files, AppendToProtectedFile_AddsWholeLinesAndReadsBack) {
  ScopedTempDirectory temp(L"quorvane append");
  const std::wstring path = temp.path() + L"\\service.log";
  uint64_t size = 0;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::AppendToProtectedFile(path, kProtectedGrants, "first line\n", &size, &error_code))
      << error_code;
  EXPECT_EQ(size, 11u);
  ASSERT_TRUE(platform::AppendToProtectedFile(path, kProtectedGrants, "second\n", &size, &error_code));
  EXPECT_EQ(size, 18u);
  std::string text;
  ASSERT_TRUE(platform::ReadWholeFile(path, &text, &error_code)) << error_code;
  EXPECT_EQ(text, "first line\nsecond\n");
  EXPECT_FALSE(platform::ReadWholeFile(path + L".missing", &text, &error_code));
  EXPECT_EQ(error_code, platform::kErrorFileNotFound);
}

// What the program-folder check reads. Wine keeps no access list of its own
// on files: it answers the system account and its one user in full and
// Everyone read and execute, so no one else may write.
TEST(Files, PathAccess_IsReadForTheProgramAndItsFolder) {
  wchar_t self[MAX_PATH] = {};
  const std::wstring program(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
  for (const std::wstring& path : {program, program.substr(0, program.find_last_of(L'\\'))}) {
    platform::PathAccess access;
    uint32_t error_code = 0;
    ASSERT_TRUE(platform::ReadPathAccess(path, &access, &error_code)) << error_code;
    std::wstring own;
    ASSERT_TRUE(platform::ProcessUserSid(&own, &error_code));
    EXPECT_EQ(access.owner_sid, own) << "Wine's one user owns everything";
    EXPECT_TRUE(access.dacl_present);
    ASSERT_FALSE(access.entries.empty());
    for (const platform::AccessEntry& entry : access.entries) {
      const bool writes = (entry.access_mask & (FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC)) != 0;
      if (entry.allow && writes) {
        EXPECT_TRUE(entry.trustee_sid == L"S-1-5-18" || entry.trustee_sid == own);
      }
    }
  }
  platform::PathAccess access;
  uint32_t error_code = 0;
  EXPECT_FALSE(platform::ReadPathAccess(program + L".missing", &access, &error_code));
}

}  // namespace
