// A delta package that cannot be applied: the main package of the same run
// stays applied and recorded, the delta's version is not, the failure is
// reported, and a notice closed by the user starts nothing.
#include "update_e2e.h"

namespace testing_support {
namespace {

const char kDeltaFailedText[] = "KorvaDelta更新失败, 您可前往官网下载最新安装包";

class UpdateDeltaFailureTest : public UpdaterE2eTest {
 protected:
  void SetUp() override {
    UpdaterE2eTest::SetUp();
    if (HasFatalFailure()) return;
    Publish("korva", 201, "2.0.1", "main release notes", "korva-201.7z", {{"readme.txt", "Korva 2.0.1\r\n"}});
    Publish("korva_delta", 2, "2.0.1-d", "delta release notes", "delta-2.7z", {{"plugins/boost.txt", "delta 2"}});
  }

  void SetDeltaFaults(const DownloadFaults& faults) {
    service().ClearFaults();
    service().SetFaults("delta-2.7z", faults);
  }

  // Starts the updater and waits for its failure notice over the update window.
  HWND RunUntilDeltaNotice(ProgramRun* run) {
    StartUpdater(run);
    HWND box = WaitForUpdateBox(*run);
    if (box != nullptr) ExpectBox(box, kDeltaFailedText, "重试", "打开官网");
    return box;
  }

  // The main package's files and version, none of the delta's.
  void ExpectOnlyMainApplied() {
    EXPECT_EQ("Korva 2.0.1\r\n", ReadHostFile(InstallDirHost() + "/readme.txt"));
    EXPECT_FALSE(HostExists(InstallDirHost() + "/plugins"));
    EXPECT_EQ("201", VersionIn("updatekorva"));
    EXPECT_EQ(std::to_string(kInstalledDeltaVersion), VersionIn("updatekorvadelta"));
    EXPECT_EQ("korva_delta", ProductConfig()["updatekorvadelta"]["packagename"].asString());
    EXPECT_FALSE(HostExists(WorkDirHost() + "/update_korva.7z"));
    EXPECT_FALSE(HostExists(WorkDirHost() + "/update_korvadelta.7z"));
  }

  bool LauncherStartsWithin(int ms) {
    return WaitUntil([&] { return !RunsOf("launch.exe").empty(); }, ms);
  }
};

TEST_F(UpdateDeltaFailureTest, MainStaysAppliedAndTheClosedNoticeStartsNothing) {
  // The delta package arrives, but its digest does not match.
  DownloadFaults damaged;
  damaged.corruptMd5 = true;
  SetDeltaFaults(damaged);
  ProgramRun run;
  HWND box = RunUntilDeltaNotice(&run);
  ASSERT_NE(nullptr, box);

  // Both steps are reported by the time the notice shows.
  std::vector<StatisticsPost> posts = UpdatePosts();
  ASSERT_EQ(2u, posts.size());
  ExpectPost(posts[0], 1, 0, "更新成功");
  ExpectPost(posts[1], 2, 2, "更新文件损坏");
  EXPECT_EQ(1u, DownloadsOf("delta-2.7z"));
  ExpectOnlyMainApplied();

  ASSERT_TRUE(Click(box, "ButtonClose"));
  ExpectUpdaterEnds(&run);
  EXPECT_FALSE(LauncherStartsWithin(2000)) << "the launcher started after the notice was closed";
  ExpectOnlyMainApplied();
  EXPECT_EQ(2u, UpdatePosts().size());
  const std::string log = UpdateLogText();
  EXPECT_NE(std::string::npos, log.find("update_korvadelta.7z is damaged.")) << log;
  EXPECT_NE(std::string::npos, log.find("fail to update korvaDelta")) << log;
  EXPECT_EQ(std::string::npos, log.find("fail to update Korva main package.")) << log;

  // Next run, delta package only: its download fails, and "重试" is the
  // user's own way to the launcher.
  DownloadFaults missing;
  missing.status = 404;
  SetDeltaFaults(missing);
  ProgramRun again;
  box = RunUntilDeltaNotice(&again);
  ASSERT_NE(nullptr, box);
  posts = UpdatePosts();
  ASSERT_EQ(3u, posts.size());
  ExpectPost(posts[2], 2, 1, "更新下载失败");
  EXPECT_EQ(1u, DownloadsOf("korva-201.7z"));
  ASSERT_TRUE(Click(box, "ButtonYes"));
  ExpectUpdaterEnds(&again);
  ASSERT_TRUE(LauncherStartsWithin(kWindowTimeoutMs));
  ASSERT_EQ(1u, RunsOf("launch.exe").size());
  ExpectLauncherRun(RunsOf("launch.exe")[0]);
  ExpectOnlyMainApplied();
}

}  // namespace
}  // namespace testing_support
