// The self-update batch file, the version and channel write-back, and the
// JSON write side they use.
#include <algorithm>
#include <sstream>

#include <gtest/gtest.h>
#include <shlobj.h>

#include "shared/json_config.h"
#include "shared/log_writer.h"
#include "shared/system_helpers.h"
#include "shared/text_convert.h"
#include "support/temp_machine.h"
#include "updater/self_update.h"
#include "updater/update_context.h"
#include "updater_test_util.h"

namespace {

using testing_support::HostExists;
using testing_support::ReadHostFile;
using testing_support::TempMachine;
using testing_support::WriteHostFile;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(text.size(), start) << "text after the last line end";
  return lines;
}

Json::Value ParseHostJson(const std::string& path) {
  Json::Value value;
  Json::Reader reader;
  EXPECT_TRUE(reader.parse(ReadHostFile(path), value)) << path;
  return value;
}

// The lines that wait, at most 30 s, until the old updater (exe, as the batch
// file spells it) can be written.
std::vector<std::string> UpdaterExitWait(const std::string& exe) {
  const std::string quoted = "\"" + exe + "\"";
  return {"set /a korva_wait=0",
          ":korva_wait",
          "if not exist " + quoted + " goto korva_copy",
          "copy /y /b " + quoted + "+nul " + quoted + " >nul 2>nul",
          "if not errorlevel 1 goto korva_copy",
          "set /a korva_wait+=1",
          "if %korva_wait% geq 30 goto korva_copy",
          "ping -n 2 127.0>nul",
          "goto korva_wait",
          ":korva_copy"};
}

// A machine with the log at C:\test.log.
class SelfUpdateFiles : public ::testing::Test {
 protected:
  void SetUp() override { SetLogPath("C:\\test.log"); }
  void TearDown() override { SetLogPath(""); }
  std::string Host(const std::string& relative) const { return machine_.c() + "/" + relative; }
  std::string Log() const { return ReadHostFile(Host("test.log")); }

  TempMachine machine_;
};

TEST_F(SelfUpdateFiles, BatchFileLines) {
  WriteHostFile(Host("work/update_update/update.exe"), "exe");
  WriteHostFile(Host("work/update_update/skin/skin.zip"), "skin");
  WriteHostFile(Host("work/update_update/skin/img/a.png"), "png");
  WriteHostFile(Host("work/update.bat"), "stale content of an earlier run\r\n");
  testing_support::MakeHostDirs(Host("Prog/update/skin"));

  ASSERT_TRUE(WriteUpdateBatch(L"C:\\work\\update.bat", L"C:\\work\\update_update", L"C:\\Prog\\update\\",
                               L"C:\\work\\"));
  std::vector<std::string> lines = Lines(ReadHostFile(Host("work/update.bat")));
  ASSERT_EQ(20u, lines.size());
  EXPECT_EQ("ping -n 1 127.0>nul", lines[0]);
  EXPECT_EQ(UpdaterExitWait("C:\\Prog\\update\\update.exe"),
            std::vector<std::string>(lines.begin() + 1, lines.begin() + 11));
  lines.erase(lines.begin() + 1, lines.begin() + 11);
  std::vector<std::string> copies(lines.begin() + 1, lines.begin() + 4);
  std::sort(copies.begin(), copies.end());
  EXPECT_EQ("copy /y \"C:\\work\\update_update\\skin\\img\\a.png\" \"C:\\Prog\\update\\skin\\img\\a.png\"", copies[0]);
  EXPECT_EQ("copy /y \"C:\\work\\update_update\\skin\\skin.zip\" \"C:\\Prog\\update\\skin\\skin.zip\"", copies[1]);
  EXPECT_EQ("copy /y \"C:\\work\\update_update\\update.exe\" \"C:\\Prog\\update\\update.exe\"", copies[2]);
  EXPECT_EQ("rd /s /q \"C:\\work\\update_update\"", lines[4]);
  EXPECT_EQ("C:", lines[5]);
  EXPECT_EQ("cd \"C:\\Prog\\update\\\"", lines[6]);
  EXPECT_EQ("\"C:\\Prog\\update\\update.exe\"", lines[7]);
  EXPECT_EQ("ping -n 6 127.0>nul", lines[8]);
  EXPECT_EQ("del %0", lines[9]);
  // copy makes no folders: the new one exists before the batch file runs.
  EXPECT_TRUE(std::filesystem::is_directory(Host("Prog/update/skin/img")));

  // An empty tree, and paths whose "%" the interpreter would expand.
  testing_support::MakeHostDirs(Host("work/empty"));
  ASSERT_TRUE(WriteUpdateBatch(L"C:\\work\\update.bat", L"C:\\work\\empty", L"D:\\50%off\\update\\",
                               L"C:\\%TEMP%\\"));
  lines = Lines(ReadHostFile(Host("work/update.bat")));
  ASSERT_EQ(17u, lines.size());
  EXPECT_EQ(UpdaterExitWait("D:\\50%%off\\update\\update.exe"),
            std::vector<std::string>(lines.begin() + 1, lines.begin() + 11));
  lines.erase(lines.begin() + 1, lines.begin() + 11);
  const std::vector<std::string> expected = {"ping -n 1 127.0>nul",
                                             "rd /s /q \"C:\\%%TEMP%%\\update_update\"",
                                             "D:",
                                             "cd \"D:\\50%%off\\update\\\"",
                                             "\"D:\\50%%off\\update\\update.exe\"",
                                             "ping -n 6 127.0>nul",
                                             "del %0"};
  EXPECT_EQ(expected, lines);

  EXPECT_FALSE(WriteUpdateBatch(L"C:\\missing\\update.bat", L"C:\\work\\empty", L"C:\\Prog\\update\\",
                                L"C:\\work\\"));
}

