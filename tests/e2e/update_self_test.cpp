// A newer updater package: the updater replaces itself through update.bat
// and starts again from its directory; a damaged one ends in a notice.
#include <sstream>

#include "update_e2e.h"

namespace testing_support {
namespace {

const char kMarker[] = "\n#updater 2\n";

class UpdateSelfTest : public UpdaterE2eTest {
 protected:
  // The new updater: this build's update.exe with a marker appended (the
  // program still runs), a new runtime file and a file in a new folder.
  void PublishUpdater() {
    Publish("korva_update", 2, "2.0.0", "updater release notes", "update-2.7z",
            {{"update.exe", ReadHostFile(DistDir() + "/update.exe") + kMarker},
             {"ucrtbase.dll", "new runtime"},
             {"extras/readme.txt", "new folder"}});
  }

  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
  }

  static bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
  }
};

TEST_F(UpdateSelfTest, NewerUpdaterReplacesItselfAndRestarts) {
  PublishUpdater();
  // The updater's own configuration holds the channel; it moves to channel.json.
  WriteHostFile(UpdateDirHost() + "/update.json", R"({"channel": "beta"})");

  ProgramRun run;
  StartUpdater(&run);
  UpdateWindowWatcher watcher(run.pid());
  ExpectUpdaterEnds(&run);
  watcher.Stop();
  EXPECT_FALSE(watcher.ReappearedAfterHiding());

  // The batch file, written before the updater quit and run at once.
  const std::string batch = WorkDirHost() + "/update.bat";
  const std::string batchText = ReadHostFile(batch);
  ASSERT_FALSE(batchText.empty()) << "no update.bat\n" << UpdateLogText();
  const std::string source = "C:\\Program Files (x86)\\Common Files\\korva\\update_update\\";
  const std::string target = "C:\\Program Files\\korva\\update\\";
  std::vector<std::string> lines = Lines(batchText);
  ASSERT_EQ(20u, lines.size()) << batchText;
  for (const std::string& line : lines) EXPECT_TRUE(EndsWith(line, "\r")) << line;
  EXPECT_EQ("ping -n 1 127.0>nul\r", lines[0]);
  // The wait for the old updater's end, then the copies.
  EXPECT_EQ("copy /y /b \"" + target + "update.exe\"+nul \"" + target + "update.exe\" >nul 2>nul\r", lines[4]);
  EXPECT_EQ(":korva_copy\r", lines[10]);
  lines.erase(lines.begin() + 1, lines.begin() + 11);
  std::vector<std::string> copies(lines.begin() + 1, lines.begin() + 4);
  std::sort(copies.begin(), copies.end());
  EXPECT_EQ("copy /y \"" + source + "extras\\readme.txt\" \"" + target + "extras\\readme.txt\"\r", copies[0]);
  EXPECT_EQ("copy /y \"" + source + "ucrtbase.dll\" \"" + target + "ucrtbase.dll\"\r", copies[1]);
  EXPECT_EQ("copy /y \"" + source + "update.exe\" \"" + target + "update.exe\"\r", copies[2]);
  EXPECT_EQ("rd /s /q \"C:\\Program Files (x86)\\Common Files\\korva\\update_update\"\r", lines[4]);
  EXPECT_EQ("C:\r", lines[5]);
  EXPECT_EQ("cd \"" + target + "\"\r", lines[6]);
  EXPECT_EQ("\"" + target + "update.exe\"\r", lines[7]);
  EXPECT_EQ("ping -n 6 127.0>nul\r", lines[8]);
  EXPECT_EQ("del %0\r", lines[9]);

  // The restarted updater finds itself current and starts the launcher.
  ASSERT_TRUE(WaitForRunsOf("launch.exe", 1)) << UpdateLogText();
  ExpectLauncherRun(RunsOf("launch.exe")[0]);
  EXPECT_EQ((std::vector<std::string>{"1", "2"}), VersionChecksOf("korva_update"));
  // The first run left the main and delta packages alone.
  EXPECT_EQ(std::vector<std::string>{std::to_string(kInstalledMainVersion)}, VersionChecksOf("korva"));

  // The new files replaced the old ones.
  EXPECT_TRUE(EndsWith(ReadHostFile(UpdateDirHost() + "/update.exe"), kMarker));
  EXPECT_EQ("new runtime", ReadHostFile(UpdateDirHost() + "/ucrtbase.dll"));
  EXPECT_EQ("new folder", ReadHostFile(UpdateDirHost() + "/extras/readme.txt"));
  EXPECT_FALSE(HostExists(WorkDirHost() + "/update_update.7z"));

  // Versions and channel.
  EXPECT_EQ("2", VersionIn("updateupdate"));
  EXPECT_EQ(std::to_string(kInstalledMainVersion), VersionIn("updatekorva"));
  EXPECT_EQ("beta", ParseJson(ReadHostFile(UpdateDirHost() + "/channel.json"))["channel"].asString());
  EXPECT_FALSE(HostExists(UpdateDirHost() + "/update.json"));

  const std::vector<StatisticsPost> posts = UpdatePosts();
  ASSERT_EQ(1u, posts.size());
  ExpectPost(posts[0], 0, 0, "更新成功");

  // The batch file cleans up after itself once the new updater has ended.
  EXPECT_TRUE(WaitUntil([&] { return !HostExists(WorkDirHost() + "/update_update"); }, kWindowTimeoutMs));
  EXPECT_TRUE(WaitUntil([&] { return !HostExists(batch); }, kWindowTimeoutMs));
}

TEST_F(UpdateSelfTest, DamagedUpdaterPackageShowsNoticeAndStartsMainProgram) {
  PublishUpdater();
  DownloadFaults damaged;
  damaged.corruptMd5 = true;
  service().SetFaults("update-2.7z", damaged);
  const std::string updaterBefore = ReadHostFile(UpdateDirHost() + "/update.exe");

  // Without korva.exe beside the updater nothing is started.
  const char kText[] = "Update更新失败, 您可前往官网下载最新安装包";
  RunThroughNotice(kText, "ButtonYes");
  EXPECT_TRUE(StubRuns(machine()).empty());

  // With it, korva.exe of the updater's directory is started.
  InstallStub(UpdateDirHost() + "/korva.exe");
  RunThroughNotice(kText, "ButtonClose");
  ASSERT_TRUE(WaitForRunsOf("korva.exe", 1));
  const std::vector<Json::Value> runs = StubRuns(machine());
  ASSERT_EQ(1u, runs.size());
  EXPECT_EQ(std::string(kUpdateDirWindows) + "\\korva.exe", runs[0]["windows_path"].asString());

  const std::vector<StatisticsPost> posts = UpdatePosts();
  ASSERT_EQ(2u, posts.size());
  ExpectPost(posts[0], 0, 2, "更新文件损坏");
  ExpectPost(posts[1], 0, 2, "更新文件损坏");
  EXPECT_TRUE(VersionChecksOf("korva").empty());
  EXPECT_FALSE(HostExists(WorkDirHost() + "/update.bat"));
  EXPECT_FALSE(HostExists(WorkDirHost() + "/update_update.7z"));
  EXPECT_EQ(updaterBefore, ReadHostFile(UpdateDirHost() + "/update.exe"));
  EXPECT_EQ(InstalledConfig(), ReadHostFile(ProductConfigHost()));
  EXPECT_NE(std::string::npos, UpdateLogText().find("fail to update update.7z"));
}

}  // namespace
}  // namespace testing_support
