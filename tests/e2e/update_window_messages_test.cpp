// The update window answers its message numbers as another program posts
// them with the automation tool while a package downloads: WM_USER+2 enables
// Cancel, WM_USER+3 disables it, WM_USER+1 ends the run.
#include "update_e2e.h"

namespace testing_support {
namespace {

const char kMainFailedText[] = "Korva更新失败, 您可前往官网下载最新安装包";

class UpdateWindowMessagesTest : public UpdaterE2eTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(HostExists(Tool())) << "no " << Tool() << ": build the winauto target";
    UpdaterE2eTest::SetUp();
  }

  static std::string Tool() { return std::string(KORVA_BUILD_DIR) + "/platform/tools/winauto"; }

  // Runs winauto on this test's machine; its exit code, and what it printed
  // (stdout and stderr) in *out.
  int Winauto(const std::vector<std::string>& args, std::string* out = nullptr) {
    const std::string output = scratch() + "/winauto-" + std::to_string(++winautoRuns_) + ".out";
    std::vector<std::string> argv{Tool()};
    argv.insert(argv.end(), args.begin(), args.end());
    const int code = RunHostCommand(argv, output);
    if (out) *out = ReadHostFile(output);
    return code;
  }

  void Post(const std::string& window, const std::string& message) {
    std::string out;
    ASSERT_EQ(0, Winauto({"post", window, message, "0", "0"}, &out)) << out;
  }

  // Cancel's state as winauto lists the window's controls; false when the
  // listing could not be had.
  bool ReadCancel(const std::string& window, ControlState* cancel) {
    std::string listing;
    std::vector<ControlState> controls;
    if (Winauto({"ctl", window, "controls"}, &listing) != 0 || !ParseControls(listing, &controls)) return false;
    for (const ControlState& c : controls)
      if (c.name == "ButtonCancel") {
        *cancel = c;
        return true;
      }
    return false;
  }

  bool WaitForCancel(const std::string& window, bool enabled) {
    return WaitUntil(
        [&] {
          ControlState cancel;
          return ReadCancel(window, &cancel) && cancel.enabled == enabled;
        },
        kWindowTimeoutMs);
  }

 private:
  int winautoRuns_ = 0;
};

TEST_F(UpdateWindowMessagesTest, PostedNumbersDriveCancelAndQuitDuringADownload) {
  // A megabyte at a kilobyte per 100 ms, about 100 s: far longer than the
  // posts below take, so they all land while the step waits for it.
  Publish("korva", 201, "2.0.1", "main release notes", "korva-201.7z",
          {{"bin/route.dat", NoiseBytes(1024 * 1024, 3)}});
  DownloadFaults slow;
  slow.trickleDelayMs = 100;
  service().SetFaults("korva-201.7z", slow);

  ProgramRun run;
  StartUpdater(&run);
  std::string window;
  ASSERT_EQ(0, Winauto({"wait", "--class", kUpdateWindow, "--pid", std::to_string(run.pid()), "--visible",
                        "--timeout", std::to_string(kWindowTimeoutMs / 1000)},
                       &window))
      << window << UpdateLogText();
  while (!window.empty() && (window.back() == '\n' || window.back() == '\r')) window.pop_back();

  // The step's own download-started message has enabled Cancel, and the
  // download is under way.
  ASSERT_TRUE(WaitForCancel(window, true)) << UpdateLogText();
  ASSERT_TRUE(WaitUntil([&] { return DownloadsOf("korva-201.7z") == 1; }, kWindowTimeoutMs));

  // Each post flips the button, so a number that does nothing or the other
  // thing never reaches the awaited state.
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    Post(window, "0x403");
    ASSERT_TRUE(WaitForCancel(window, false)) << "WM_USER+3 left Cancel enabled";
    Post(window, "WM_USER+2");
    ASSERT_TRUE(WaitForCancel(window, true)) << "WM_USER+2 left Cancel disabled";
  }
  Post(window, "0x403");
  ASSERT_TRUE(WaitForCancel(window, false));
  ControlState cancel;
  ASSERT_TRUE(ReadCancel(window, &cancel));
  EXPECT_TRUE(cancel.visible);
  EXPECT_EQ(0u, UpdatePosts().size()) << "the step ended before the posts were done";

  // WM_USER+1 ends the step's wait for the download: the run fails as a
  // cancelled download does, with its record and the box of a failed main
  // package, and ends once the box is closed, without the launcher.
  Post(window, "0x401");
  HWND box = WaitForUpdateBox(run);
  ASSERT_NE(nullptr, box);
  ExpectBox(box, kMainFailedText, "重试", "打开官网");
  const std::vector<StatisticsPost> posts = UpdatePosts();
  ASSERT_EQ(1u, posts.size());
  ExpectPost(posts[0], 1, 1, "更新下载失败");

  ASSERT_TRUE(Click(box, "ButtonClose"));
  ExpectUpdaterEnds(&run, kWindowTimeoutMs);
  EXPECT_EQ(0, Winauto({"wait-gone", "--class", kUpdateWindow, "--timeout", "5"}));
  EXPECT_TRUE(RunsOf("launch.exe").empty());
  EXPECT_EQ(InstalledConfig(), ReadHostFile(ProductConfigHost()));
  EXPECT_NE(std::string::npos, UpdateLogText().find("fail to download update_korva.7z.")) << UpdateLogText();
}

}  // namespace
}  // namespace testing_support