TEST_F(SelfUpdateFiles, JsonWriteSide) {
  WriteHostFile(Host("a.json"), "{\"name\": \"old\", \"entry\": {\"packagename\": \"p\", \"version\": \"3\"}}");
  JsonConfig config;
  ASSERT_TRUE(config.Load(L"C:/a.json"));
  EXPECT_TRUE(config.SetString(L"", L"ignored"));
  EXPECT_TRUE(config.SetVersion(L"", L"9"));
  EXPECT_TRUE(config.SetString(L"name", L"新"));
  EXPECT_TRUE(config.SetVersion(L"entry", L"5"));
  EXPECT_TRUE(config.SetVersion(L"fresh", L"6"));
  ASSERT_TRUE(config.Save(L""));  // back to the file it came from

  const std::string text = ReadHostFile(Host("a.json"));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), updater_test::CountOf(text, "\r\n"));
  const Json::Value saved = ParseHostJson(Host("a.json"));
  EXPECT_EQ(3u, saved.size());  // nothing for the empty names
  EXPECT_EQ("新", saved["name"].asString());
  EXPECT_EQ("p", saved["entry"]["packagename"].asString());
  EXPECT_EQ(Json::Value("5"), saved["entry"]["version"]);
  EXPECT_EQ(1u, saved["fresh"].size());
  EXPECT_EQ("6", saved["fresh"]["version"].asString());

  // A document that was never loaded takes the path it is saved to.
  JsonConfig fresh;
  fresh.SetString(L"channel", L"x");
  EXPECT_TRUE(fresh.Save(L"C:\\b.json"));
  EXPECT_EQ("x", ParseHostJson(Host("b.json"))["channel"].asString());
  JsonConfig nowhere;
  EXPECT_FALSE(nowhere.Save(L"C:\\missing\\c.json"));
}

