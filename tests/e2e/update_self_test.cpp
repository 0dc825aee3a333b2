// A newer updater package: the updater replaces itself through update.bat
// and starts again from its directory; a damaged one ends in a notice; a
// replacement that cannot be made whole leaves the old updater whole and
// starts the product.
#include <sstream>

#include <shellapi.h>

#include "support/host_tree.h"
#include "support/update_json.h"
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

  // A new updater that also replaces the launcher and a runtime file
  // copied before it.
  void PublishUpdaterWithLauncher() {
    Publish("korva_update", 2, "2.0.0", "updater release notes", "update-2.7z",
            {{"update.exe", ReadHostFile(DistDir() + "/update.exe") + kMarker},
             {"api-ms-win-crt-runtime-l1-1-0.dll", "new runtime"},
             {"launch.exe", ReadHostFile(StubProgram()) + kMarker},
             {"extras/readme.txt", "new folder"}});
  }

  // The launcher of the updater's folder, started as a user would start it;
  // it runs until ended. Its process handle, or null.
  HANDLE StartLauncher() {
    const size_t before = StubRuns(machine()).size();
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = L"open";
    info.lpFile = L"C:\\Program Files\\korva\\update\\launch.exe";
    info.lpParameters = L"--stay";
    info.nShow = SW_SHOW;
    if (!ShellExecuteExW(&info)) return nullptr;
    EXPECT_TRUE(WaitForRunsOf("launch.exe", before + 1));
    return info.hProcess;
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
  const std::vector<std::string> lines = Lines(batchText);
  for (const std::string& line : lines) EXPECT_TRUE(EndsWith(line, "\r")) << line;
  ASSERT_GT(lines.size(), 12u) << batchText;
  EXPECT_EQ("ping -n 1 127.0>nul\r", lines[0]);
  // The wait for the old updater's end, then the copies, each checked.
  EXPECT_EQ("copy /y /b \"" + target + "update.exe\"+nul \"" + target + "update.exe\" >nul 2>nul\r", lines[4]);
  EXPECT_EQ(":korva_copy\r", lines[10]);
  for (const char* file : {"extras\\readme.txt", "ucrtbase.dll", "update.exe"}) {
    const auto copy = std::find(lines.begin(), lines.end(),
                                "copy /y \"" + source + file + "\" \"" + target + file + "\"\r");
    ASSERT_NE(lines.end(), copy) << file << "\n" << batchText;
    ASSERT_NE(lines.end(), copy + 1);
    EXPECT_EQ(0u, copy[1].rfind("if errorlevel 1 goto korva_undo", 0)) << copy[1];
  }
  const std::vector<std::string> tail = {"rd /s /q \"C:\\Program Files (x86)\\Common Files\\korva\\update_update\"\r",
                                         "rd /s /q \"C:\\Program Files (x86)\\Common Files\\korva\\update_kept\"\r",
                                         "C:\r",
                                         "cd \"" + target + "\"\r",
                                         "\"" + target + "update.exe\"\r",
                                         "ping -n 6 127.0>nul\r",
                                         ":korva_end\r",
                                         "del %0\r"};
  EXPECT_EQ(tail, std::vector<std::string>(lines.end() - static_cast<long>(tail.size()), lines.end()));

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
  EXPECT_TRUE(WaitUntil([&] { return !HostExists(WorkDirHost() + "/update_kept"); }, kWindowTimeoutMs));
  EXPECT_TRUE(WaitUntil([&] { return !HostExists(batch); }, kWindowTimeoutMs));
}

