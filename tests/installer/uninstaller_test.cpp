// Removal of an earlier installation through its record.
#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "installer/uninstaller.h"
#include "installer_test_util.h"
#include "shared/product_constants.h"
#include "shared/registry_key.h"

namespace {

using installer_test::CountOf;
using testing_support::HostExists;
using testing_support::WriteHostFile;

std::vector<Json::Value> StubRuns(const std::string& machineDir, size_t atLeast) {
  std::vector<Json::Value> runs;
  for (int i = 0; i < 500; ++i) {
    runs.clear();
    std::istringstream lines(testing_support::ReadHostFile(machineDir + "/stub-runs.jsonl"));
    std::string line;
    while (std::getline(lines, line)) {
      Json::Value run;
      if (Json::Reader().parse(line, run)) runs.push_back(run);
    }
    if (runs.size() >= atLeast) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return runs;
}

class UninstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    installer_test::ResetProcessObjects();
    SetStepWaiter(KorvaThreadUIControl::Instance());
    RegistryKey key(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true);
    ASSERT_TRUE(key.Open(KeyPath() + L"\\Sub", true));
    WriteHostFile(Host("old/korva.exe"), "main");
    WriteHostFile(Host("desk/Korva.lnk"), "link");
    WriteHostFile(Host("desk/Other.lnk"), "link");
  }
  void TearDown() override { installer_test::ResetProcessObjects(); }

  static std::wstring KeyPath() { return std::wstring(kUninstallRegKey) + kProductGuid; }
  static bool KeyExists() {
    RegistryKey key(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true);
    return key.OpenForRead(KeyPath());
  }
  std::string Host(const std::string& relative) const { return machine.Host(relative); }
  void WriteRecord(const std::string& entries) {
    WriteHostFile(Host("data/KorvaInstall.dat"), "[5D2A7E41-3C86-4B19-9F07-A1E4C6B3D852]\n" + entries);
  }

  installer_test::LoggedMachine machine;
  Uninstaller uninstaller{L"C:\\old\\", L"C:\\data\\KorvaInstall.dat"};
};

TEST_F(UninstallerTest, ActsOnTheRecordThenRemovesEverything) {
  installer_test::PlaceStub(Host("old/bin/cleanup.exe"));
  installer_test::PlaceStub(Host("old/bin/plain.exe"));
  installer_test::PlaceStub(Host("old/bin/nosep.exe"));
  installer_test::PlaceStub(Host("old/bin/two.exe"));
  WriteRecord(
      "bin/cleanup.exe;/quiet=EXECUTE\n"
      "bin/plain.exe;=execute\n"
      "bin/nosep.exe=EXECUTE\n"
      "bin/two.exe;a;b=EXECUTE\n"
      "bin/missing.exe;/x=EXECUTE\n"
      "C:\\desk\\Korva.lnk=lnk\n"
      "C:\\desk\\Other.lnk=OTHER\n"
      "C:\\desk\\Gone.lnk=LNK\n");

  EXPECT_EQ(kUninstallOk, uninstaller.Uninstall());

  std::vector<Json::Value> runs = StubRuns(machine.machine.dir(), 2);
  ASSERT_EQ(2u, runs.size());
  std::map<std::string, Json::Value> byName;
  for (const Json::Value& run : runs) byName[run["name"].asString()] = run;
  ASSERT_TRUE(byName.count("cleanup.exe"));
  ASSERT_EQ(1u, byName["cleanup.exe"]["args"].size());
  EXPECT_EQ("/quiet", byName["cleanup.exe"]["args"][0].asString());
  EXPECT_EQ("C:\\old\\bin", byName["cleanup.exe"]["windows_cwd"].asString().substr(0, 10));
  ASSERT_TRUE(byName.count("plain.exe"));
  EXPECT_EQ(0u, byName["plain.exe"]["args"].size());

  std::string log = machine.Log();
  EXPECT_EQ(2, CountOf(log, "wrong param in run external execute .\r\n"));
  EXPECT_EQ(1, CountOf(log, "start to run external execute.\r\n"));
  EXPECT_EQ(1, CountOf(log, "run external execute complete.\r\n"));
  EXPECT_FALSE(HostExists(Host("desk/Korva.lnk")));
  EXPECT_TRUE(HostExists(Host("desk/Other.lnk")));
  EXPECT_FALSE(KeyExists());
  // The programs it started are not waited for: one still running when the
  // tree goes keeps its file, as on Windows. Nothing else stays.
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(Host("old"), ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    const std::string left = std::filesystem::relative(it->path(), Host("old")).string();
    EXPECT_TRUE(left == "bin" || left == "bin/cleanup.exe" || left == "bin/plain.exe") << left;
  }
  EXPECT_FALSE(HostExists(Host("data/KorvaInstall.dat")));
}

TEST_F(UninstallerTest, RecordWithoutTagsStillRemovesKeyDirectoryAndRecord) {
  WriteRecord("something=else\n");
  EXPECT_EQ(kUninstallOk, uninstaller.Uninstall());
  EXPECT_FALSE(KeyExists());
  EXPECT_FALSE(HostExists(Host("old")));
  EXPECT_FALSE(HostExists(Host("data/KorvaInstall.dat")));
  EXPECT_TRUE(HostExists(Host("desk/Korva.lnk")));
}

TEST_F(UninstallerTest, UnreadableRecordRemovesNothing) {
  EXPECT_EQ(kUninstallLoadRecordFailed, uninstaller.Uninstall());
  WriteHostFile(Host("data/KorvaInstall.dat"), "[section]\nkey=1\nkey=2\n");
  EXPECT_EQ(kUninstallLoadRecordFailed, uninstaller.Uninstall());
  EXPECT_TRUE(KeyExists());
  EXPECT_TRUE(HostExists(Host("old/korva.exe")));
  EXPECT_TRUE(HostExists(Host("desk/Korva.lnk")));
  EXPECT_EQ(0, CountOf(machine.Log(), "start to run external execute."));
}

// A quit that ends the wait for the deletion must not let the install run go
// on while the old directory is still being deleted: the removal returns
// only once its worker is done.
TEST_F(UninstallerTest, QuitDuringTheDeletionStillLetsItFinishFirst) {
  WriteRecord("something=else\n");
  installer_test::WriteManyFiles(Host("old/data"), 3000);
  PostQuitMessage(0);

  EXPECT_EQ(kUninstallOk, uninstaller.Uninstall());
  EXPECT_FALSE(HostExists(Host("old")));
  EXPECT_FALSE(KeyExists());
  EXPECT_FALSE(HostExists(Host("data/KorvaInstall.dat")));
  EXPECT_EQ(1, CountOf(machine.Log(), "out of thread\r\n"));
  // The quit was consumed by the wait, as any quit during a wait is.
  MSG msg;
  EXPECT_FALSE(PeekMessageW(&msg, NULL, WM_QUIT, WM_QUIT, PM_NOREMOVE));
}

}  // namespace
