// The winauto tool against the windows of a real process.
#include <gtest/gtest.h>

#include <windows.h>

#include <fcntl.h>
#include <spawn.h>

#include "helpers/window_app.h"
#include "support/temp_machine.h"

extern char** environ;

using testing_support::TempMachine;
using window_app::App;
using window_app::AwaitLine;

namespace {

struct Result {
  int code = -1;
  std::string out, err;
};

Result Winauto(const TempMachine& machine, const std::vector<std::string>& args) {
  const std::string tool = std::string(KORVA_BUILD_DIR) + "/platform/tools/winauto";
  const std::string outPath = machine.dir() + "/winauto.out", errPath = machine.dir() + "/winauto.err";
  std::vector<std::string> argv{tool};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> raw;
  for (auto& a : argv) raw.push_back(const_cast<char*>(a.c_str()));
  raw.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  Result result;
  pid_t pid = 0;
  if (posix_spawn(&pid, tool.c_str(), &actions, nullptr, raw.data(), environ) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  result.out = window_app::ReadLog(outPath);
  result.err = window_app::ReadLog(errPath);
  return result;
}

std::string Handle(HWND hwnd) { return win32::station::FormatHandle(hwnd); }

std::string ListLine(const TempMachine& machine, HWND hwnd) {
  std::istringstream lines(Winauto(machine, {"list"}).out);
  std::string line;
  while (std::getline(lines, line))
    if (line.compare(0, Handle(hwnd).size() + 1, Handle(hwnd) + " ") == 0) return line;
  return "";
}

}  // namespace

TEST(Winauto, ListsWaitsForAndPostsToAWindowOfAnotherProcess) {
  TempMachine machine;
  App app("hidden", machine.dir() + "/app.log");
  ASSERT_TRUE(app.hwnd());

  std::string line = ListLine(machine, app.hwnd());
  EXPECT_NE(std::string::npos, line.find("pid=" + std::to_string(app.pid()))) << line;
  EXPECT_NE(std::string::npos, line.find("class=\"TestAppWnd\" title=\"Test App\"")) << line;
  EXPECT_NE(std::string::npos, line.find("visible=0 minimized=0")) << line;
  EXPECT_NE(std::string::npos, line.find("props=KorvaTool=1")) << line;

  Result wait = Winauto(machine, {"wait", "--prop", "korvatool", "--class", "testappwnd", "--timeout", "5"});
  EXPECT_EQ(0, wait.code) << wait.err;
  EXPECT_EQ(Handle(app.hwnd()) + "\n", wait.out);

  // Waiting for it to be visible times out and says what it waited for.
  Result visible = Winauto(machine, {"wait", "--class", "TestAppWnd", "--visible", "--timeout", "0.3"});
  EXPECT_EQ(3, visible.code);
  EXPECT_NE(std::string::npos, visible.err.find("class \"TestAppWnd\"")) << visible.err;

  Result post = Winauto(machine, {"post", Handle(app.hwnd()), "WM_USER+10", "77", "0"});
  EXPECT_EQ(0, post.code) << post.err;
  EXPECT_FALSE(AwaitLine(app.log(), "value 77").empty());

  // Show and minimise run in the app itself; the walk sees the result.
  EXPECT_EQ(0, Winauto(machine, {"show", Handle(app.hwnd())}).code);
  EXPECT_EQ(0, Winauto(machine, {"wait", "--pid", std::to_string(app.pid()), "--visible", "--timeout", "5"}).code);
  EXPECT_EQ(0, Winauto(machine, {"minimize", Handle(app.hwnd())}).code);
  EXPECT_NE(std::string::npos, ListLine(machine, app.hwnd()).find("visible=1 minimized=1"));
  EXPECT_EQ(0, Winauto(machine, {"restore", Handle(app.hwnd())}).code);
  EXPECT_NE(std::string::npos, ListLine(machine, app.hwnd()).find("visible=1 minimized=0"));

  EXPECT_EQ(0, Winauto(machine, {"post", Handle(app.hwnd()), "0x403", "0", "0"}).code);  // WM_USER+3
  Result gone = Winauto(machine, {"wait-gone", "--class", "TestAppWnd", "--timeout", "5"});
  EXPECT_EQ(0, gone.code) << gone.err;
  EXPECT_EQ(0, app.Wait());

  Result missing = Winauto(machine, {"post", Handle(app.hwnd()), "WM_USER+4", "0", "0"});
  EXPECT_EQ(2, missing.code);
  EXPECT_NE(std::string::npos, missing.err.find("no window")) << missing.err;
  EXPECT_EQ(2, Winauto(machine, {"show", Handle(app.hwnd())}).code);
  EXPECT_EQ(1, Winauto(machine, {"post", Handle(app.hwnd()), "WM_BOGUS", "0", "0"}).code);
}

TEST(Winauto, ControlCommandsRunOnTheOwningThreadInOrderWithPostedMessages) {
  TempMachine machine;
  App app("shown", machine.dir() + "/app.log");
  ASSERT_TRUE(app.hwnd());
  const std::string h = Handle(app.hwnd());

  Result echo = Winauto(machine, {"ctl", h, "echo", "a b", "--c"});
  EXPECT_EQ(0, echo.code) << echo.err;
  EXPECT_EQ("a b --c\n", echo.out);
  EXPECT_EQ("owner\n", Winauto(machine, {"ctl", h, "thread"}).out);
  EXPECT_EQ("owner\n", Winauto(machine, {"thread", h}).out) << "unknown commands are forwarded";

  // A command sent after a posted message sees that message handled.
  for (int i = 1; i <= 5; ++i) PostMessageW(app.hwnd(), window_app::kMsgValue, i, 0);
  EXPECT_EQ("5\n", Winauto(machine, {"ctl", h, "last"}).out);

  Result missing = Winauto(machine, {"ctl", h, "missing"});
  EXPECT_EQ(2, missing.code);
  EXPECT_NE(std::string::npos, missing.err.find("no control Missing"));
  Result unknown = Winauto(machine, {"ctl", h, "frobnicate"});
  EXPECT_EQ(1, unknown.code);
  EXPECT_NE(std::string::npos, unknown.err.find("unknown command: frobnicate"));

  // Waiting for a command to succeed: gives up with exit 3 and the last reply.
  Result waited = Winauto(machine, {"ctl", "--timeout", "0.3", h, "missing"});
  EXPECT_EQ(3, waited.code);
  EXPECT_NE(std::string::npos, waited.err.find("no control Missing")) << waited.err;
  PostMessageW(app.hwnd(), window_app::kMsgQuit, 0, 0);
  EXPECT_EQ(0, app.Wait());
}

TEST(Winauto, AnswersTheFolderBrowserOfAnotherProcess) {
  TempMachine machine;
  testing_support::MakeHostDirs(machine.c() + "/Games");
  App app("shown", machine.dir() + "/app.log");
  ASSERT_TRUE(app.hwnd());

  PostMessageW(app.hwnd(), window_app::kMsgBrowse, 0, 0);
  Result wrong = Winauto(machine, {"browse-answer", "C:\\NoSuchFolder"});
  EXPECT_EQ(2, wrong.code) << wrong.err;
  // The browser is modal: the owner is disabled while it runs.
  std::string browser = Winauto(machine, {"wait", "--class", "#32770", "--timeout", "5"}).out;
  EXPECT_FALSE(browser.empty());
  EXPECT_NE(std::string::npos, ListLine(machine, app.hwnd()).find("enabled=0"));
  Result answer = Winauto(machine, {"browse-answer", "c:/Games/"});
  EXPECT_EQ(0, answer.code) << answer.err;
  EXPECT_EQ("browse C:\\Games|Games", AwaitLine(app.log(), "browse"));
  EXPECT_EQ(0, Winauto(machine, {"wait-gone", "--class", "#32770", "--timeout", "5"}).code);
  EXPECT_NE(std::string::npos, ListLine(machine, app.hwnd()).find("enabled=1"));

  // A drive root keeps its backslash; a cancel gives no folder.
  PostMessageW(app.hwnd(), window_app::kMsgBrowse, 0, 0);
  EXPECT_EQ(0, Winauto(machine, {"browse-answer", "C:\\"}).code);
  ASSERT_FALSE(AwaitLine(app.log(), "browse C:\\|").empty());
  PostMessageW(app.hwnd(), window_app::kMsgBrowse, 0, 0);
  EXPECT_EQ(0, Winauto(machine, {"browse-cancel"}).code);
  EXPECT_FALSE(AwaitLine(app.log(), "browse cancelled").empty());

  // Quitting while the browser is open ends it and then the app's own loop.
  PostMessageW(app.hwnd(), window_app::kMsgBrowse, 0, 0);
  ASSERT_EQ(0, Winauto(machine, {"wait", "--class", "#32770", "--timeout", "5"}).code);
  PostMessageW(app.hwnd(), window_app::kMsgQuit, 0, 0);
  EXPECT_EQ(0, app.Wait());
  std::string log = window_app::ReadLog(app.log());
  EXPECT_NE(std::string::npos, log.find("ended"));
  EXPECT_EQ(2u, [&] {
    size_t n = 0;
    for (size_t at = 0; (at = log.find("browse cancelled", at)) != std::string::npos; ++at) ++n;
    return n;
  }());
}