TEST_F(SelfUpdateFiles, VersionWriteBack) {
  const std::string product =
      "{\"updateurl\": \"u\", \"updateupdate\": {\"packagename\": \"korva_update\", \"version\": \"3\"}}";
  WriteHostFile(Host("update.json"), product);
  EXPECT_TRUE(WriteBackVersion(L"C:\\update.json", L"updateupdate", 5));
  Json::Value saved = ParseHostJson(Host("update.json"));
  EXPECT_EQ("u", saved["updateurl"].asString());
  EXPECT_EQ("korva_update", saved["updateupdate"]["packagename"].asString());
  EXPECT_EQ(Json::Value("5"), saved["updateupdate"]["version"]);

  // A missing file is created with the one entry.
  EXPECT_TRUE(WriteBackVersion(L"C:\\created.json", L"updatekorva", 10203));
  saved = ParseHostJson(Host("created.json"));
  EXPECT_EQ(1u, saved.size());
  EXPECT_EQ("10203", saved["updatekorva"]["version"].asString());

  // A file that cannot be loaded keeps everything it has.
  const std::string broken = "{\"updatekorva\": {\"packagename\": \"korva\", \"version\": \"1\"},";
  WriteHostFile(Host("broken.json"), broken);
  EXPECT_FALSE(WriteBackVersion(L"C:\\broken.json", L"updatekorva", 2));
  EXPECT_FALSE(WritePackageVersion(L"C:\\broken.json", L"updatekorva", 2));
  EXPECT_EQ(broken, ReadHostFile(Host("broken.json")));
  EXPECT_NE(std::string::npos, Log().find("C:\\broken.json"));

  // An entry that is no object: the write-back fails without touching the file.
  const std::string odd = "{\"updatekorva\": 5, \"other\": 1}";
  WriteHostFile(Host("odd.json"), odd);
  EXPECT_ANY_THROW(WriteBackVersion(L"C:\\odd.json", L"updatekorva", 2));
  EXPECT_FALSE(WritePackageVersion(L"C:\\odd.json", L"updatekorva", 2));
  EXPECT_EQ(odd, ReadHostFile(Host("odd.json")));
}

TEST_F(SelfUpdateFiles, ChannelMove) {
  const std::wstring updaterConfig = L"C:\\update\\update.json";
  const std::wstring channelFile = L"C:\\update\\channel.json";
  const std::string updaterHost = Host("update/update.json");
  const std::string channelHost = Host("update/channel.json");
  auto reset = [&](const char* updater, const char* channel) {
    std::filesystem::remove(updaterHost);
    std::filesystem::remove(channelHost);
    if (updater) WriteHostFile(updaterHost, updater);
    if (channel) WriteHostFile(channelHost, channel);
  };

  // The channel moves; the other members of channel.json stay.
  reset("{\"updateupdate\": {\"version\": \"4\"}, \"channel\": \"store\"}", "{\"channel\": \"old\", \"keep\": 1}");
  MoveChannelSetting(updaterConfig, channelFile);
  Json::Value channel = ParseHostJson(channelHost);
  EXPECT_EQ("store", channel["channel"].asString());
  EXPECT_EQ(1, channel["keep"].asInt());
  EXPECT_FALSE(HostExists(updaterHost));

  // Neither file: the default channel.
  reset(nullptr, nullptr);
  MoveChannelSetting(updaterConfig, channelFile);
  channel = ParseHostJson(channelHost);
  EXPECT_EQ(1u, channel.size());
  EXPECT_EQ("pcclient", channel["channel"].asString());

  // Only channel.json: it stays as it is.
  reset(nullptr, "{\"channel\": \"mine\"}");
  MoveChannelSetting(updaterConfig, channelFile);
  EXPECT_EQ("{\"channel\": \"mine\"}", ReadHostFile(channelHost));

  // No channel to move (none, or empty text): channel.json is neither
  // created nor changed, and the updater's file stays as it is.
  for (const char* updater : {"{\"updateupdate\": {\"version\": \"4\"}}", "{\"channel\": \"\"}"}) {
    SCOPED_TRACE(updater);
    reset(updater, "{\"channel\": \"mine\"}");
    MoveChannelSetting(updaterConfig, channelFile);
    EXPECT_EQ("{\"channel\": \"mine\"}", ReadHostFile(channelHost));
    EXPECT_EQ(updater, ReadHostFile(updaterHost));
    reset(updater, nullptr);
    MoveChannelSetting(updaterConfig, channelFile);
    EXPECT_FALSE(HostExists(channelHost));
    EXPECT_EQ(updater, ReadHostFile(updaterHost));
  }

  // Files that cannot be read are left alone, and so is the channel.
  reset("{\"channel\": \"store\"", "{\"channel\": \"mine\"}");
  MoveChannelSetting(updaterConfig, channelFile);
  EXPECT_TRUE(HostExists(updaterHost));
  EXPECT_EQ("{\"channel\": \"mine\"}", ReadHostFile(channelHost));
  reset("{\"channel\": \"store\"}", "not json");
  MoveChannelSetting(updaterConfig, channelFile);
  EXPECT_TRUE(HostExists(updaterHost));
  EXPECT_EQ("not json", ReadHostFile(channelHost));
  reset("{\"channel\": [1]}", "{\"channel\": \"mine\"}");
  MoveChannelSetting(updaterConfig, channelFile);
  EXPECT_TRUE(HostExists(updaterHost));
  EXPECT_EQ("{\"channel\": \"mine\"}", ReadHostFile(channelHost));
}

