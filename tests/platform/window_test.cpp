// Windows of one process: creation and destruction, classes, data, state,
// position and z-order.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "helpers/window_class.h"
#include "support/temp_machine.h"

using testing_support::TempMachine;

namespace {

std::vector<UINT>* g_log = nullptr;
LRESULT g_ncCreateResult = TRUE;
LRESULT g_createResult = 0;

// Binds an object to its window as a window library does: pointer in
// lpCreateParams, stored in GWLP_USERDATA on WM_NCCREATE.
struct Bound {
  HWND hwnd = nullptr;
  int finals = 0;
};

LRESULT CALLBACK LoggingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (g_log) g_log->push_back(msg);
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
    auto* bound = static_cast<Bound*>(cs->lpCreateParams);
    if (bound) {
      bound->hwnd = hwnd;
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(bound));
    }
    if (!g_ncCreateResult) return FALSE;
  }
  if (msg == WM_CREATE) return g_createResult;
  if (msg == WM_NCDESTROY) {
    auto* bound = reinterpret_cast<Bound*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (bound) ++bound->finals;
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

HWND Make(const wchar_t* title, DWORD style = WS_POPUP, HWND parent = nullptr, void* param = nullptr,
          int x = 10, int y = 20, int w = 300, int h = 200) {
  window_test::RegisterWindowClass(L"LoggingWnd", LoggingProc);
  return CreateWindowExW(0, L"LoggingWnd", title, style, x, y, w, h, parent, nullptr, nullptr, param);
}

std::vector<HWND> WalkOwnTopLevel(const std::vector<HWND>& among) {
  std::vector<HWND> order;
  for (HWND h = GetWindow(GetDesktopWindow(), GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT))
    for (HWND a : among)
      if (a == h) order.push_back(h);
  return order;
}

}  // namespace

TEST(Window, CreationAndDestructionSendTheirMessagesInOrder) {
  TempMachine machine;
  std::vector<UINT> log;
  g_log = &log;
  Bound bound;
  HWND parent = Make(L"parent", WS_POPUP, nullptr, &bound);
  ASSERT_TRUE(parent);
  EXPECT_EQ(parent, bound.hwnd);
  EXPECT_EQ((std::vector<UINT>{WM_GETMINMAXINFO, WM_NCCREATE, WM_NCCALCSIZE, WM_CREATE, WM_SIZE, WM_MOVE}), log);
  EXPECT_EQ(reinterpret_cast<LONG_PTR>(&bound), GetWindowLongPtrW(parent, GWLP_USERDATA));

  Bound childBound;
  HWND child = Make(L"child", WS_CHILD | WS_VISIBLE, parent, &childBound, 5, 5, 50, 50);
  ASSERT_TRUE(child);
  EXPECT_EQ(parent, GetParent(child));
  EXPECT_EQ(child, GetWindow(parent, GW_CHILD));
  Bound ownedBound;
  HWND owned = Make(L"owned", WS_POPUP, child, &ownedBound);  // owner is the child's top-level window
  ASSERT_TRUE(owned);
  EXPECT_EQ(parent, GetWindow(owned, GW_OWNER));
  EXPECT_EQ(parent, GetParent(owned));

  log.clear();
  ASSERT_TRUE(DestroyWindow(parent));
  std::vector<UINT> destroyOrder;
  for (UINT m : log)
    if (m == WM_DESTROY || m == WM_NCDESTROY) destroyOrder.push_back(m);
  // owned window first, then parent, child (WM_DESTROY), child, parent (WM_NCDESTROY)
  EXPECT_EQ((std::vector<UINT>{WM_DESTROY, WM_NCDESTROY, WM_DESTROY, WM_DESTROY, WM_NCDESTROY, WM_NCDESTROY}),
            destroyOrder);
  EXPECT_EQ(1, bound.finals);
  EXPECT_EQ(1, childBound.finals);
  EXPECT_EQ(1, ownedBound.finals);
  EXPECT_FALSE(IsWindow(parent));
  EXPECT_FALSE(IsWindow(child));
  EXPECT_FALSE(IsWindow(owned));
  EXPECT_FALSE(DestroyWindow(parent));
  g_log = nullptr;
}