// The new updater brings its own update.json, and the installed one holds a
// channel: that file goes with the channel before the batch file runs, so
// the package's copy of it is new there.
TEST_F(UpdateSelfTest, UpdaterPackageWithItsRecordOverAMovedChannel) {
  const std::map<std::string, std::string> package = {
      {"update.exe", ReadHostFile(DistDir() + "/update.exe") + kMarker},
      {"update.json", UpdateJsonText(service().VersionCheckUrl(), 2, kInstalledMainVersion, kInstalledDeltaVersion)},
      {"ucrtbase.dll", "new runtime"},
      {"extras/readme.txt", "new folder"}};
  Publish("korva_update", 2, "2.0.0", "updater release notes", "update-2.7z", package);
  WriteHostFile(UpdateDirHost() + "/update.json",
                R"({"updateupdate": {"packagename": "korva_update", "version": "1"}, "channel": "beta"})");

  ProgramRun run;
  StartUpdater(&run);
  ExpectUpdaterEnds(&run);

  // The new updater starts, finds itself current and starts the launcher.
  ASSERT_TRUE(WaitForRunsOf("launch.exe", 1)) << UpdateLogText();
  ExpectLauncherRun(RunsOf("launch.exe")[0]);
  EXPECT_EQ((std::vector<std::string>{"1", "2"}), VersionChecksOf("korva_update"));
  EXPECT_TRUE(WaitUntil([&] { return !HostExists(WorkDirHost() + "/update.bat"); }, kWindowTimeoutMs));
  EXPECT_FALSE(HostExists(WorkDirHost() + "/update_kept"));

  // Compared whole, not shown: update.exe is large.
  for (const auto& file : package) {
    EXPECT_TRUE(file.second == ReadHostFile(UpdateDirHost() + "/" + file.first)) << file.first << " is not the new one";
  }
  EXPECT_EQ("beta", ParseJson(ReadHostFile(UpdateDirHost() + "/channel.json"))["channel"].asString());
  EXPECT_EQ("2", VersionIn("updateupdate"));
  EXPECT_EQ("2", ParseJson(ReadHostFile(UpdateDirHost() + "/update.json"))["updateupdate"]["version"].asString());
}

// A package built from a read-only tree makes every file it places
// read-only, the product's update.json among them. The updater still writes
// the new version into it: the new updater finds itself current, starts the
// launcher, and the chain of runs ends after one download of the package. The
// package's own files are read-only too; a second new updater goes over them.
TEST_F(UpdateSelfTest, AReadOnlyRecordTakesTheNewVersionAndTheRunsEnd) {
  const std::string newUpdater = ReadHostFile(DistDir() + "/update.exe") + kMarker;
  Publish("korva_update", 2, "2.0.0", "updater release notes", "update-2.7z",
          {{"update.exe", newUpdater}, {"ucrtbase.dll", "new runtime"}, {"extras/readme.txt", "new folder"}},
          {"ucrtbase.dll", "extras/readme.txt"});
  std::filesystem::permissions(ProductConfigHost(), std::filesystem::perms::owner_write | std::filesystem::perms::group_write | std::filesystem::perms::others_write,
                               std::filesystem::perm_options::remove);
  auto downloadsOf = [&](const std::string& file) {
    int count = 0;
    for (const RecordedRequest& r : UpdaterRequests()) count += r.path == "/packages/" + file;
    return count;
  };

  ProgramRun run;
  StartUpdater(&run);
  ExpectUpdaterEnds(&run);
  ASSERT_TRUE(WaitForRunsOf("launch.exe", 1)) << UpdateLogText();
  ASSERT_TRUE(WaitUntil([&] { return !HostExists(WorkDirHost() + "/update.bat"); }, kWindowTimeoutMs));
  Sleep(3000);  // a new updater that took itself for old would have asked again by now
  EXPECT_EQ((std::vector<std::string>{"1", "2"}), VersionChecksOf("korva_update"));
  EXPECT_EQ(1, downloadsOf("update-2.7z"));
  EXPECT_EQ(1u, RunsOf("launch.exe").size());
  EXPECT_EQ("2", VersionIn("updateupdate"));
  EXPECT_TRUE(newUpdater == ReadHostFile(UpdateDirHost() + "/update.exe"));
  EXPECT_EQ("new runtime", ReadHostFile(UpdateDirHost() + "/ucrtbase.dll"));
  EXPECT_EQ("new folder", ReadHostFile(UpdateDirHost() + "/extras/readme.txt"));

  // Version 3 replaces the read-only files version 2 left.
  Publish("korva_update", 3, "3.0.0", "updater release notes", "update-3.7z",
          {{"update.exe", newUpdater + "3"}, {"ucrtbase.dll", "runtime 3"}, {"extras/readme.txt", "folder 3"}});
  ProgramRun again;
  StartUpdater(&again);
  ExpectUpdaterEnds(&again);
  ASSERT_TRUE(WaitForRunsOf("launch.exe", 2)) << UpdateLogText();
  ASSERT_TRUE(WaitUntil([&] { return !HostExists(WorkDirHost() + "/update.bat"); }, kWindowTimeoutMs));
  EXPECT_EQ((std::vector<std::string>{"1", "2", "2", "3"}), VersionChecksOf("korva_update"));
  EXPECT_EQ(1, downloadsOf("update-3.7z"));
  EXPECT_EQ("3", VersionIn("updateupdate"));
  EXPECT_TRUE(newUpdater + "3" == ReadHostFile(UpdateDirHost() + "/update.exe"));
  EXPECT_EQ("runtime 3", ReadHostFile(UpdateDirHost() + "/ucrtbase.dll"));
  EXPECT_EQ("folder 3", ReadHostFile(UpdateDirHost() + "/extras/readme.txt"));
}

