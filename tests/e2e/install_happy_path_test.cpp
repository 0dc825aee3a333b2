// A user installs the product: reads the licence, picks a directory in the
// custom view, installs and starts the program from the completion window.
#include <string>

#include <duilib/UIlib.h>
#include <shlobj.h>

#include "internal/machine.h"
#include "internal/unicode.h"
#include "support/e2e_installer.h"
#include "support/stub_program.h"

namespace testing_support {
namespace {

using HappyPathTest = InstallerE2eTest;

ControlState StateOf(HWND window, const std::string& name) {
  ControlState state;
  EXPECT_TRUE(FindControlState(window, name, &state)) << "no control " << name;
  return state;
}

std::string CommonFolderHost(int csidl) {
  WCHAR path[MAX_PATH] = {0};
  if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, 0, path))) return std::string();
  return win32::HostPathOrEmpty(path);
}

TEST_F(HappyPathTest, LicenceCustomDirectoryAndQuickStart) {
  // 6 GiB free on C:; the download trickles so the progress window can be watched.
  SetMachineFacts(R"({"drives": {"C": {"free_bytes": 6442450944}}})");
  MakeHostDirs(machine().c() + "/Games");
  // The program to start lies below the install directory.
  installer().WriteInstallJson(service().BaseUrl(), "C:/Program Files/", "bin/korva.exe");
  DownloadFaults slow;
  slow.trickleDelayMs = 8;
  service().SetFaults("korva.7z", slow);

  ProgramRun run;
  HWND main = StartAndWaitForMainWindow(&run);
  ASSERT_NE(nullptr, main);
  WindowState mainState;
  ASSERT_TRUE(GetWindowState(main, &mainState));
  EXPECT_EQ("Korva主窗口", mainState.title);
  EXPECT_TRUE(mainState.marked);
  EXPECT_TRUE(HostExists(installer().dir() + "/skin/skin_back.zip"));

  // Compact view first.
  EXPECT_FALSE(StateOf(main, "VerticalLayoutCustom").visible);
  EXPECT_EQ(460, StateOf(main, "VerticalLayoutOverall").fixedHeight);
  EXPECT_EQ("defaultStyle.png", StateOf(main, "ButtonChangeStyle").bkimage);

  // The text beside the check box toggles it, and the install button follows.
  ASSERT_TRUE(Click(main, "ButtonAgreeProtocal"));
  ASSERT_TRUE(WaitUntil([&] { return StateOf(main, "CheckBoxAgreeProtocal").checked == "no"; }, kWindowTimeoutMs));
  EXPECT_FALSE(StateOf(main, "ButtonInstall").enabled);
  EXPECT_FALSE(Click(main, "ButtonInstall"));
  ASSERT_TRUE(Click(main, "ButtonAgreeProtocal"));
  ASSERT_TRUE(WaitUntil([&] { return StateOf(main, "ButtonInstall").enabled; }, kWindowTimeoutMs));
  EXPECT_EQ("yes", StateOf(main, "CheckBoxAgreeProtocal").checked);

  // The licence window shows License.rtf beside the installer, over a disabled main window.
  ASSERT_TRUE(Click(main, "ButtonProtocal"));
  HWND licence = WaitForWindow(kLicenceWindow, run.pid(), kWindowTimeoutMs, true);
  ASSERT_NE(nullptr, licence);
  // Marked and modal once it runs its own loop.
  WindowState licenceState;
  EXPECT_TRUE(WaitUntil([&] { return GetWindowState(licence, &licenceState) && licenceState.marked; },
                        kWindowTimeoutMs));
  EXPECT_EQ("Korva协议", licenceState.title);
  EXPECT_EQ(main, licenceState.owner);
  EXPECT_TRUE(WaitUntil([&] { return GetWindowState(main, &mainState) && !mainState.enabled; }, kWindowTimeoutMs));
  const std::wstring expected = DuiLib::RtfToText(ReadHostFile(installer().dir() + "/License.rtf"));
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(win32::WideToUtf8(expected), ControlText(licence, "RichEditProtocal"));
  ASSERT_TRUE(Click(licence, "ButtonConfirm"));
  ASSERT_TRUE(WaitForNoWindow(kLicenceWindow, run.pid(), kWindowTimeoutMs));
  ASSERT_TRUE(WaitUntilEnabled(main, kWindowTimeoutMs));

  // The custom view shows the directory and the space labels.
  ASSERT_TRUE(Click(main, "ButtonCustom"));
  ASSERT_TRUE(WaitUntil([&] { return StateOf(main, "VerticalLayoutCustom").visible; }, kWindowTimeoutMs));
  EXPECT_EQ(550, StateOf(main, "VerticalLayoutOverall").fixedHeight);
  EXPECT_EQ(90, StateOf(main, "VerticalLayoutCustom").fixedHeight);
  EXPECT_EQ(460, StateOf(main, "VerticalLayoutDefault").fixedHeight);
  EXPECT_EQ("customStyle.png", StateOf(main, "ButtonChangeStyle").bkimage);
  EXPECT_EQ("C:\\Program Files\\korva\\", ControlText(main, "EditDirectory"));
  EXPECT_EQ("空间：180.36MB", ControlText(main, "LabelNeededSpace"));
  EXPECT_EQ("可用空间：6.00GB", ControlText(main, "LabelAvailSpace"));

  // The folder browser picks C:\Games; the product gets its own folder there.
  ASSERT_TRUE(Click(main, "ButtonBrowser"));
  ASSERT_TRUE(AnswerFolderBrowser("C:\\Games", kWindowTimeoutMs));
  ASSERT_TRUE(WaitForControlText(main, "EditDirectory", "C:\\Games\\korva\\", kWindowTimeoutMs));
  EXPECT_EQ("可用空间：6.00GB", ControlText(main, "LabelAvailSpace"));

  // Installing: the main window hides while the progress window shows the download.
  ASSERT_TRUE(Click(main, "ButtonInstall"));
  HWND progress = WaitForWindow(kProgressWindow, run.pid(), kWindowTimeoutMs, true);
  ASSERT_NE(nullptr, progress);
  EXPECT_TRUE(WaitForControlText(progress, "LabelInstallText", "下载必要组件(", kWindowTimeoutMs));
  ASSERT_TRUE(GetWindowState(main, &mainState));
  EXPECT_FALSE(mainState.visible);

  HWND complete = WaitForWindow(kCompleteWindow, run.pid(), kInstallTimeoutMs, true);
  ASSERT_NE(nullptr, complete) << LogText();
  WindowState completeState;
  ASSERT_TRUE(GetWindowState(complete, &completeState));
  EXPECT_EQ("Korva完成", completeState.title);
  EXPECT_TRUE(WaitForNoWindow(kProgressWindow, run.pid(), kWindowTimeoutMs));

  Finish(&run, complete, "ButtonQuickStart");

  // The program was started in the chosen directory.
  std::vector<Json::Value> runs = WaitForStubRuns(machine(), 1, kWindowTimeoutMs);
  ASSERT_EQ(1u, runs.size());
  EXPECT_EQ("C:\\Games\\korva\\bin\\korva.exe", runs[0]["windows_path"].asString());
  EXPECT_EQ("C:\\Games\\korva", runs[0]["windows_cwd"].asString());

  // What the installation left.
  const std::string installDir = machine().c() + "/Games/korva";
  EXPECT_TRUE(HostExists(installDir + "/readme.txt"));
  EXPECT_TRUE(HostExists(installDir + "/bin/route.dat"));
  EXPECT_TRUE(HostExists(installDir + "/update/update.exe"));
  EXPECT_TRUE(HostExists(installDir + "/update/skin/skin.zip"));
  EXPECT_FALSE(HostExists(InstallDirHost()));
  std::wstring location;
  ASSERT_TRUE(UninstallValue(L"InstallLocation", &location));
  EXPECT_EQ(L"C:\\Games\\korva\\", location);
  EXPECT_TRUE(HostExists(CommonFolderHost(CSIDL_COMMON_DESKTOPDIRECTORY) + "/Korva.lnk"));
  EXPECT_FALSE(HostExists(DataDirHost() + "/korva.7z"));
  EXPECT_FALSE(HostExists(installer().dir() + "/skin/skin_back.zip"));

  std::vector<StatisticsPost> posts = InstallPosts();
  ASSERT_EQ(1u, posts.size());
  EXPECT_NE(std::string::npos, posts[0].body.find("errorCode=0&"));
}

TEST_F(HappyPathTest, FinishingWithoutQuickStartStartsNothing) {
  ProgramRun run;
  HWND main = StartAndWaitForMainWindow(&run);
  ASSERT_NE(nullptr, main);
  ASSERT_TRUE(InstallAndClose(&run, main));
  EXPECT_TRUE(StubRuns(machine()).empty());
  EXPECT_TRUE(HostExists(InstallDirHost() + "/korva.exe"));
  std::wstring location;
  ASSERT_TRUE(UninstallValue(L"InstallLocation", &location));
  EXPECT_EQ(L"C:\\Program Files\\korva\\", location);
}

}  // namespace
}  // namespace testing_support
