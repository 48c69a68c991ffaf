// A junction or link planted where the service keeps its files must never
// make it read, write, truncate or delete anything outside its own folder.
#include <gtest/gtest.h>

#include <functional>

#include "common/service_log.h"
#include "common/startup_record.h"
#include "fake_windows_test.h"
#include "sample_profile.h"
#include "routes/route_journal.h"
#include "tunnel/active_conf_store.h"

namespace quorvane {
namespace {

using platform::fake::FileContent;
using platform::fake::SeedLink;

constexpr wchar_t kData[] = L"C:\\ProgramData\\Quorvane";
constexpr wchar_t kOutside[] = L"C:\\Windows\\System32\\config";
constexpr wchar_t kOutsideFile[] = L"C:\\Windows\\win.ini";

std::string WriteConf() {
  std::string error;
  return WriteActiveConf(SampleProfile(), &error) ? "" : error;
}

std::string DeleteConf() {
  std::string error;
  return DeleteActiveConf(&error) ? "" : error;
}

std::string Journal() {
  platform::ForwardRow row;
  row.destination = 0x0A000001;
  row.mask = 0xFFFFFFFF;
  std::string error;
  const RouteJournal journal = ReadRouteJournal();
  return JournalRoute(row, &error) ? journal.error : journal.error + " / " + error;
}

std::string Log() {
  SetServiceLogEnabled(true);
  LogLine("a line");
  SetServiceLogEnabled(false);
  const auto log = FileContent(std::wstring(kData) + L"\\logs\\service.log");
  return log.has_value() && log->find("a line") != std::string::npos ? "written" : "not written";
}

class PlantedLinksTest : public FakeWindowsTest {
 protected:
  void SetUp() override {
    FakeWindowsTest::SetUp();
    MarkUserConnectBegun();
  }
  void TearDown() override {
    ResetStartupRecord("");
    FakeWindowsTest::TearDown();
  }
};

TEST_F(PlantedLinksTest, NothingOutsideTheFolderIsTouched) {
  const std::wstring data = kData;
  const struct {
    const char* label;
    std::wstring link;
    std::wstring target;
    bool directory;
    std::function<std::string()> act;
    std::string said;  // in the error: what was refused
  } cases[] = {
      {"Quorvane a junction, write", data, kOutside, true, WriteConf,
       "folder C:\\ProgramData\\Quorvane is a junction or link"},
      {"tunnels a junction, write", data + L"\\tunnels", kOutside, true, WriteConf,
       "folder C:\\ProgramData\\Quorvane\\tunnels is a junction or link"},
      {"tunnels a junction, delete", data + L"\\tunnels", kOutside, true, DeleteConf,
       "folder C:\\ProgramData\\Quorvane\\tunnels is a junction or link"},
      {"active.conf a link, delete", data + L"\\tunnels\\active.conf", kOutsideFile, false, DeleteConf,
       "file C:\\ProgramData\\Quorvane\\tunnels\\active.conf is a junction or link"},
      {"active.conf.tmp a link, write", data + L"\\tunnels\\active.conf.tmp", kOutsideFile, false, WriteConf,
       "file C:\\ProgramData\\Quorvane\\tunnels\\active.conf.tmp is a junction or link"},
      {"journal a link", data + L"\\state\\bypass-routes.journal", kOutsideFile, false, Journal,
       "file C:\\ProgramData\\Quorvane\\state\\bypass-routes.journal is a junction or link"},
      {"state a junction", data + L"\\state", kOutside, true, Journal,
       "folder C:\\ProgramData\\Quorvane\\state is a junction or link"},
      {"logs a junction", data + L"\\logs", kOutside, true, Log, "not written"},
      {"service.log a link", data + L"\\logs\\service.log", kOutsideFile, false, Log, "not written"},
  };
  for (const auto& c : cases) {
    platform::fake::Reset();
    platform::fake::SeedFile(kOutsideFile, "[system]");
    platform::fake::SeedFile(std::wstring(kOutside) + L"\\active.conf", "SAM");
    platform::fake::SeedFile(std::wstring(kOutside) + L"\\bypass-routes.journal", "SAM");
    SeedLink(c.link, c.target, c.directory);
    const std::string said = c.act();
    EXPECT_NE(said.find(c.said), std::string::npos) << c.label << ": " << said;
    EXPECT_EQ(FileContent(kOutsideFile), "[system]") << c.label;
    for (const wchar_t* name : {L"\\active.conf", L"\\bypass-routes.journal"}) {
      EXPECT_EQ(FileContent(std::wstring(kOutside) + name), "SAM") << c.label;
    }
    for (const wchar_t* name : {L"\\active.conf.tmp", L"\\bypass-routes.journal.tmp", L"\\service.log"}) {
      EXPECT_FALSE(FileContent(std::wstring(kOutside) + name).has_value()) << c.label;
    }
    EXPECT_EQ(platform::fake::OpenFileCount(), 0) << c.label;
  }
}

}  // namespace
}  // namespace quorvane