// Installed hidden and system files, the product's record among them: the
// new updater goes over them, and the record takes its version and stays
// hidden, so the runs end.
TEST_F(UpdateSelfTest, HiddenAndSystemFilesAreReplacedAndTheHiddenRecordTakesTheVersion) {
  PublishUpdater();
  const std::wstring runtime = L"C:\\Program Files\\korva\\update\\ucrtbase.dll";
  const std::wstring record = L"C:\\Program Files\\korva\\resources\\cplus-module\\update.json";
  ASSERT_TRUE(SetFileAttributesW(runtime.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  ASSERT_TRUE(SetFileAttributesW(record.c_str(), FILE_ATTRIBUTE_HIDDEN));

  ProgramRun run;
  StartUpdater(&run);
  ExpectUpdaterEnds(&run);
  ASSERT_TRUE(WaitForRunsOf("launch.exe", 1)) << UpdateLogText();
  ASSERT_TRUE(WaitUntil([&] { return !HostExists(WorkDirHost() + "/update.bat"); }, kWindowTimeoutMs));
  EXPECT_EQ("new runtime", ReadHostFile(UpdateDirHost() + "/ucrtbase.dll"));
  EXPECT_TRUE(ReadHostFile(DistDir() + "/update.exe") + kMarker == ReadHostFile(UpdateDirHost() + "/update.exe"));
  EXPECT_EQ("2", VersionIn("updateupdate"));
  EXPECT_NE(0u, GetFileAttributesW(record.c_str()) & FILE_ATTRIBUTE_HIDDEN);
}

// The product's update.json cannot take the new version (another program
// keeps it open without sharing its deletion): the updater is not replaced,
// the user sees the notice and the product starts; nothing of the update is
// left. Once the file is let go, the next run replaces the updater.
TEST_F(UpdateSelfTest, ARecordThatCannotTakeTheVersionKeepsTheOldUpdater) {
  PublishUpdater();
  InstallStub(UpdateDirHost() + "/korva.exe");
  const std::map<std::string, std::string> before = HostTree(UpdateDirHost());
  const std::wstring record = L"C:\\Program Files\\korva\\resources\\cplus-module\\update.json";
  HANDLE reader = CreateFileW(record.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
  ASSERT_NE(INVALID_HANDLE_VALUE, reader);
  RunThroughNotice("Update更新失败, 您可前往官网下载最新安装包", "ButtonYes");
  ASSERT_TRUE(WaitForRunsOf("korva.exe", 1));
  CloseHandle(reader);
  EXPECT_EQ(before, HostTree(UpdateDirHost()));
  EXPECT_EQ(InstalledConfig(), ReadHostFile(ProductConfigHost()));
  for (const char* left : {"/update.bat", "/update_update", "/update_kept", "/update_update.7z"}) {
    EXPECT_FALSE(HostExists(WorkDirHost() + left)) << left;
  }
  EXPECT_NE(std::string::npos, UpdateLogText().find("fail to write the new updater version into"));
  EXPECT_TRUE(RunsOf("launch.exe").empty());
  // Reported as a package that could not be put in place.
  std::vector<StatisticsPost> posts = UpdatePosts();
  ASSERT_EQ(1u, posts.size());
  ExpectPost(posts[0], 0, 3, "更新文件解压失败");

  ProgramRun run;
  StartUpdater(&run);
  ExpectUpdaterEnds(&run);
  ASSERT_TRUE(WaitForRunsOf("launch.exe", 1)) << UpdateLogText();
  EXPECT_EQ((std::vector<std::string>{"1", "1", "2"}), VersionChecksOf("korva_update"));
  EXPECT_EQ("2", VersionIn("updateupdate"));
  EXPECT_TRUE(EndsWith(ReadHostFile(UpdateDirHost() + "/update.exe"), kMarker));
  posts = UpdatePosts();
  ASSERT_EQ(2u, posts.size());
  ExpectPost(posts[1], 0, 0, "更新成功");
}

// The record is sent once the batch file is written and the records name the
// new updater, and the batch waits for the updater's end for longer than a
// statistics service that never answers keeps it.
TEST_F(UpdateSelfTest, ASilentStatisticsServiceDoesNotCostTheReplacement) {
  PublishUpdater();
  service().HoldStatisticsReplies(true);
  ProgramRun run;
  StartUpdater(&run);
  ASSERT_TRUE(WaitUntil([&] { return !UpdatePosts().empty(); }, kWindowTimeoutMs)) << UpdateLogText();
  EXPECT_TRUE(HostExists(WorkDirHost() + "/update.bat"));
  EXPECT_EQ("2", VersionIn("updateupdate"));
  ExpectUpdaterEnds(&run);
  const std::string log = UpdateLogText();
  service().HoldStatisticsReplies(false);

  ASSERT_TRUE(WaitForRunsOf("launch.exe", 1)) << log;
  EXPECT_EQ((std::vector<std::string>{"1", "2"}), VersionChecksOf("korva_update"));
  EXPECT_TRUE(EndsWith(ReadHostFile(UpdateDirHost() + "/update.exe"), kMarker));
  const std::vector<StatisticsPost> posts = UpdatePosts();
  ASSERT_EQ(1u, posts.size());
  ExpectPost(posts[0], 0, 0, "更新成功");
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

TEST_F(UpdateSelfTest, LauncherRunningDuringTheReplacementLeavesTheOldUpdaterWhole) {
  PublishUpdaterWithLauncher();
  ASSERT_TRUE(HostExists(UpdateDirHost() + "/api-ms-win-crt-runtime-l1-1-0.dll"));
  HANDLE launcher = StartLauncher();
  ASSERT_NE(nullptr, launcher);
  const std::map<std::string, std::string> before = HostTree(UpdateDirHost());
  const std::string productBefore = ReadHostFile(ProductConfigHost());

  // The updater replaces itself; the batch file cannot write launch.exe.
  ProgramRun run;
  StartUpdater(&run);
  ExpectUpdaterEnds(&run);
  ASSERT_TRUE(WaitUntil([&] { return !HostExists(WorkDirHost() + "/update.bat"); }, kWindowTimeoutMs))
      << "the batch file did not end";
  // The product is started from the updater's folder, as a run with nothing
  // newer starts it; the updater is not, it would end up here again: after a
  // while still one run of the updater, and two of the launcher.
  ASSERT_TRUE(WaitForRunsOf("launch.exe", 2)) << "the launcher was not started";
  Sleep(3000);
  EXPECT_EQ(std::vector<std::string>{"1"}, VersionChecksOf("korva_update"));
  const std::vector<Json::Value> runs = StubRuns(machine());
  ASSERT_EQ(2u, runs.size());
  ExpectLauncherRun(runs[1]);
  EXPECT_EQ(0u, runs[1]["args"].size());

  // The old updater, file by file, and the records name it.
  EXPECT_EQ(before, HostTree(UpdateDirHost()));
  EXPECT_EQ(productBefore, ReadHostFile(ProductConfigHost()));
  EXPECT_EQ(std::to_string(kInstalledUpdaterVersion), VersionIn("updateupdate"));
  EXPECT_FALSE(HostExists(WorkDirHost() + "/update_update"));
  EXPECT_FALSE(HostExists(WorkDirHost() + "/update_kept"));

  // Once the launcher has ended, the next run replaces the updater whole.
  EXPECT_TRUE(TerminateProcess(launcher, 0));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(launcher, 5000));
  CloseHandle(launcher);
  ProgramRun again;
  StartUpdater(&again);
  ExpectUpdaterEnds(&again);
  ASSERT_TRUE(WaitForRunsOf("launch.exe", 3)) << UpdateLogText();
  ExpectLauncherRun(RunsOf("launch.exe")[2]);
  EXPECT_EQ((std::vector<std::string>{"1", "1", "2"}), VersionChecksOf("korva_update"));
  std::map<std::string, std::string> after = before;
  after["update.exe"] = ShownContent(ReadHostFile(DistDir() + "/update.exe") + kMarker);
  after["api-ms-win-crt-runtime-l1-1-0.dll"] = "new runtime";
  after["launch.exe"] = ShownContent(ReadHostFile(StubProgram()) + kMarker);
  after["extras/"] = "";
  after["extras/readme.txt"] = "new folder";
  after["update.json"] = ShownContent(ReadHostFile(UpdateDirHost() + "/update.json"));
  EXPECT_TRUE(WaitUntil([&] { return !HostExists(WorkDirHost() + "/update.bat"); }, kWindowTimeoutMs));
  EXPECT_EQ(after, HostTree(UpdateDirHost()));
  EXPECT_EQ("2", VersionIn("updateupdate"));
  EXPECT_EQ("2", ParseJson(ReadHostFile(UpdateDirHost() + "/update.json"))["updateupdate"]["version"].asString());
}

}  // namespace
}  // namespace testing_support
