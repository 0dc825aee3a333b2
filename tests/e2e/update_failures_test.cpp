// A main package that cannot be applied, and a user who ends the update
// while a package downloads.
#include <sys/stat.h>

#include "update_e2e.h"

namespace testing_support {
namespace {

const char kMainFailedText[] = "Korva更新失败, 您可前往官网下载最新安装包";
const char kOfficialUrl[] = "https://www.korva.com/";  // install.json of the installation

class UpdateFailuresTest : public UpdaterE2eTest {
 protected:
  void SetUp() override {
    UpdaterE2eTest::SetUp();
    if (HasFatalFailure()) return;
    Publish("korva", 201, "2.0.1", "main release notes", "korva-201.7z",
            {{"readme.txt", "Korva 2.0.1\r\n"}, {"bin/route.dat", NoiseBytes(96 * 1024, 1)}});
    Publish("korva_delta", 2, "2.0.1-d", "delta release notes", "delta-2.7z", {{"plugins/boost.txt", "delta 2"}});
  }

  void SetMainFaults(const DownloadFaults& faults) {
    service().ClearFaults();
    service().SetFaults("korva-201.7z", faults);
  }

  // Nothing of the failed run stays behind, nothing else was touched.
  void ExpectInstallationUnchanged() {
    EXPECT_EQ(InstalledConfig(), ReadHostFile(ProductConfigHost()));
    EXPECT_EQ("Korva network accelerator\r\n", ReadHostFile(InstallDirHost() + "/readme.txt"));
    EXPECT_EQ(0u, DownloadsOf("delta-2.7z"));
    EXPECT_FALSE(HostExists(InstallDirHost() + "/plugins"));
  }

  HWND UpdateWindowOf(const ProgramRun& run) { return WaitForWindow(kUpdateWindow, run.pid(), kWindowTimeoutMs); }
};

TEST_F(UpdateFailuresTest, FailedMainPackageOffersLauncherOrOfficialSite) {
  // A download that fails: "重试" starts the launcher.
  DownloadFaults missing;
  missing.status = 404;
  SetMainFaults(missing);
  ProgramRun run;
  StartUpdater(&run);
  HWND box = WaitForUpdateBox(run);
  ASSERT_NE(nullptr, box);
  ExpectBox(box, kMainFailedText, "重试", "打开官网");
  // Shown over the update window, which waits behind it.
  WindowState window;
  ASSERT_TRUE(GetWindowState(UpdateWindowOf(run), &window));
  EXPECT_TRUE(window.visible);
  EXPECT_FALSE(window.enabled);
  std::vector<StatisticsPost> posts = UpdatePosts();
  ASSERT_EQ(1u, posts.size());
  ExpectPost(posts[0], 1, 1, "更新下载失败");

  ASSERT_TRUE(Click(box, "ButtonYes"));
  ExpectUpdaterEnds(&run);
  ASSERT_TRUE(WaitForRunsOf("launch.exe", 1));
  ExpectLauncherRun(RunsOf("launch.exe")[0]);
  ExpectInstallationUnchanged();
  EXPECT_FALSE(HostExists(WorkDirHost() + "/update_korva.7z"));
  EXPECT_NE(std::string::npos, UpdateLogText().find("fail to update Korva main package."));

  // A damaged package: "打开官网" hands the official site to the browser.
  const std::string browser = scratch() + "/browser/browser";
  InstallStub(browser);
  chmod(browser.c_str(), 0755);
  SetMachineFacts(R"({"url_opener": ")" + browser + R"("})");
  DownloadFaults damaged;
  damaged.corruptMd5 = true;
  SetMainFaults(damaged);
  ProgramRun again;
  StartUpdater(&again);
  box = WaitForUpdateBox(again);
  ASSERT_NE(nullptr, box);
  ExpectBox(box, kMainFailedText, "重试", "打开官网");
  ASSERT_TRUE(Click(box, "ButtonNo"));
  ExpectUpdaterEnds(&again);

  ASSERT_TRUE(WaitForRunsOf("browser", 1));
  const Json::Value opened = RunsOf("browser")[0];
  ASSERT_EQ(1u, opened["args"].size());
  EXPECT_EQ(kOfficialUrl, opened["args"][0].asString());
  EXPECT_EQ(1u, RunsOf("launch.exe").size());
  posts = UpdatePosts();
  ASSERT_EQ(2u, posts.size());
  ExpectPost(posts[1], 1, 2, "更新文件损坏");
  ExpectInstallationUnchanged();
  EXPECT_FALSE(HostExists(WorkDirHost() + "/update_korva.7z"));
}

TEST_F(UpdateFailuresTest, CloseOrCancelDuringDownloadEndsTheRun) {
  // The download would take about ten seconds.
  DownloadFaults slow;
  slow.trickleDelayMs = 100;
  SetMainFaults(slow);
  const std::string archive = WorkDirHost() + "/update_korva.7z";

  int runs = 0;
  for (const std::string button : {"ButtonCancel", "ButtonClose"}) {
    SCOPED_TRACE(button);
    ProgramRun run;
    StartUpdater(&run);
    HWND window = UpdateWindowOf(run);
    ASSERT_NE(nullptr, window);
    ASSERT_TRUE(WaitUntil(
        [&] {
          ControlState cancel;
          return FindControlState(window, "ButtonCancel", &cancel) && cancel.enabled && HostExists(archive);
        },
        kWindowTimeoutMs));
    const auto clicked = std::chrono::steady_clock::now();
    ASSERT_TRUE(Click(window, button));

    // The step gives up the download at once and the run fails as usual.
    HWND box = WaitForUpdateBox(run);
    ASSERT_NE(nullptr, box);
    ExpectBox(box, kMainFailedText, "重试", "打开官网");
    const std::vector<StatisticsPost> posts = UpdatePosts();
    ASSERT_EQ(static_cast<size_t>(++runs), posts.size());
    ExpectPost(posts.back(), 1, 1, "更新下载失败");
    // The archive is still the worker's: the step neither reads nor removes it.
    EXPECT_TRUE(HostExists(archive));

    ASSERT_TRUE(Click(box, "ButtonClose"));
    ExpectUpdaterEnds(&run, 5000);
    EXPECT_LT(std::chrono::steady_clock::now() - clicked, std::chrono::seconds(8));
    EXPECT_TRUE(HostExists(archive));
    EXPECT_LT(std::filesystem::file_size(archive), 96u * 1024);
  }
  EXPECT_TRUE(RunsOf("launch.exe").empty());
  ExpectInstallationUnchanged();
  const std::string log = UpdateLogText();
  size_t failures = 0;
  for (size_t at = log.find("fail to download update_korva.7z."); at != std::string::npos;
       at = log.find("fail to download update_korva.7z.", at + 1))
    ++failures;
  EXPECT_EQ(2u, failures) << log;
}

}  // namespace
}  // namespace testing_support
