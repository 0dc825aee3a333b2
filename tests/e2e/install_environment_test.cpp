// The checks made when the user presses the install button: each failure
// shows its box and leaves the main window ready for another try; a running
// copy of the product is ended on request.
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "support/e2e_installer.h"
#include "support/stub_program.h"

namespace testing_support {
namespace {

using EnvironmentTest = InstallerE2eTest;

bool ProcessGone(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return true;
  size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

// The main window is shown, usable and its install button can be pressed.
void ExpectReady(HWND main) {
  WindowState state;
  ASSERT_TRUE(WaitUntil([&] { return GetWindowState(main, &state) && state.enabled; }, 30000));
  EXPECT_TRUE(state.visible);
  ControlState install;
  ASSERT_TRUE(FindControlState(main, "ButtonInstall", &install));
  EXPECT_TRUE(install.visible && install.enabled);
}

TEST_F(EnvironmentTest, EachFailedCheckShowsItsBoxAndTheWindowStaysReady) {
  // The install directory would go below a file: it cannot be created.
  const std::string blocker = machine().c() + "/Blocked";
  WriteHostFile(blocker, "not a directory");
  installer().WriteInstallJson(service().BaseUrl(), "C:/Blocked/");
  ProgramRun run;
  HWND main = StartAndWaitForMainWindow(&run);
  ASSERT_NE(nullptr, main);

  struct Case {
    const char* what;
    std::function<void()> arrange;
    const char* text;
    const char* button;  // how the user closes the box
    const char* logLine;
  };
  const Case cases[] = {
      {"bad path", [] {}, "安装路径不合法，请重新选择", "ButtonYes", "install path is invalid ."},
      {"offline",
       [&] {
         std::filesystem::remove(blocker);
         SetMachineFacts(R"({"network": "offline"})");
       },
       "网络异常，请您检查网络后再重试", "ButtonClose", "network is not ok ."},
      {"no space", [&] { SetMachineFacts(R"({"drives": {"C": {"free_bytes": 1000}}})"); },
       "磁盘空间不足，请清理空间后再试", "ButtonYes", "disk space is not enough ."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.arrange();
    std::string text;
    HWND box = PressForMessageBox(run, main, "ButtonInstall", &text);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(c.text, text);
    EXPECT_EQ("提示", ControlText(box, "LabelTitle"));
    ControlState yes, no;
    ASSERT_TRUE(FindControlState(box, "ButtonYes", &yes));
    ASSERT_TRUE(FindControlState(box, "ButtonNo", &no));
    EXPECT_EQ("确定", yes.text);
    EXPECT_FALSE(no.visible);
    WindowState boxState;
    ASSERT_TRUE(GetWindowState(box, &boxState));
    EXPECT_EQ(main, boxState.owner);
    EXPECT_EQ("KorvaMessageBox", boxState.title);
    AnswerMessageBox(box, c.button);
    ExpectReady(main);
    EXPECT_NE(std::string::npos, LogText().find(c.logLine));
    EXPECT_TRUE(TopLevelWindows(run.pid()).size() == 1u) << "only the main window is left";
  }

  // All well again: the same window installs.
  SetMachineFacts("{}");
  ASSERT_TRUE(InstallAndClose(&run, main));
  EXPECT_EQ(1u, InstallPosts().size());
}

TEST_F(EnvironmentTest, RunningProgramIsEndedWhenTheUserAgrees) {
  const int running = StartRunningMainProgram();
  ASSERT_GT(running, 0);
  ProgramRun run;
  HWND main = StartAndWaitForMainWindow(&run);
  ASSERT_NE(nullptr, main);

  // Closing the confirmation changes nothing.
  std::string text;
  HWND box = PressForMessageBox(run, main, "ButtonInstall", &text);
  ASSERT_NE(nullptr, box);
  EXPECT_EQ("检测到Korva正在运行，您确定要关闭加速器覆盖安装吗?", text);
  EXPECT_EQ("取消", ControlText(box, "ButtonNo"));
  AnswerMessageBox(box, "ButtonClose");
  ExpectReady(main);
  EXPECT_FALSE(ProcessGone(running));

  box = PressForMessageBox(run, main, "ButtonInstall");
  ASSERT_NE(nullptr, box);
  AnswerMessageBox(box, "ButtonYes");
  EXPECT_TRUE(WaitUntil([&] { return ProcessGone(running); }, kWindowTimeoutMs));
  HWND complete = WaitForWindow(kCompleteWindow, run.pid(), kInstallTimeoutMs, true);
  ASSERT_NE(nullptr, complete) << LogText();
  Finish(&run, complete, "ButtonClose");
  std::wstring location;
  EXPECT_TRUE(UninstallValue(L"InstallLocation", &location));
}

TEST_F(EnvironmentTest, RunningProgramRefusedQuitsWithoutInstalling) {
  const int running = StartRunningMainProgram();
  ASSERT_GT(running, 0);
  ProgramRun run;
  HWND main = StartAndWaitForMainWindow(&run);
  ASSERT_NE(nullptr, main);

  HWND box = PressForMessageBox(run, main, "ButtonInstall");
  ASSERT_NE(nullptr, box);
  ASSERT_TRUE(Click(box, "ButtonNo"));
  ExpectEndsCleanly(&run);

  EXPECT_FALSE(ProcessGone(running));
  std::wstring location;
  EXPECT_FALSE(UninstallValue(L"InstallLocation", &location));
  EXPECT_TRUE(InstallPosts().empty());
  EXPECT_FALSE(HostExists(installer().dir() + "/skin/skin_back.zip"));
}

}  // namespace
}  // namespace testing_support
