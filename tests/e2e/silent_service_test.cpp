// Services that accept the connection and never answer: the programs give up
// on them within the request limit and carry on as after a failed transfer.
#include <chrono>

#include "shared/transfer_limits.h"
#include "support/silent_service.h"
#include "support/update_json.h"
#include "update_e2e.h"

namespace testing_support {
namespace {

// Over the limits: a busy machine with a parallel run.
const int kSlackMs = 20000;
const int kRequestMs = static_cast<int>(kRequestTimeoutSeconds) * 1000;

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

using SilentInstallTest = InstallerE2eTest;

TEST_F(SilentInstallTest, SilentVersionCheckEndsInTheDownloadFailure) {
  SilentService silent;
  ASSERT_TRUE(silent.StartSilent());
  installer().WriteUpdateJson(silent.BaseUrl() + kVersionCheckPath);
  ProgramRun run;
  HWND main = StartAndWaitForMainWindow(&run);
  ASSERT_NE(nullptr, main);

  // The disk check asks for the package size, the run for the package: two
  // checks, each given up after the limit.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Click(main, "ButtonInstall"));
  HWND box = WaitForWindow(kMessageBox, run.pid(), 2 * kRequestMs + kSlackMs, true);
  ASSERT_NE(nullptr, box) << "no box after " << SecondsSince(start) << " s\n" << LogText();
  EXPECT_EQ("下载失败", ControlText(box, "TextContent"));
  EXPECT_GE(SecondsSince(start), 2 * kRequestTimeoutSeconds - 1);
  EXPECT_EQ(2, silent.connections());
  EXPECT_TRUE(service().RequestsTo(std::string(kPackagesPath) + "korva.7z").empty());
  std::vector<StatisticsPost> posts = InstallPosts();
  ASSERT_EQ(1u, posts.size());
  EXPECT_NE(std::string::npos, posts[0].body.find("errorCode=1&"));

  ASSERT_TRUE(Click(box, "ButtonYes"));
  ExpectEndsCleanly(&run);
}

TEST_F(SilentInstallTest, SilentStatisticsServiceStillCompletesTheInstallation) {
  SilentService silent;
  ASSERT_TRUE(silent.StartSilent());
  installer().WriteInstallJson(silent.BaseUrl());
  ProgramRun run;
  HWND main = StartAndWaitForMainWindow(&run);
  ASSERT_NE(nullptr, main);

  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Click(main, "ButtonInstall"));
  HWND complete = WaitForWindow(kCompleteWindow, run.pid(), kInstallTimeoutMs + kRequestMs + kSlackMs, true);
  ASSERT_NE(nullptr, complete) << "not complete after " << SecondsSince(start) << " s\n" << LogText();
  // The report was tried, and waited for.
  EXPECT_EQ(1, silent.connections());
  EXPECT_GE(SecondsSince(start), kRequestTimeoutSeconds - 1);
  EXPECT_NE(std::string::npos, LogText().find("finish to upload install result."));
  EXPECT_TRUE(HostExists(InstallDirHost() + "/update/update.exe"));
  std::wstring location;
  EXPECT_TRUE(UninstallValue(L"InstallLocation", &location));
  Finish(&run, complete, "ButtonClose");
}

using SilentUpdateTest = UpdaterE2eTest;

TEST_F(SilentUpdateTest, SilentUpdateServiceCountsAsNothingNewer) {
  SilentService silent;
  ASSERT_TRUE(silent.StartSilent());
  WriteHostFile(ProductConfigHost(), UpdateJsonText(silent.BaseUrl() + kVersionCheckPath, kInstalledUpdaterVersion,
                                                    kInstalledMainVersion, kInstalledDeltaVersion));
  const std::string config = ReadHostFile(ProductConfigHost());

  // The updater's own package, then the main and the delta package.
  const auto start = std::chrono::steady_clock::now();
  ProgramRun run;
  StartUpdater(&run);
  ExpectUpdaterEnds(&run, 3 * kRequestMs + kSlackMs);
  EXPECT_GE(SecondsSince(start), 3 * kRequestTimeoutSeconds - 1);
  ASSERT_TRUE(WaitForRunsOf("launch.exe", 1)) << UpdateLogText();
  ExpectLauncherRun(RunsOf("launch.exe")[0]);
  EXPECT_EQ(3, silent.connections());
  EXPECT_NE(std::string::npos, UpdateLogText().find("no need update Korva and KorvaDelta, now run launch.exe"));
  EXPECT_TRUE(UpdaterRequests().empty());
  EXPECT_TRUE(UpdatePosts().empty());
  EXPECT_EQ(config, ReadHostFile(ProductConfigHost()));
}

}  // namespace
}  // namespace testing_support
