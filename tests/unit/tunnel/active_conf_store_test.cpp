#include "tunnel/active_conf_store.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "common/protected_folder.h"
#include "fake_windows_test.h"
#include "sample_profile.h"
#include "common/startup_record.h"

namespace quorvane {
namespace {

using platform::fake::AppliedDacl;
using platform::fake::FailNextCall;
using platform::fake::FileContent;

constexpr wchar_t kDirectory[] = L"C:\\ProgramData\\Quorvane\\tunnels";
constexpr wchar_t kActive[] = L"C:\\ProgramData\\Quorvane\\tunnels\\active.conf";
constexpr wchar_t kTemporary[] = L"C:\\ProgramData\\Quorvane\\tunnels\\active.conf.tmp";

class ActiveConfStoreTest : public FakeWindowsTest {
 protected:
  void SetUp() override {
    FakeWindowsTest::SetUp();
    MarkUserConnectBegun();  // the store is used after a connect's checks
  }
  void TearDown() override {
    ResetStartupRecord("");
    FakeWindowsTest::TearDown();
  }
};

TEST_F(ActiveConfStoreTest, Location_FollowsProgramDataWithTheDefaultWhenUnusable) {
  EXPECT_EQ(ActiveConfPath(), kActive);  // unset
  const struct {
    std::wstring program_data;
    std::wstring directory;
  } cases[] = {
      {L"D:\\Data", L"D:\\Data\\Quorvane\\tunnels"},
      {L"", L"C:\\ProgramData\\Quorvane\\tunnels"},
      {L"D:\\" + std::wstring(256, L'x'), L"D:\\" + std::wstring(256, L'x') + L"\\Quorvane\\tunnels"},  // 259
      {L"D:\\" + std::wstring(257, L'x'), L"C:\\ProgramData\\Quorvane\\tunnels"},                       // 260
  };
  for (const auto& c : cases) {
    platform::fake::SetProcessEnvironment(L"ProgramData", c.program_data);
    EXPECT_EQ(TunnelDirectory(), c.directory) << c.program_data.size();
  }
  EXPECT_EQ(ActiveConfPath(), std::wstring(kDirectory) + L"\\active.conf");
}

TEST_F(ActiveConfStoreTest, Write_ReplacesTheFileAtomicallyAndProtectsIt) {
  std::string error;
  ASSERT_TRUE(WriteActiveConf(SampleProfile("first-key-that-is-long"), &error)) << error;
  ASSERT_TRUE(WriteActiveConf(SampleProfile("second"), &error)) << error;
  EXPECT_EQ(FileContent(kActive), RenderWireGuardConfig(SampleProfile("second")));
  EXPECT_FALSE(FileContent(kTemporary).has_value());
  EXPECT_EQ(error, "");
  EXPECT_EQ(platform::fake::OpenFileCount(), 0);

  const std::vector<platform::AccessGrant> expected = {
      {L"S-1-5-18", platform::kGenericAll, platform::kSubContainersAndObjectsInherit},
      {L"S-1-5-32-544", platform::kGenericAll, platform::kSubContainersAndObjectsInherit},
  };
  for (const wchar_t* path : {kDirectory, kActive}) {
    const auto dacl = AppliedDacl(path);
    ASSERT_TRUE(dacl.has_value());
    ASSERT_EQ(dacl->size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
      EXPECT_EQ((*dacl)[i].trustee_sid, expected[i].trustee_sid);
      EXPECT_EQ((*dacl)[i].access_mask, expected[i].access_mask);
      EXPECT_EQ((*dacl)[i].inheritance, expected[i].inheritance);
    }
  }
  const std::vector<std::string> journal = platform::fake::Journal();
  EXPECT_NE(std::find(journal.begin(), journal.end(), "RenameOpenFile active.conf replace"), journal.end());
}

TEST_F(ActiveConfStoreTest, WriteFailures_GiveTheirTextAndKeepTheOldFile) {
  const struct {
    const char* operation;
    const char* error;
  } cases[] = {
      {"CreateDirectories", "create_directories failed"},
      {"OpenFileAt", "open tmp failed: opening C:\\ProgramData\\Quorvane\\tunnels\\active.conf.tmp failed (error 112)"},
      {"WriteFileBytes", "write tmp failed: writing C:\\ProgramData\\Quorvane\\tunnels\\active.conf.tmp failed"},
      {"FlushFile", "write tmp failed: writing"},
      {"RenameOpenFile", "rename active.conf failed: renaming"},
  };
  for (const auto& c : cases) {
    platform::fake::SeedFile(kActive, "old");
    // The temporary file's own open comes after the one that looks for a leftover.
    FailNextCall(c.operation, 112, c.operation == std::string("OpenFileAt") ? 1 : 0);
    std::string error;
    EXPECT_FALSE(WriteActiveConf(SampleProfile("new"), &error)) << c.operation;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    EXPECT_EQ(FileContent(kActive), "old") << c.operation;
    EXPECT_FALSE(FileContent(kTemporary).has_value()) << c.operation;
    EXPECT_EQ(platform::fake::OpenFileCount(), 0) << c.operation;
  }
  EXPECT_TRUE(WriteActiveConf(SampleProfile("next"), nullptr));
  EXPECT_EQ(FileContent(kActive), RenderWireGuardConfig(SampleProfile("next")));
  EXPECT_FALSE(FileContent(kTemporary).has_value());
}

// A folder's access list is written only where it is not the protected one
// already: each write runs Windows' propagation down the whole tree.
TEST_F(ActiveConfStoreTest, FolderListThatHolds_IsNotWrittenAgain) {
  const auto lists_written = [] {
    int written = 0;
    for (const std::string& line : platform::fake::Journal()) written += line == "SetProtectedDaclOn";
    return written;
  };
  ServiceFolder folder;
  std::string message;
  ASSERT_EQ(OpenServiceFolder(L"tunnels", true, &folder, &message), OpenResult::kOpened) << message;
  const int first = lists_written();  // made with the list from their first moment
  ASSERT_EQ(OpenServiceFolder(L"tunnels", true, &folder, &message), OpenResult::kOpened) << message;
  EXPECT_EQ(lists_written(), first) << "unchanged: not written";
  platform::PathAccess loosened = platform::fake::ProgramFilesAccess();  // Users may read, nothing protected
  loosened.owner_sid = L"S-1-5-32-544";
  platform::fake::SeedPathAccess(kDirectory, loosened);
  ASSERT_EQ(OpenServiceFolder(L"tunnels", true, &folder, &message), OpenResult::kOpened) << message;
  EXPECT_EQ(lists_written(), first + 1) << "loosened: protected again";
}

// The calls after |step| in the journal, each by its name.
std::vector<std::string> CallsAfter(const std::string& step) {
  std::vector<std::string> after;
  bool seen = false;
  for (const std::string& line : platform::fake::Journal()) {
    if (seen) after.push_back(line.substr(0, line.find(' ')));
    seen = seen || line.rfind(step, 0) == 0;
  }
  return after;
}

bool Has(const std::vector<std::string>& calls, const std::string& call) {
  return std::find(calls.begin(), calls.end(), call) != calls.end();
}

// A read-only file (restored from a backup, "attrib +r") is replaced and
// removed like any other, and the key it held is scrubbed once it is replaced.
TEST_F(ActiveConfStoreTest, ReadOnlyFile_IsReplacedScrubbedAndRemoved) {
  ASSERT_TRUE(WriteActiveConf(SampleProfile("first"), nullptr));
  platform::fake::SetFileReadOnly(kActive, true);
  std::string error;
  ASSERT_TRUE(WriteActiveConf(SampleProfile("second"), &error)) << error;
  EXPECT_EQ(FileContent(kActive), RenderWireGuardConfig(SampleProfile("second")));
  EXPECT_TRUE(Has(CallsAfter("RenameOpenFile"), "WriteFileBytes")) << "the earlier file is written over";
  platform::fake::SetFileReadOnly(kActive, true);
  EXPECT_TRUE(DeleteActiveConf(&error)) << error;
  EXPECT_FALSE(FileContent(kActive).has_value());
  EXPECT_EQ(platform::fake::OpenFileCount(), 0);
}

// Another program (an anti-virus, a backup) that holds the file for a moment
// is waited for; one that keeps it is named, and the earlier file stays whole.
// A temporary file that could not be finished is scrubbed before it goes.
TEST_F(ActiveConfStoreTest, HeldFileOrFailedWrite_WaitsNamesAndScrubs) {
  const struct {
    int held_tries;
    bool written;
  } cases[] = {{3, true}, {-1, false}};
  for (const auto& c : cases) {
    platform::fake::Reset();
    platform::fake::SetInstantSleeps(true);
    MarkUserConnectBegun();
    ASSERT_TRUE(WriteActiveConf(SampleProfile("old"), nullptr));
    platform::fake::SetFileHeldElsewhere(kActive, c.held_tries);
    std::string error;
    EXPECT_EQ(WriteActiveConf(SampleProfile("new"), &error), c.written) << error;
    EXPECT_EQ(FileContent(kActive), RenderWireGuardConfig(SampleProfile(c.written ? "new" : "old")));
    EXPECT_EQ(error.find(": another program holds C:\\ProgramData") != std::string::npos, !c.written) << error;
    EXPECT_FALSE(FileContent(kTemporary).has_value());
  }
  platform::fake::Reset();
  MarkUserConnectBegun();
  FailNextCall("FlushFile", 112);
  EXPECT_FALSE(WriteActiveConf(SampleProfile("key"), nullptr));
  EXPECT_TRUE(Has(CallsAfter("FlushFile"), "WriteFileBytes")) << "the temporary file is written over before it goes";
  EXPECT_FALSE(FileContent(kTemporary).has_value());
}

// A crash after the rename must find the new file on disk, not an empty one.
TEST_F(ActiveConfStoreTest, Write_FlushesTheTemporaryFileBeforeTheRename) {
  ASSERT_TRUE(WriteActiveConf(SampleProfile("key"), nullptr));
  EXPECT_TRUE(platform::fake::FileFlushed(kActive));
  std::vector<std::string> order;
  for (const std::string& line : platform::fake::Journal()) {
    for (const char* step : {"OpenFileAt active.conf.tmp 3", "WriteFileBytes", "FlushFile", "RenameOpenFile"}) {
      if (line.rfind(step, 0) == 0) order.push_back(step);
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"OpenFileAt active.conf.tmp 3", "WriteFileBytes", "FlushFile",
                                             "RenameOpenFile"}));
}

// Anyone may create folders in ProgramData, and an owner may always rewrite
// the access list: the service writes only into folders nobody else controls.
TEST_F(ActiveConfStoreTest, Folders_AreMadeProtectedOrTrustedOnlyWhenNobodyElseControlsThem) {
  constexpr wchar_t kQuorvane[] = L"C:\\ProgramData\\Quorvane";
  constexpr wchar_t kUser[] = L"S-1-5-21-1-2-3-1001";
  enum class Prepared { kNothing, kBySystem, kByThisAccount, kQuorvaneByUser, kTunnelsByUser, kJunction, kFile };
  const struct {
    const char* label;
    Prepared prepared;
    const char* error;  // empty: written
  } cases[] = {
      {"fresh", Prepared::kNothing, ""},
      {"made by the system", Prepared::kBySystem, ""},
      {"made by this account", Prepared::kByThisAccount, ""},
      {"Quorvane made by a user", Prepared::kQuorvaneByUser,
       "folder C:\\ProgramData\\Quorvane is owned by S-1-5-21-1-2-3-1001, not by the system account or "
       "Administrators; left untouched"},
      {"tunnels made by a user", Prepared::kTunnelsByUser,
       "folder C:\\ProgramData\\Quorvane\\tunnels is owned by S-1-5-21-1-2-3-1001, not by the system account or "
       "Administrators; left untouched"},
      {"tunnels a junction", Prepared::kJunction,
       "folder C:\\ProgramData\\Quorvane\\tunnels is a junction or link; left untouched"},
      {"tunnels a file", Prepared::kFile,
       "folder C:\\ProgramData\\Quorvane\\tunnels is not a directory; left untouched"},
  };
  for (const auto& c : cases) {
    platform::fake::Reset();
    platform::fake::SetProcessAccount(L"S-1-5-21-1-2-3-500", true);  // console mode, run by an administrator
    switch (c.prepared) {
      case Prepared::kNothing: break;
      case Prepared::kBySystem: platform::fake::SeedDirectory(kDirectory); break;
      case Prepared::kByThisAccount: platform::fake::SeedForeignDirectory(kDirectory, L"S-1-5-21-1-2-3-500", false); break;
      case Prepared::kQuorvaneByUser: platform::fake::SeedForeignDirectory(kQuorvane, kUser, false); break;
      case Prepared::kTunnelsByUser: platform::fake::SeedForeignDirectory(kDirectory, kUser, false); break;
      case Prepared::kJunction: platform::fake::SeedForeignDirectory(kDirectory, L"S-1-5-18", true); break;
      case Prepared::kFile: platform::fake::SeedFile(kDirectory, ""); break;
    }
    std::string error;
    const bool written = WriteActiveConf(SampleProfile("secret-key"), &error);
    EXPECT_EQ(error, c.error) << c.label;
    EXPECT_EQ(written, std::string(c.error).empty()) << c.label;
    EXPECT_EQ(FileContent(kActive).has_value(), written) << c.label;
    EXPECT_FALSE(FileContent(kTemporary).has_value()) << c.label << ": nothing written on the way";
    if (c.prepared == Prepared::kNothing) {
      EXPECT_EQ(platform::fake::PathOwner(kQuorvane), L"S-1-5-32-544");
      EXPECT_EQ(platform::fake::PathOwner(kDirectory), L"S-1-5-32-544");
    }
    if (written) {
      EXPECT_TRUE(AppliedDacl(kDirectory).has_value()) << c.label << ": protected again";
    }
  }
}

TEST_F(ActiveConfStoreTest, AccessListFailures_AreIgnored) {
  FailNextCall("SetProtectedDaclOn", 5);
  std::string error;
  EXPECT_TRUE(WriteActiveConf(SampleProfile("key"), &error));
  EXPECT_EQ(error, "");
}

TEST_F(ActiveConfStoreTest, Delete_ScrubsWithZerosThenRemoves) {
  std::string error;
  EXPECT_TRUE(DeleteActiveConf(&error));  // nothing there
  EXPECT_EQ(error, "");

  platform::fake::SeedFile(kActive, std::string(5000, 'k'));
  EXPECT_TRUE(DeleteActiveConf(&error));
  EXPECT_FALSE(FileContent(kActive).has_value());

  // A delete that fails shows what the scrub left: zeros over every byte.
  platform::fake::SeedFile(kActive, std::string(5000, 'k'));
  FailNextCall("DeleteOpenFile", 32);
  EXPECT_FALSE(DeleteActiveConf(&error));
  EXPECT_EQ(error, "delete active.conf failed: deleting C:\\ProgramData\\Quorvane\\tunnels\\active.conf failed (error 32)");
  EXPECT_EQ(FileContent(kActive), std::string(5000, '\0'));
  EXPECT_EQ(platform::fake::OpenFileCount(), 0);
}

TEST_F(ActiveConfStoreTest, Delete_MissingIsDoneUnopenableStillGoesUncheckableStays) {
  const struct {
    const char* operation;
    uint32_t error_code;
    bool deleted;
    bool ok;
  } cases[] = {
      {"OpenDirectoryAt", 3, false, true},  // no folder: nothing to delete
      {"OpenFileAt", 2, false, true},
      {"OpenFileAt", 32, true, true},  // not to be written over, still deleted
      {"ReadHandleFacts", 5, false, false},
  };
  for (const auto& c : cases) {
    platform::fake::SeedFile(kActive, "secret");
    FailNextCall(c.operation, c.error_code);
    std::string error;
    EXPECT_EQ(DeleteActiveConf(&error), c.ok) << c.operation << " " << c.error_code;
    EXPECT_EQ(error.empty(), c.ok) << error;
    EXPECT_EQ(FileContent(kActive).has_value(), !c.deleted) << c.operation << " " << c.error_code;
  }
}

}  // namespace
}  // namespace quorvane