// The new updater package unpacked in the work directory: the files it
// holds, the stub standing in for the new update.exe.
void PlaceUnpackedUpdater(const updater_test::InstallTree& tree) {
  testing_support::InstallStub(tree.WorkHost("update_update/update.exe"));
  WriteHostFile(tree.WorkHost("update_update/skin/skin.zip"), "new skin");
  WriteHostFile(tree.WorkHost("update_update/lang/zh/text.txt"), "new folder");
  WriteHostFile(tree.WorkHost("update_update/rate 50%.txt"), "percent");
}

// Host path below the work directory, for checks made once the updater has
// ended, outside its process.
std::string WorkHostAfterExit(const std::string& relative) {
  return updater_test::HostOf(GetShellFolder(CSIDL_PROGRAM_FILES_COMMON) + L"\\korva\\") + "/" + relative;
}

bool BatchFinished() {
  return testing_support::WaitUntil([] { return !HostExists(WorkHostAfterExit("update.bat")); }, 20000);
}

// While the updater that wrote it runs, the batch file waits: its files
// cannot be replaced yet.
void ExpectBatchWaitsForTheUpdater(const updater_test::InstallTree& tree, const std::string& updaterBefore) {
  Sleep(1500);
  EXPECT_TRUE(updater_test::StubRuns().empty());
  EXPECT_EQ("old skin", ReadHostFile(tree.Host("update/skin/skin.zip")));
  EXPECT_EQ(updaterBefore.size(), std::filesystem::file_size(tree.Host("update/update.exe")));
  EXPECT_TRUE(HostExists(tree.WorkHost("update_update/update.exe")));
}

// Once the updater has ended, the batch file replaces the files, starts the
// new updater once from its own directory and removes itself.
void ExpectNewUpdaterInstalled() {
  const std::string updateDir = updater_test::MachineDir() + updater_test::kInstallHost + "/update/";
  std::vector<Json::Value> runs = updater_test::WaitForStubRuns(1);
  ASSERT_EQ(1u, runs.size());
  EXPECT_EQ("C:\\Program Files\\korva\\update\\update.exe", runs[0]["windows_path"].asString());
  EXPECT_EQ("C:\\Program Files\\korva\\update", runs[0]["windows_cwd"].asString());
  EXPECT_EQ("new skin", ReadHostFile(updateDir + "skin/skin.zip"));
  EXPECT_EQ("new folder", ReadHostFile(updateDir + "lang/zh/text.txt"));
  EXPECT_EQ("percent", ReadHostFile(updateDir + "rate 50%.txt"));
  EXPECT_TRUE(BatchFinished());
  EXPECT_FALSE(HostExists(WorkHostAfterExit("update_update")));
  EXPECT_EQ(1u, updater_test::StubRuns().size());
}