TEST(Window, RefusedCreationReturnsNullAndStillFreesTheBinding) {
  TempMachine machine;
  Bound bound;
  g_ncCreateResult = FALSE;
  EXPECT_EQ(nullptr, Make(L"refused", WS_POPUP, nullptr, &bound));
  g_ncCreateResult = TRUE;
  EXPECT_EQ(1, bound.finals);
  EXPECT_FALSE(IsWindow(bound.hwnd));

  Bound failed;
  g_createResult = -1;
  EXPECT_EQ(nullptr, Make(L"failed", WS_POPUP, nullptr, &failed));
  g_createResult = 0;
  EXPECT_EQ(1, failed.finals);
  EXPECT_FALSE(IsWindow(failed.hwnd));

  SetLastError(0);
  EXPECT_EQ(nullptr, CreateWindowExW(0, L"NoSuchClass", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                     nullptr, nullptr));
  EXPECT_EQ(1407u, GetLastError());
  EXPECT_EQ(nullptr, CreateWindowExW(0, L"LoggingWnd", L"", WS_CHILD, 0, 0, 1, 1, nullptr, nullptr,
                                     nullptr, nullptr));
}

TEST(Window, ClassesRegisterOnceCompareWithoutCaseAndStayWhileUsed) {
  TempMachine machine;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = DefWindowProcW;
  wc.lpszClassName = L"OnceWnd";
  ATOM atom = RegisterClassExW(&wc);
  ASSERT_NE(0, atom);
  EXPECT_EQ(0, RegisterClassExW(&wc));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS), GetLastError());

  WNDCLASSEXW info{};
  info.cbSize = sizeof(info);
  ASSERT_TRUE(GetClassInfoExW(nullptr, L"ONCEWND", &info));
  EXPECT_EQ(reinterpret_cast<void*>(DefWindowProcW), reinterpret_cast<void*>(info.lpfnWndProc));
  EXPECT_TRUE(GetClassInfoExW(nullptr, L"#32770", &info)) << "system dialog class";

  HWND hwnd = CreateWindowExW(0, MAKEINTATOM(atom), L"x", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(hwnd);
  wchar_t name[8];
  EXPECT_EQ(7, GetClassNameW(hwnd, name, 8));
  EXPECT_STREQ(L"OnceWnd", name);
  EXPECT_EQ(3, GetClassNameW(hwnd, name, 4)) << "truncated to the buffer";
  EXPECT_FALSE(UnregisterClassW(L"OnceWnd", nullptr));
  DestroyWindow(hwnd);
  EXPECT_TRUE(UnregisterClassW(L"oncewnd", nullptr));
  EXPECT_FALSE(GetClassInfoExW(nullptr, L"OnceWnd", &info));
}

namespace {
WNDPROC g_original = nullptr;
LRESULT CALLBACK Subclass(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_USER + 9) return 99;
  return CallWindowProcW(g_original, hwnd, msg, wParam, lParam);
}
}  // namespace

