// The updater of an installation that is up to date, offline, or whose
// update.json cannot be read: the launcher or one notice, nothing else.
#include "update_e2e.h"

namespace testing_support {
namespace {

using UpdateCurrentTest = UpdaterE2eTest;

TEST_F(UpdateCurrentTest, NothingNewerStartsLauncherAtOnceAndTakesOverDeliveredSkin) {
  // A new skin delivered beside the updater replaces the installed one,
  // which here could not even be loaded.
  const std::string skin = UpdateDirHost() + "/skin/skin.zip";
  const std::string goodSkin = ReadHostFile(skin);
  WriteHostFile(UpdateDirHost() + "/skin.zip", goodSkin);
  WriteHostFile(skin, "not an archive");

  ProgramRun run;
  StartUpdater(&run);
  UpdateWindowWatcher watcher(run.pid());
  ExpectUpdaterEnds(&run);
  watcher.Stop();

  ASSERT_TRUE(WaitForRunsOf("launch.exe", 1));
  ExpectLauncherRun(RunsOf("launch.exe")[0]);
  EXPECT_TRUE(RunsOf("korva.exe").empty());
  EXPECT_FALSE(watcher.ReappearedAfterHiding());
  EXPECT_EQ(goodSkin, ReadHostFile(skin));
  EXPECT_FALSE(HostExists(UpdateDirHost() + "/skin.zip"));

  // It asked about all three packages, fetched and reported nothing.
  EXPECT_EQ(std::vector<std::string>{std::to_string(kInstalledUpdaterVersion)}, VersionChecksOf("korva_update"));
  EXPECT_EQ(std::vector<std::string>{std::to_string(kInstalledMainVersion)}, VersionChecksOf("korva"));
  EXPECT_EQ(std::vector<std::string>{std::to_string(kInstalledDeltaVersion)}, VersionChecksOf("korva_delta"));
  EXPECT_EQ(3u, UpdaterRequests().size());
  EXPECT_TRUE(UpdatePosts().empty());
  EXPECT_EQ(InstalledConfig(), ReadHostFile(ProductConfigHost()));
  const std::string log = UpdateLogText();
  EXPECT_NE(std::string::npos, log.find("no need update Korva and KorvaDelta, now run launch.exe")) << log;
  EXPECT_NE(std::string::npos, log.find("OnPrepare Out.")) << log;

  // A directory of that name is no delivered skin.
  MakeHostDirs(UpdateDirHost() + "/skin.zip/inner");
  ProgramRun again;
  StartUpdater(&again);
  ExpectUpdaterEnds(&again);
  EXPECT_TRUE(WaitForRunsOf("launch.exe", 2));
  EXPECT_TRUE(HostExists(UpdateDirHost() + "/skin.zip/inner"));
  EXPECT_EQ(goodSkin, ReadHostFile(skin));

  // A delivered skin that cannot be put in place stays for the next start
  // (with no usable skin the program ends without a window).
  std::filesystem::remove_all(UpdateDirHost() + "/skin.zip");
  WriteHostFile(UpdateDirHost() + "/skin.zip", goodSkin);
  std::filesystem::remove(skin);
  MakeHostDirs(skin);
  ProgramRun blocked;
  StartUpdater(&blocked);
  ExpectUpdaterEnds(&blocked);
  EXPECT_EQ(goodSkin, ReadHostFile(UpdateDirHost() + "/skin.zip"));
  EXPECT_EQ(2u, RunsOf("launch.exe").size());
}

// Only code 2 means newer: replies with another code, carrying the data of
// packages that are there to fetch, make the updater fetch nothing.
TEST_F(UpdateCurrentTest, RepliesWithAnotherCodeFetchNothing) {
  for (const char* name : {"korva_update", "korva", "korva_delta"}) {
    const std::string file = std::string(name) + ".7z";
    Publish(name, 900, "9.0", "not offered", file, {{"korva.exe", "not offered"}});
    const std::string body = "{\"code\":3,\"data\":{\"versionCode\":900,\"versionName\":\"9.0\",\"downloadUrl\":\"" +
                             service().PackageUrl(file) + "\",\"text\":\"t\",\"size\":100,\"md5\":\"" +
                             ServiceMd5(ReadHostFile(scratch() + "/service/" + file)) + "\"}}";
    service().SetVersionReply(name, 200, body);
  }
  ProgramRun run;
  StartUpdater(&run);
  ExpectUpdaterEnds(&run);

  ASSERT_TRUE(WaitForRunsOf("launch.exe", 1));
  EXPECT_EQ(3u, UpdaterRequests().size());
  for (const RecordedRequest& request : UpdaterRequests()) EXPECT_EQ(kVersionCheckPath, request.path);
  EXPECT_TRUE(UpdatePosts().empty());
  EXPECT_EQ(InstalledConfig(), ReadHostFile(ProductConfigHost()));
  EXPECT_NE(std::string::npos, UpdateLogText().find("no need update Korva and KorvaDelta, now run launch.exe"));
}

TEST_F(UpdateCurrentTest, OfflineShowsNetworkNoticeAndTouchesNothing) {
  SetMachineFacts(R"({"network": "offline"})");

  // The notice only informs: closing it ends the program.
  RunThroughNotice("网络连接异常，请检查网络后再试", "ButtonYes");

  EXPECT_TRUE(UpdaterRequests().empty());
  EXPECT_TRUE(StubRuns(machine()).empty());
  EXPECT_EQ(InstalledConfig(), ReadHostFile(ProductConfigHost()));
  EXPECT_NE(std::string::npos, UpdateLogText().find("network is bad."));
}

TEST_F(UpdateCurrentTest, UnreadableConfigShowsConfigNoticeAndTouchesNothing) {
  const std::string broken = "{\"updateurl\": \"" + service().VersionCheckUrl() + "\", \"updatekorva\": ";
  WriteHostFile(ProductConfigHost(), broken);

  RunThroughNotice("初始化配置文件错误", "ButtonClose");

  EXPECT_TRUE(UpdaterRequests().empty());
  EXPECT_TRUE(StubRuns(machine()).empty());
  EXPECT_EQ(broken, ReadHostFile(ProductConfigHost()));
  EXPECT_NE(std::string::npos, UpdateLogText().find("failed to init config from update.json."));
}

}  // namespace
}  // namespace testing_support
