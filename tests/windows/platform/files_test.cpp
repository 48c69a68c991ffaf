#include "platform/files.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "access_lists.h"
#include "platform/process.h"
#include "dacl_text.h"
#include "temp_directory.h"

namespace {

using platform::FileHandle;

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(towlower(c));
  return text;
}

const std::vector<platform::AccessGrant> kGrants = {
    {L"S-1-5-18", platform::kGenericAll, platform::kSubContainersAndObjectsInherit},
    {L"S-1-5-32-544", platform::kGenericAll, platform::kSubContainersAndObjectsInherit},
};

bool WriteNew(const FileHandle& folder, const std::wstring& name, const std::string& bytes, uint32_t* error_code) {
  FileHandle file;
  return platform::OpenFileAt(folder, name, platform::FileOpen::kCreateNew, kGrants, &file, error_code) &&
         platform::WriteFileBytes(file, bytes, error_code) && platform::CloseFile(&file, error_code);
}

// Folders and files reached through handles alone, as the service reaches its
// own: relative opens, facts read on the handle, rename and delete by handle.
TEST(Files, HandleRelativeFiles_BehaveAsTheServiceExpects) {
  ScopedTempDirectory temp(L"quorvane files");
  const std::wstring nested = temp.path() + L"\\a b\\c";
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::CreateDirectories(nested, &error_code)) << error_code;
  EXPECT_TRUE(platform::CreateDirectories(nested, &error_code)) << "an existing directory is success";
  FileHandle parent, folder, again;
  ASSERT_TRUE(platform::OpenDirectoryAt(FileHandle(), nested, false, &parent, &error_code)) << error_code;
  ASSERT_TRUE(platform::CreateDirectoryAt(parent, L"made", kGrants, L"S-1-5-32-544", &folder, &error_code))
      << error_code;
  EXPECT_FALSE(platform::CreateDirectoryAt(parent, L"made", kGrants, L"S-1-5-32-544", &again, &error_code));
  EXPECT_EQ(error_code, platform::kErrorAlreadyExists);
  EXPECT_TRUE(platform::SetProtectedDaclOn(folder, kGrants, &error_code)) << error_code;
  platform::PathAccess access;
  EXPECT_TRUE(platform::ReadHandleAccess(folder, &access, &error_code)) << error_code;  // Wine keeps no list
  platform::HandleFacts facts;
  ASSERT_TRUE(platform::ReadHandleFacts(folder, &facts, &error_code)) << error_code;
  EXPECT_NE(facts.attributes & platform::kFileAttributeDirectory, 0u);
  EXPECT_EQ(facts.attributes & platform::kFileAttributeReparsePoint, 0u);
  EXPECT_EQ(facts.owner_sid.rfind(L"S-1-5-", 0), 0u) << facts.owner_sid;
  EXPECT_EQ(Lower(facts.final_path), Lower(nested + L"\\made"));
  EXPECT_FALSE(MoveFileW((nested + L"\\made").c_str(), (nested + L"\\moved").c_str()))
      << "a held folder cannot be renamed";

  // A new file: unshared while written, bytes untranslated, made only once.
  const std::string bytes("line one\n\0zero\r\n", 16);
  FileHandle file;
  ASSERT_TRUE(platform::OpenFileAt(folder, L"x.conf", platform::FileOpen::kCreateNew, kGrants, &file, &error_code))
      << error_code;
  EXPECT_EQ(CreateFileW((nested + L"\\made\\x.conf").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  ASSERT_TRUE(platform::WriteFileBytes(file, bytes, &error_code));
  EXPECT_TRUE(platform::FlushFile(file, &error_code)) << error_code;
  ASSERT_TRUE(platform::ReadHandleFacts(file, &facts, &error_code)) << error_code;
  EXPECT_EQ(facts.links, 1u);
  EXPECT_EQ(facts.attributes & (platform::kFileAttributeDirectory | platform::kFileAttributeReparsePoint), 0u);
  EXPECT_TRUE(platform::CloseFile(&file, &error_code));
  EXPECT_FALSE(platform::OpenFileAt(folder, L"x.conf", platform::FileOpen::kCreateNew, kGrants, &file, &error_code));
  EXPECT_EQ(error_code, platform::kErrorAlreadyExists);

  // Renamed through its handle, over an existing file only when asked.
  ASSERT_TRUE(WriteNew(folder, L"y.conf", "old", &error_code)) << error_code;
  ASSERT_TRUE(platform::OpenFileAt(folder, L"x.conf", platform::FileOpen::kRemove, kGrants, &file, &error_code));
  EXPECT_FALSE(platform::RenameOpenFile(file, folder, L"y.conf", false, &error_code));
  ASSERT_TRUE(platform::RenameOpenFile(file, folder, L"y.conf", true, &error_code)) << error_code;
  file.Reset();
  EXPECT_FALSE(PathExists(nested + L"\\made\\x.conf"));
  ASSERT_TRUE(platform::OpenFileAt(folder, L"y.conf", platform::FileOpen::kRead, kGrants, &file, &error_code));
  std::string read;
  ASSERT_TRUE(platform::ReadFileBytes(file, &read, &error_code)) << error_code;
  EXPECT_EQ(read, bytes);
  file.Reset();

  // Appends add whole lines; an overwrite writes in place, then a delete by
  // handle removes the name.
  for (const char* line : {"first\n", "second\n"}) {
    file.Reset();
    ASSERT_TRUE(platform::OpenFileAt(folder, L"service.log", platform::FileOpen::kAppend, kGrants, &file, &error_code));
    ASSERT_TRUE(platform::WriteFileBytes(file, line, &error_code));
  }
  uint64_t size = 0;
  ASSERT_TRUE(platform::ReadFileSize(file, &size, &error_code));
  EXPECT_EQ(size, 13u);
  file.Reset();
  EXPECT_EQ(ReadFileBytes(nested + L"\\made\\service.log"), "first\nsecond\n");
  ASSERT_TRUE(platform::OpenFileAt(folder, L"y.conf", platform::FileOpen::kOverwrite, kGrants, &file, &error_code));
  ASSERT_TRUE(platform::WriteFileBytes(file, "ZZ", &error_code));
  file.Reset();
  EXPECT_EQ(ReadFileBytes(nested + L"\\made\\y.conf"), "ZZ" + bytes.substr(2)) << "written over, not truncated";
  ASSERT_TRUE(platform::OpenFileAt(folder, L"y.conf", platform::FileOpen::kOverwrite, kGrants, &file, &error_code));
  ASSERT_TRUE(platform::DeleteOpenFile(file, &error_code)) << error_code;
  file.Reset();
  EXPECT_FALSE(PathExists(nested + L"\\made\\y.conf"));

  EXPECT_FALSE(platform::OpenFileAt(folder, L"y.conf", platform::FileOpen::kRead, kGrants, &file, &error_code));
  EXPECT_EQ(error_code, platform::kErrorFileNotFound);

  // Read-only: refused for writing; its attribute cleared through a handle;
  // replaced over and deleted; a file held to be scrubbed lives on, nameless,
  // after it is replaced.
  ASSERT_TRUE(WriteNew(folder, L"ro.conf", "key", &error_code)) << error_code;
  ASSERT_TRUE(SetFileAttributesW((nested + L"\\made\\ro.conf").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(WriteNew(folder, L"new.conf", "new", &error_code)) << error_code;
  ASSERT_TRUE(platform::OpenFileAt(folder, L"new.conf", platform::FileOpen::kRemove, kGrants, &file, &error_code));
  FileHandle earlier;
  FileHandle target;
  ASSERT_TRUE(platform::OpenFileAt(folder, L"ro.conf", platform::FileOpen::kRemove, kGrants, &target, &error_code));
  ASSERT_TRUE(platform::ClearReadOnly(target, &error_code)) << error_code;
  EXPECT_EQ(GetFileAttributesW((nested + L"\\made\\ro.conf").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  target.Reset();
  ASSERT_TRUE(platform::OpenFileAt(folder, L"ro.conf", platform::FileOpen::kScrub, kGrants, &earlier, &error_code))
      << error_code;
  // Windows' POSIX rename replaces it; Wine, like the plain class, refuses
  // while it is held (5), and the service then lets go of it first.
  if (platform::RenameOpenFile(file, folder, L"ro.conf", true, &error_code)) {
    ASSERT_TRUE(platform::WriteFileBytes(earlier, "000", &error_code)) << error_code;
  } else {
    EXPECT_EQ(error_code, 5u);
    earlier.Reset();
    ASSERT_TRUE(platform::RenameOpenFile(file, folder, L"ro.conf", true, &error_code)) << error_code;
  }
  file.Reset();
  earlier.Reset();
  EXPECT_EQ(ReadFileBytes(nested + L"\\made\\ro.conf"), "new") << "the scrub reached the replaced file only";
  ASSERT_TRUE(SetFileAttributesW((nested + L"\\made\\ro.conf").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(platform::OpenFileAt(folder, L"ro.conf", platform::FileOpen::kRemove, kGrants, &file, &error_code));
  ASSERT_TRUE(platform::DeleteOpenFile(file, &error_code)) << "read-only, deleted all the same: " << error_code;
  file.Reset();
  EXPECT_FALSE(PathExists(nested + L"\\made\\ro.conf"));
  EXPECT_FALSE(platform::OpenFileAt(folder, L"..\\escape", platform::FileOpen::kAppend, kGrants, &file, &error_code));
  EXPECT_EQ(error_code, platform::kErrorInvalidName);
  EXPECT_FALSE(platform::OpenDirectoryAt(folder, L"service.log", false, &again, &error_code));
  EXPECT_EQ(error_code, platform::kErrorDirectory);
  EXPECT_FALSE(platform::OpenDirectoryAt(parent, L"none", false, &again, &error_code));
  EXPECT_EQ(error_code, platform::kErrorFileNotFound);

  // A folder is deleted only when empty and not held.
  EXPECT_FALSE(platform::DeleteEmptyDirectoryAt(parent, L"made", &error_code)) << "held, and not empty";
  folder.Reset();
  EXPECT_FALSE(platform::DeleteEmptyDirectoryAt(parent, L"made", &error_code)) << "service.log is in it";
  EXPECT_EQ(error_code, 145u);
  ASSERT_TRUE(DeleteFileW((nested + L"\\made\\service.log").c_str()));
  ASSERT_TRUE(platform::DeleteEmptyDirectoryAt(parent, L"made", &error_code)) << error_code;
  EXPECT_FALSE(PathExists(nested + L"\\made"));
}

// Wine keeps no DACL on disk, so what is checked is the descriptor we build.
TEST(AccessLists, ProtectedDescriptor_HoldsExactlyTheGrantsInOrder) {
  platform::win32::BuiltDescriptor built;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::win32::MakeSecurityDescriptor(kGrants, true, &built, &error_code)) << error_code;
  EXPECT_EQ(DaclText(&built), L"D:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)");

  EXPECT_FALSE(platform::win32::MakeSecurityDescriptor({{L"not-a-sid", platform::kGenericAll, 0}}, true, &built,
                                                        &error_code));
  EXPECT_EQ(error_code, static_cast<uint32_t>(ERROR_INVALID_SID));

  // Wine keeps neither the owner nor the DACL of a folder (every file is owned
  // by its one user), so the descriptor asked for is checked as SDDL.
  ASSERT_TRUE(platform::win32::MakeSecurityDescriptor(kGrants, true, &built, &error_code, L"S-1-5-32-544"));
  EXPECT_EQ(DaclText(&built, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
            L"O:BAD:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)");
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
