// Windows of other processes of the machine: the walk, their state, posting
// to them, bringing them forward, and what a dead process leaves.
#include <gtest/gtest.h>

#include <windows.h>

#include <dirent.h>

#include "helpers/window_app.h"
#include "helpers/window_class.h"
#include "support/temp_machine.h"

using testing_support::TempMachine;
using window_app::App;
using window_app::AwaitLine;

namespace {

// What a second installer does: the first top-level window bearing the
// property, posted WM_USER+4 when minimised or hidden, then brought forward.
HWND BringOtherInstanceForward(bool* posted) {
  *posted = false;
  for (HWND h = GetWindow(GetDesktopWindow(), GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT)) {
    if (!GetPropW(h, L"KorvaTool")) continue;
    if (IsIconic(h) || !IsWindowVisible(h)) {
      *posted = PostMessageW(h, window_app::kMsgActivate, 0, 0) != 0;
    }
    SetForegroundWindow(h);
    return h;
  }
  return nullptr;
}

HWND OwnWindow(const wchar_t* title) {
  window_test::RegisterWindowClass(L"StationLocalWnd", DefWindowProcW);
  return CreateWindowExW(0, L"StationLocalWnd", title, WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, nullptr,
                         nullptr, nullptr, nullptr);
}

bool Walked(HWND hwnd) {
  for (HWND h = GetWindow(GetDesktopWindow(), GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT))
    if (h == hwnd) return true;
  return false;
}

}  // namespace

class SecondInstance : public ::testing::TestWithParam<const char*> {};

TEST_P(SecondInstance, FindsTheFirstByItsPropertyAndBringsItForward) {
  TempMachine machine;
  const std::string state = GetParam();
  HWND mine = OwnWindow(L"in front");  // a window of ours, in front before
  ASSERT_TRUE(mine);
  App app(state, machine.dir() + "/app.log");
  ASSERT_TRUE(app.hwnd()) << "the app did not start";
  SetForegroundWindow(mine);

  // What another process sees of the window.
  EXPECT_TRUE(IsWindow(app.hwnd()));
  EXPECT_EQ(state == "hidden" ? FALSE : TRUE, IsWindowVisible(app.hwnd()));
  EXPECT_EQ(state == "minimized" ? TRUE : FALSE, IsIconic(app.hwnd()));
  wchar_t text[32];
  GetWindowTextW(app.hwnd(), text, 32);
  EXPECT_STREQ(L"Test App", text);
  GetClassNameW(app.hwnd(), text, 32);
  EXPECT_STREQ(L"TestAppWnd", text);
  DWORD pid = 0;
  EXPECT_NE(0u, GetWindowThreadProcessId(app.hwnd(), &pid));
  EXPECT_EQ(static_cast<DWORD>(app.pid()), pid);
  RECT r;
  ASSERT_TRUE(GetWindowRect(app.hwnd(), &r));
  EXPECT_EQ(400, r.right - r.left);

  bool posted = false;
  EXPECT_EQ(app.hwnd(), BringOtherInstanceForward(&posted));
  EXPECT_EQ(state != "shown", posted);
  EXPECT_EQ(app.hwnd(), GetWindow(GetDesktopWindow(), GW_CHILD)) << "in front of ours now";
  if (posted) {
    EXPECT_FALSE(AwaitLine(app.log(), "activate").empty()) << "the first process got WM_USER+4";
    // It showed itself in answer, which the walk then sees.
    for (int i = 0; i < 200 && (!IsWindowVisible(app.hwnd()) || IsIconic(app.hwnd())); ++i)
      Sleep(10);
    EXPECT_TRUE(IsWindowVisible(app.hwnd()));
    EXPECT_FALSE(IsIconic(app.hwnd()));
  }
  EXPECT_EQ(app.hwnd(), GetForegroundWindow());

  PostMessageW(app.hwnd(), window_app::kMsgQuit, 0, 0);
  EXPECT_EQ(0, app.Wait());
  EXPECT_FALSE(IsWindow(app.hwnd()));
  EXPECT_FALSE(Walked(app.hwnd()));
  EXPECT_NE(std::string::npos, window_app::ReadLog(app.log()).find("ended"));
  DestroyWindow(mine);
}

INSTANTIATE_TEST_SUITE_P(States, SecondInstance, ::testing::Values("hidden", "minimized", "shown"));

TEST(WindowStation, KilledProcessLeavesNoWindowBehind) {
  TempMachine machine;
  App app("shown", machine.dir() + "/app.log");
  ASSERT_TRUE(app.hwnd());
  ASSERT_TRUE(Walked(app.hwnd()));
  ASSERT_TRUE(FindWindowW(L"TestAppWnd", nullptr));
  kill(app.pid(), SIGKILL);
  app.Wait();
  EXPECT_FALSE(Walked(app.hwnd()));
  EXPECT_FALSE(IsWindow(app.hwnd()));
  EXPECT_EQ(nullptr, FindWindowW(L"TestAppWnd", nullptr));
  EXPECT_FALSE(PostMessageW(app.hwnd(), WM_USER, 0, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE), GetLastError());
  EXPECT_FALSE(SetForegroundWindow(app.hwnd()));
  // Its record is gone from the machine too, not only hidden from the walk.
  int records = 0;
  if (DIR* d = opendir((machine.dir() + "/windows").c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name).find(".json") != std::string::npos) ++records;
    closedir(d);
  }
  EXPECT_EQ(0, records);
}

TEST(WindowStation, PostsReachTheOwningProcessInOrderAndOtherMachinesSeeNothing) {
  TempMachine machine;
  App app("hidden", machine.dir() + "/app.log");
  ASSERT_TRUE(app.hwnd());
  for (int i = 1; i <= 20; ++i) ASSERT_TRUE(PostMessageW(app.hwnd(), window_app::kMsgValue, i, 0));
  ASSERT_FALSE(AwaitLine(app.log(), "value 20").empty());
  std::string log = window_app::ReadLog(app.log());
  size_t at = 0;
  for (int i = 1; i <= 20; ++i) {
    size_t next = log.find("value " + std::to_string(i) + "\n", at);
    ASSERT_NE(std::string::npos, next) << i;
    at = next;
  }
  {
    TempMachine other;  // another machine directory: another window station
    EXPECT_FALSE(IsWindow(app.hwnd()));
    EXPECT_EQ(nullptr, FindWindowW(L"TestAppWnd", nullptr));
  }
  EXPECT_TRUE(IsWindow(app.hwnd()));
  // Only moves in the z-order are possible on another process's window.
  EXPECT_FALSE(SetWindowPos(app.hwnd(), nullptr, 0, 0, 10, 10, SWP_NOZORDER));
  EXPECT_FALSE(DestroyWindow(app.hwnd()));
  EXPECT_TRUE(IsWindow(app.hwnd()));
}
