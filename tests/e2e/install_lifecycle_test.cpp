// How the installer ends and starts: the quit confirmation, a failed
// installation, failures at start-up, a second start while one runs, and an
// installation over an earlier one.
#include <cstdio>
#include <functional>
#include <string>

#include "support/e2e_installer.h"
#include "support/stub_program.h"

namespace testing_support {
namespace {

using LifecycleTest = InstallerE2eTest;

int CountOf(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST_F(LifecycleTest, QuitConfirmation) {
  ProgramRun run;
  HWND main = StartAndWaitForMainWindow(&run);
  ASSERT_NE(nullptr, main);
  const std::string backup = installer().dir() + "/skin/skin_back.zip";
  EXPECT_TRUE(HostExists(backup));

  // "取消" and the box's own close button both keep the installer running.
  for (const char* keep : {"ButtonNo", "ButtonClose"}) {
    SCOPED_TRACE(keep);
    std::string text;
    HWND box = PressForMessageBox(run, main, "ButtonClose", &text);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ("您确定要退出安装吗?", text);
    EXPECT_EQ("确定", ControlText(box, "ButtonYes"));
    EXPECT_EQ("取消", ControlText(box, "ButtonNo"));
    AnswerMessageBox(box, keep);
    ASSERT_TRUE(WaitUntilEnabled(main, kWindowTimeoutMs));
    EXPECT_TRUE(run.Running());
  }

  HWND box = PressForMessageBox(run, main, "ButtonClose");
  ASSERT_NE(nullptr, box);
  ASSERT_TRUE(Click(box, "ButtonYes"));
  ExpectEndsCleanly(&run);
  EXPECT_FALSE(HostExists(backup));
  EXPECT_TRUE(HostExists(installer().dir() + "/skin/skin.zip"));
  EXPECT_TRUE(InstallPosts().empty());
}

TEST_F(LifecycleTest, DamagedPackageShowsDownloadFailureAndEnds) {
  DownloadFaults damaged;
  damaged.corruptMd5 = true;
  service().SetFaults("korva.7z", damaged);
  ProgramRun run;
  HWND main = StartAndWaitForMainWindow(&run);
  ASSERT_NE(nullptr, main);

  std::string text;
  HWND box = PressForMessageBox(run, main, "ButtonInstall", &text);
  ASSERT_NE(nullptr, box);
  EXPECT_EQ("下载失败", text);
  // The progress window is gone and never reached its end.
  EXPECT_TRUE(WaitForNoWindow(kProgressWindow, run.pid(), kWindowTimeoutMs));
  std::vector<StatisticsPost> posts = InstallPosts();
  ASSERT_EQ(1u, posts.size());
  EXPECT_NE(std::string::npos, posts[0].body.find("errorCode=1&"));

  ASSERT_TRUE(Click(box, "ButtonYes"));
  ExpectEndsCleanly(&run);
  EXPECT_EQ(1u, InstallPosts().size());
  EXPECT_EQ(1, CountOf(LogText(), "the downloaded package is damaged ."));
  std::wstring location;
  EXPECT_FALSE(UninstallValue(L"InstallLocation", &location));
  EXPECT_FALSE(HostExists(installer().dir() + "/skin/skin_back.zip"));
}

TEST_F(LifecycleTest, FailuresAtStartShowABoxWithoutParentAndEnd) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
    const char* text;
  };
  const Case cases[] = {
      {"offline", [&] { SetMachineFacts(R"({"network": "offline"})"); }, "网络异常，请您检查网络后再重试"},
      {"no configuration",
       [&] {
         SetMachineFacts("{}");
         std::remove((installer().dir() + "/install.json").c_str());
       },
       "程序初始化失败"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.arrange();
    ProgramRun run;
    StartInstaller(&run);
    std::string text;
    HWND box = WaitForMessageBox(run, &text);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(c.text, text);
    WindowState state;
    ASSERT_TRUE(GetWindowState(box, &state));
    EXPECT_EQ(nullptr, state.owner);
    ASSERT_TRUE(Click(box, "ButtonYes"));
    ExpectEndsCleanly(&run);
  }
  EXPECT_TRUE(service().RequestsTo(kVersionCheckPath).empty());
}

TEST_F(LifecycleTest, SecondStartBringsTheFirstForward) {
  ProgramRun first;
  HWND main = StartAndWaitForMainWindow(&first);
  ASSERT_NE(nullptr, main);

  for (const char* away : {"hide", "minimize"}) {
    SCOPED_TRACE(away);
    ASSERT_TRUE(WindowCommand(main, away, {}));
    WindowState state;
    ASSERT_TRUE(WaitUntil([&] { return GetWindowState(main, &state) && (!state.visible || state.minimized); },
                          kWindowTimeoutMs));

    ProgramRun second;
    StartInstaller(&second);
    ExpectEndsCleanly(&second);
    EXPECT_TRUE(TopLevelWindows(second.pid()).empty());
    EXPECT_TRUE(WaitUntilShown(main, kWindowTimeoutMs)) << "the first installer did not show itself";
  }

  // The first installer still works as before.
  EXPECT_TRUE(first.Running());
  ASSERT_TRUE(InstallAndClose(&first, main));
}

TEST_F(LifecycleTest, RepeatedStartRequestRunsOneInstallation) {
  ProgramRun run;
  HWND main = StartAndWaitForMainWindow(&run);
  ASSERT_NE(nullptr, main);
  // As after a double click on the install button.
  const UINT kMsgStartInstall = WM_USER + 5;
  ASSERT_TRUE(PostMessageW(main, kMsgStartInstall, 0, 0));
  ASSERT_TRUE(PostMessageW(main, kMsgStartInstall, 0, 0));

  HWND complete = WaitForWindow(kCompleteWindow, run.pid(), kInstallTimeoutMs, true);
  ASSERT_NE(nullptr, complete) << LogText();
  Finish(&run, complete, "ButtonClose");
  EXPECT_EQ(1, CountOf(LogText(), "start to download package ."));
  EXPECT_EQ(1u, InstallPosts().size());
}

TEST_F(LifecycleTest, EarlierInstallationFixesTheDirectoryAndIsRemovedFirst) {
  MakeHostDirs(machine().c() + "/Games");
  {
    ProgramRun run;
    HWND main = StartAndWaitForMainWindow(&run);
    ASSERT_NE(nullptr, main);
    ASSERT_TRUE(Click(main, "ButtonCustom"));
    ASSERT_TRUE(Click(main, "ButtonBrowser"));
    ASSERT_TRUE(AnswerFolderBrowser("C:\\Games", kWindowTimeoutMs));
    ASSERT_TRUE(WaitForControlText(main, "EditDirectory", "C:\\Games\\korva\\", kWindowTimeoutMs));
    ASSERT_TRUE(InstallAndClose(&run, main));
  }
  const std::string installDir = machine().c() + "/Games/korva";
  ASSERT_TRUE(HostExists(installDir + "/korva.exe"));
  WriteHostFile(installDir + "/left-by-the-user.txt", "old");

  ProgramRun run;
  HWND main = StartAndWaitForMainWindow(&run);
  ASSERT_NE(nullptr, main);
  ASSERT_TRUE(Click(main, "ButtonCustom"));
  ASSERT_TRUE(WaitForControlText(main, "EditDirectory", "C:\\Games\\korva\\", kWindowTimeoutMs));
  ControlState browser, row;
  ASSERT_TRUE(FindControlState(main, "ButtonBrowser", &browser));
  EXPECT_FALSE(browser.visible);
  EXPECT_FALSE(browser.enabled);
  ASSERT_TRUE(FindControlState(main, "HorizontalLayoutDirectory", &row));
  EXPECT_EQ("directory_noSplit.png", row.bkimage);
  EXPECT_FALSE(Click(main, "ButtonBrowser"));

  ASSERT_TRUE(InstallAndClose(&run, main));

  // The old copy went first, the new one is where the window said.
  const std::string log = LogText();
  EXPECT_EQ(1, CountOf(log, "have uninstall the installed program."));
  EXPECT_FALSE(HostExists(installDir + "/left-by-the-user.txt"));
  EXPECT_TRUE(HostExists(installDir + "/korva.exe"));
  EXPECT_TRUE(HostExists(installDir + "/update/update.exe"));
  EXPECT_FALSE(HostExists(InstallDirHost()));
  std::wstring location;
  ASSERT_TRUE(UninstallValue(L"InstallLocation", &location));
  EXPECT_EQ(L"C:\\Games\\korva\\", location);
  EXPECT_EQ(2u, InstallPosts().size());
}

}  // namespace
}  // namespace testing_support
