// The updater brings the main and the delta package up to date: files in the
// install directory, versions written back, one report per package, the
// progress bar over its shares and the launcher at the end.
#include "update_e2e.h"

#include "support/update_json.h"

namespace testing_support {
namespace {

const char kMainFeature[] = "当前版本过低，须更新至最新版v2.0.1";
const char kDeltaFeature[] = "当前版本过低，须更新至最新版v2.0.1-d";

class UpdatePackagesTest : public UpdaterE2eTest {
 protected:
  // A main package of about 96 KiB and a delta package of about 48 KiB that
  // both download slowly enough to be watched.
  void PublishMain(const std::string& productConfig = "") {
    std::map<std::string, std::string> files = {{"readme.txt", "Korva 2.0.1\r\n"},
                                                {"bin/route.dat", NoiseBytes(96 * 1024, 1)}};
    if (!productConfig.empty()) files["resources/cplus-module/update.json"] = productConfig;
    Publish("korva", 201, "2.0.1", "main release notes", "korva-201.7z", files);
    DownloadFaults slow;
    slow.trickleDelayMs = 10;
    service().SetFaults("korva-201.7z", slow);
  }
  void PublishDelta() {
    Publish("korva_delta", 2, "2.0.1-d", "delta release notes", "delta-2.7z",
            {{"plugins/boost.dat", NoiseBytes(48 * 1024, 2)}, {"plugins/boost.txt", "delta 2"}});
    DownloadFaults slow;
    slow.trickleDelayMs = 20;
    service().SetFaults("delta-2.7z", slow);
  }

  // Runs the updater to its end while watching its window; whenever the bar
  // shows 100, the last write-back of the run must already be in update.json.
  std::vector<UpdateWindowSample> RunWatched(const std::string& section, const std::string& version) {
    ProgramRun run;
    StartUpdater(&run);
    UpdateWindowWatcher watcher(run.pid(), [&] { return VersionIn(section) == version; });
    ExpectUpdaterEnds(&run);
    watcher.Stop();
    EXPECT_TRUE(watcher.EverVisibleWithControls()) << "the update window was never seen";
    return watcher.samples();
  }

  static std::vector<int> ValuesWith(const std::vector<UpdateWindowSample>& samples, const std::string& feature) {
    std::vector<int> values;
    for (const UpdateWindowSample& s : samples)
      if (s.progress >= 0 && s.feature == feature) values.push_back(s.progress);
    return values;
  }
  static bool AnyIn(const std::vector<int>& values, int low, int high) {
    return std::any_of(values.begin(), values.end(), [&](int v) { return v >= low && v <= high; });
  }

  void ExpectOnlyAfterDone(const std::vector<UpdateWindowSample>& samples) {
    for (const UpdateWindowSample& s : samples) {
      if (s.progress == 100) {
        EXPECT_TRUE(s.probeHeld) << "100 shown before the run was done";
      }
    }
  }