TEST(Window, TextsLongsPropsAndDefaultProcedure) {
  TempMachine machine;
  HWND hwnd = Make(L"Korva主窗口");
  ASSERT_TRUE(hwnd);
  EXPECT_EQ(8, GetWindowTextLengthW(hwnd));
  wchar_t text[64];
  EXPECT_EQ(5, GetWindowTextW(hwnd, text, 6));
  EXPECT_STREQ(L"Korva", text);
  ASSERT_TRUE(SetWindowTextW(hwnd, L"renamed"));
  GetWindowTextW(hwnd, text, 64);
  EXPECT_STREQ(L"renamed", text);
  EXPECT_EQ(hwnd, FindWindowW(L"loggingwnd", L"RENAMED"));
  EXPECT_EQ(nullptr, FindWindowW(L"LoggingWnd", L"other"));

  EXPECT_EQ(static_cast<LONG>(WS_POPUP), GetWindowLongW(hwnd, GWL_STYLE));
  SetWindowLongW(hwnd, GWL_EXSTYLE, WS_EX_TOOLWINDOW);
  EXPECT_EQ(static_cast<LONG>(WS_EX_TOOLWINDOW), GetWindowLongW(hwnd, GWL_EXSTYLE));
  g_original = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Subclass)));
  EXPECT_EQ(reinterpret_cast<void*>(LoggingProc), reinterpret_cast<void*>(g_original));
  EXPECT_EQ(99, SendMessageW(hwnd, WM_USER + 9, 0, 0));
  EXPECT_EQ(HTCLIENT, SendMessageW(hwnd, WM_NCHITTEST, 0, 0)) << "passed on to the default procedure";

  EXPECT_TRUE(SetPropW(hwnd, L"KorvaTool", reinterpret_cast<HANDLE>(1)));
  EXPECT_EQ(reinterpret_cast<HANDLE>(1), GetPropW(hwnd, L"korvatool"));
  EXPECT_TRUE(SetPropW(hwnd, L"KORVATOOL", reinterpret_cast<HANDLE>(2)));
  EXPECT_EQ(reinterpret_cast<HANDLE>(2), RemovePropW(hwnd, L"KorvaTool"));
  EXPECT_EQ(nullptr, GetPropW(hwnd, L"KorvaTool"));

  HICON icon = LoadIconW(reinterpret_cast<HINSTANCE>(1), MAKEINTRESOURCEW(108));
  ASSERT_TRUE(icon);
  EXPECT_EQ(0, SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon)));
  EXPECT_EQ(reinterpret_cast<LRESULT>(icon), SendMessageW(hwnd, WM_GETICON, ICON_BIG, 0));

  SendMessageW(hwnd, WM_CLOSE, 0, 0);  // the default closes by destroying
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_EQ(0, GetWindowTextW(hwnd, text, 64));
}

TEST(Window, ShowStatesMinimiseMaximiseRestoreAndTheScreenFromTheMachine) {
  TempMachine machine;
  machine.WriteConfig(R"({"screen": {"width": 1024, "height": 768}})");
  EXPECT_EQ(1024, GetSystemMetrics(SM_CXSCREEN));
  EXPECT_EQ(768, GetSystemMetrics(SM_CYSCREEN));
  HWND hwnd = Make(L"states", WS_POPUP, nullptr, nullptr, 100, 50, 740, 460);
  ASSERT_TRUE(hwnd);
  EXPECT_FALSE(IsWindowVisible(hwnd));
  EXPECT_FALSE(ShowWindow(hwnd, SW_SHOW));
  EXPECT_TRUE(ShowWindow(hwnd, SW_SHOW)) << "returns the previous visibility";
  EXPECT_TRUE(IsWindowVisible(hwnd));

  ShowWindow(hwnd, SW_MAXIMIZE);
  EXPECT_TRUE(IsZoomed(hwnd));
  RECT r;
  GetWindowRect(hwnd, &r);
  EXPECT_EQ(1024, r.right - r.left);
  EXPECT_EQ(768, r.bottom - r.top);
  ShowWindow(hwnd, SW_MINIMIZE);
  EXPECT_TRUE(IsIconic(hwnd));
  EXPECT_FALSE(IsZoomed(hwnd));
  EXPECT_TRUE(IsWindowVisible(hwnd)) << "a minimised window is still visible";
  ShowWindow(hwnd, SW_RESTORE);  // back to maximised, where it was
  EXPECT_TRUE(IsZoomed(hwnd));
  ShowWindow(hwnd, SW_RESTORE);
  EXPECT_FALSE(IsZoomed(hwnd));
  GetWindowRect(hwnd, &r);
  EXPECT_EQ((RECT{100, 50, 840, 510}).left, r.left);
  EXPECT_EQ(510, r.bottom);
  ShowWindow(hwnd, SW_HIDE);
  EXPECT_FALSE(IsWindowVisible(hwnd));
  EXPECT_FALSE(ShowWindow(hwnd, 99));
  DestroyWindow(hwnd);

  machine.WriteConfig("{}");
  EXPECT_EQ(1920, GetSystemMetrics(SM_CXSCREEN));
  EXPECT_EQ(1080, GetSystemMetrics(SM_CYSCREEN));
}

namespace {
std::vector<LPARAM> g_sizes;
LRESULT CALLBACK SizeProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_SIZE) g_sizes.push_back(lParam);
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}
}  // namespace