TEST(FinishSelfUpdate, InstallsTheNewUpdaterThroughTheBatchFile) {
  if (!updater_test::RunAsInstalledUpdater(ExpectNewUpdaterInstalled)) return;
  updater_test::InstallTree tree;
  WriteHostFile(tree.Host("update/skin/skin.zip"), "old skin");
  WriteHostFile(tree.Host("update/update.json"),
                "{\"updateupdate\": {\"packagename\": \"korva_update\", \"version\": \"100\"}, \"channel\": \"store\"}");
  WriteHostFile(tree.Host("update/channel.json"), "{\"channel\": \"old\", \"keep\": true}");
  PlaceUnpackedUpdater(tree);
  UpdateContext* context = UpdateContext::Instance();
  context->selfInfo.versionCode = 400;
  const std::string updaterBefore = ReadHostFile(tree.Host("update/update.exe"));

  FinishSelfUpdate(context->GetWorkDir() + L"update_update");

  const std::vector<std::string> lines = Lines(ReadHostFile(tree.WorkHost("update.bat")));
  ASSERT_EQ(21u, lines.size());
  const std::string work = WideToAnsi(context->GetWorkDir());
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(),
                                   "copy /y \"" + work + "update_update\\rate 50%%.txt\" "
                                   "\"C:\\Program Files\\korva\\update\\rate 50%%.txt\""));
  EXPECT_EQ("rd /s /q \"" + work + "update_update\"", lines[15]);
  EXPECT_EQ("C:", lines[16]);
  EXPECT_EQ("cd \"C:\\Program Files\\korva\\update\\\"", lines[17]);
  EXPECT_EQ("\"C:\\Program Files\\korva\\update\\update.exe\"", lines[18]);

  // Both update.json files carry the new version; the channel has moved.
  Json::Value product = ParseHostJson(tree.Host("resources/cplus-module/update.json"));
  EXPECT_EQ("400", product["updateupdate"]["version"].asString());
  EXPECT_EQ("korva_update", product["updateupdate"]["packagename"].asString());
  EXPECT_EQ("100", product["updatekorva"]["version"].asString());
  EXPECT_FALSE(HostExists(tree.Host("update/update.json")));
  Json::Value channel = ParseHostJson(tree.Host("update/channel.json"));
  EXPECT_EQ("store", channel["channel"].asString());
  EXPECT_TRUE(channel["keep"].asBool());

  ExpectBatchWaitsForTheUpdater(tree, updaterBefore);
}

TEST(FinishSelfUpdate, FailuresOnTheWay) {
  if (!updater_test::RunAsInstalledUpdater(ExpectNewUpdaterInstalled)) return;
  updater_test::InstallTree tree;
  WriteHostFile(tree.Host("update/skin/skin.zip"), "old skin");
  PlaceUnpackedUpdater(tree);
  UpdateContext* context = UpdateContext::Instance();
  context->selfInfo.versionCode = 400;
  const std::string productConfig = ReadHostFile(tree.Host("resources/cplus-module/update.json"));

  // No batch file can be written: nothing else happens.
  testing_support::MakeHostDirs(tree.WorkHost("update.bat"));
  FinishSelfUpdate(context->GetWorkDir() + L"update_update");
  EXPECT_EQ(productConfig, ReadHostFile(tree.Host("resources/cplus-module/update.json")));
  EXPECT_FALSE(HostExists(tree.Host("update/update.json")));
  EXPECT_FALSE(HostExists(tree.Host("update/channel.json")));
  std::filesystem::remove(tree.WorkHost("update.bat"));

  // A configuration of the wrong shape stops the write-back there; the
  // batch file still runs.
  WriteHostFile(tree.Host("resources/cplus-module/update.json"), "{\"updateupdate\": \"100\"}");
  FinishSelfUpdate(context->GetWorkDir() + L"update_update");
  EXPECT_NE(std::string::npos, tree.Log().find("update config file error during updating."));
  EXPECT_EQ("400", ParseHostJson(tree.Host("update/update.json"))["updateupdate"]["version"].asString());
  EXPECT_FALSE(HostExists(tree.Host("update/channel.json")));
  ExpectBatchWaitsForTheUpdater(tree, ReadHostFile(tree.Host("update/update.exe")));
}

}  // namespace