  void ExpectPackageArchivesGone() {
    EXPECT_FALSE(HostExists(WorkDirHost() + "/update_korva.7z"));
    EXPECT_FALSE(HostExists(WorkDirHost() + "/update_korvadelta.7z"));
  }
};

TEST_F(UpdatePackagesTest, MainAndDeltaNewerAreBothApplied) {
  PublishMain();
  PublishDelta();
  const std::vector<UpdateWindowSample> samples = RunWatched("updatekorvadelta", "2");

  // Files of both packages, over the installed ones.
  EXPECT_EQ("Korva 2.0.1\r\n", ReadHostFile(InstallDirHost() + "/readme.txt"));
  EXPECT_EQ(NoiseBytes(96 * 1024, 1), ReadHostFile(InstallDirHost() + "/bin/route.dat"));
  EXPECT_EQ("delta 2", ReadHostFile(InstallDirHost() + "/plugins/boost.txt"));
  EXPECT_TRUE(HostExists(InstallDirHost() + "/korva.exe"));
  ExpectPackageArchivesGone();

  // Both versions written back as strings, everything else kept.
  EXPECT_EQ("201", VersionIn("updatekorva"));
  EXPECT_EQ("2", VersionIn("updatekorvadelta"));
  EXPECT_EQ(std::to_string(kInstalledUpdaterVersion), VersionIn("updateupdate"));
  const Json::Value config = ProductConfig();
  EXPECT_EQ("korva", config["updatekorva"]["packagename"].asString());
  EXPECT_EQ("korva_delta", config["updatekorvadelta"]["packagename"].asString());
  EXPECT_EQ(service().VersionCheckUrl(), config["updateurl"].asString());

  const std::vector<StatisticsPost> posts = UpdatePosts();
  ASSERT_EQ(2u, posts.size());
  ExpectPost(posts[0], 1, 0, "更新成功");
  ExpectPost(posts[1], 2, 0, "更新成功");
  EXPECT_EQ(1u, DownloadsOf("korva-201.7z"));
  EXPECT_EQ(1u, DownloadsOf("delta-2.7z"));
  // The delta package was asked about again after the main package.
  EXPECT_EQ((std::vector<std::string>{"1", "1"}), VersionChecksOf("korva_delta"));

  ASSERT_TRUE(WaitForRunsOf("launch.exe", 1));
  ASSERT_EQ(1u, RunsOf("launch.exe").size());
  ExpectLauncherRun(RunsOf("launch.exe")[0]);

  // The bar: main download 0-50, main unpacking to 90; the delta download
  // from 89; never 100 before the end.
  const std::vector<int> main = ValuesWith(samples, kMainFeature);
  const std::vector<int> delta = ValuesWith(samples, kDeltaFeature);
  ASSERT_FALSE(main.empty());
  ASSERT_FALSE(delta.empty());
  EXPECT_TRUE(AnyIn(main, 1, 50));
  EXPECT_FALSE(AnyIn(main, 91, 100));
  EXPECT_TRUE(AnyIn(delta, 89, 94));
  EXPECT_FALSE(AnyIn(delta, 1, 88));
  ExpectOnlyAfterDone(samples);
  // Cancel is usable while a package downloads.
  EXPECT_TRUE(std::any_of(samples.begin(), samples.end(), [](const UpdateWindowSample& s) {
    return s.cancelEnabled && s.progress > 0 && s.progress < 50;
  }));
  EXPECT_TRUE(std::any_of(samples.begin(), samples.end(), [](const UpdateWindowSample& s) {
    return s.feature == kMainFeature && s.detail == "main release notes";
  }));
  EXPECT_TRUE(std::any_of(samples.begin(), samples.end(), [](const UpdateWindowSample& s) {
    return s.feature == kDeltaFeature && s.detail == "delta release notes";
  }));
}

TEST_F(UpdatePackagesTest, DeltaOnlyRunsOverTheWholeBar) {
  PublishDelta();
  const std::vector<UpdateWindowSample> samples = RunWatched("updatekorvadelta", "2");

  EXPECT_EQ("delta 2", ReadHostFile(InstallDirHost() + "/plugins/boost.txt"));
  EXPECT_EQ(std::to_string(kInstalledMainVersion), VersionIn("updatekorva"));
  EXPECT_EQ("2", VersionIn("updatekorvadelta"));
  const std::vector<StatisticsPost> posts = UpdatePosts();
  ASSERT_EQ(1u, posts.size());
  ExpectPost(posts[0], 2, 0, "更新成功");
  EXPECT_EQ(0u, DownloadsOf("korva.7z"));
  ExpectPackageArchivesGone();
  ASSERT_TRUE(WaitForRunsOf("launch.exe", 1));

  // Download 0-50, unpacking 50-99.
  const std::vector<int> delta = ValuesWith(samples, kDeltaFeature);
  EXPECT_TRUE(AnyIn(delta, 1, 50));
  ExpectOnlyAfterDone(samples);
}

TEST_F(UpdatePackagesTest, DeltaNoLongerNewerAfterMainPackageIsSkipped) {
  // The main package brings an update.json that already records delta 2.
  PublishMain(UpdateJsonText(service().VersionCheckUrl(), 1, 200, 2));
  PublishDelta();
  const std::vector<UpdateWindowSample> samples = RunWatched("updatekorva", "201");

  EXPECT_EQ("201", VersionIn("updatekorva"));
  EXPECT_EQ("2", VersionIn("updatekorvadelta"));
  EXPECT_FALSE(HostExists(InstallDirHost() + "/plugins/boost.txt"));
  EXPECT_EQ(0u, DownloadsOf("delta-2.7z"));
  EXPECT_EQ((std::vector<std::string>{"1", "2"}), VersionChecksOf("korva_delta"));
  const std::vector<StatisticsPost> posts = UpdatePosts();
  ASSERT_EQ(1u, posts.size());
  ExpectPost(posts[0], 1, 0, "更新成功");
  ASSERT_TRUE(WaitForRunsOf("launch.exe", 1));

  // From the main package's shares straight to 99 and 100: no delta stage.
  for (const UpdateWindowSample& s : samples) {
    EXPECT_TRUE(s.progress <= 90 || s.progress == 99 || s.progress == 100) << s.progress;
    EXPECT_NE(kDeltaFeature, s.feature);
  }
  ExpectOnlyAfterDone(samples);
}

}  // namespace
}  // namespace testing_support