TEST(Window, PositionsSizesAndCoordinatesOfChildren) {
  TempMachine machine;
  window_test::RegisterWindowClass(L"SizeWnd", SizeProc);
  HWND hwnd = CreateWindowExW(0, L"SizeWnd", L"", WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(hwnd);
  RECT r;
  GetWindowRect(hwnd, &r);
  EXPECT_EQ(0, r.right - r.left) << "popups get no default size";
  g_sizes.clear();
  ASSERT_TRUE(SetWindowPos(hwnd, nullptr, 0, 0, 740, 550, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE));
  ASSERT_EQ(1u, g_sizes.size());
  EXPECT_EQ(MAKELPARAM(740, 550), g_sizes[0]);
  SetWindowPos(hwnd, nullptr, 0, 0, 740, 550, SWP_NOMOVE | SWP_NOZORDER);
  EXPECT_EQ(1u, g_sizes.size()) << "no WM_SIZE when the size stays";
  ASSERT_TRUE(MoveWindow(hwnd, 200, 100, 640, 480, TRUE));
  GetClientRect(hwnd, &r);
  EXPECT_EQ((RECT{0, 0, 640, 480}).right, r.right);
  EXPECT_EQ(480, r.bottom);

  HWND child = CreateWindowExW(0, L"SizeWnd", L"", WS_CHILD, 10, 20, 30, 40, hwnd, nullptr, nullptr, nullptr);
  ASSERT_TRUE(child);
  GetWindowRect(child, &r);
  EXPECT_EQ(210, r.left);
  EXPECT_EQ(120, r.top);
  POINT p{1, 2};
  ClientToScreen(child, &p);
  EXPECT_EQ(211, p.x);
  EXPECT_EQ(122, p.y);
  ScreenToClient(hwnd, &p);
  EXPECT_EQ(11, p.x);
  EXPECT_EQ(22, p.y);
  EXPECT_TRUE(IsChild(hwnd, child));
  EXPECT_FALSE(IsWindowVisible(child)) << "its parent is hidden";
  DestroyWindow(hwnd);
}

TEST(Window, ZOrderTopmostForegroundAndTheDesktopWalk) {
  TempMachine machine;
  HWND a = Make(L"a", WS_POPUP | WS_VISIBLE);
  HWND b = Make(L"b", WS_POPUP | WS_VISIBLE);
  HWND c = Make(L"c", WS_POPUP);  // hidden windows are walked too
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ((std::vector<HWND>{c, b, a}), WalkOwnTopLevel({a, b, c}));
  EXPECT_EQ(b, GetForegroundWindow());

  ASSERT_TRUE(SetForegroundWindow(a));
  EXPECT_EQ(a, GetForegroundWindow());
  EXPECT_EQ(a, GetActiveWindow());
  EXPECT_EQ((std::vector<HWND>{a, c, b}), WalkOwnTopLevel({a, b, c}));

  SetWindowPos(b, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  EXPECT_TRUE(GetWindowLongW(b, GWL_EXSTYLE) & WS_EX_TOPMOST);
  BringWindowToTop(c);
  EXPECT_EQ((std::vector<HWND>{b, c, a}), WalkOwnTopLevel({a, b, c})) << "topmost stays above";
  // Topmost then not-topmost: in front, without staying topmost.
  SetWindowPos(a, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  SetWindowPos(a, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  EXPECT_FALSE(GetWindowLongW(a, GWL_EXSTYLE) & WS_EX_TOPMOST);
  EXPECT_EQ((std::vector<HWND>{b, a, c}), WalkOwnTopLevel({a, b, c}));
  SetWindowPos(b, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  EXPECT_EQ((std::vector<HWND>{a, c, b}), WalkOwnTopLevel({a, b, c}));

  // The foreground passes on when its window is minimised or destroyed.
  SetForegroundWindow(a);
  ShowWindow(a, SW_MINIMIZE);
  EXPECT_NE(a, GetForegroundWindow());
  DestroyWindow(a);
  DestroyWindow(b);
  DestroyWindow(c);
  EXPECT_TRUE(WalkOwnTopLevel({a, b, c}).empty());
}
