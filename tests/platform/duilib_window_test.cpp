// Skinned windows: creation from a layout in a real archive, look-ups,
// mouse clicks and hit tests, "windowinit", modal loops and their timers,
// and clean failures for bad skins.
#include <gtest/gtest.h>

#include "duilib_window_test.h"

using namespace DuiLib;
using duilib_test::PumpPending;
using duilib_test::SkinMachine;
using duilib_test::TestWindow;

TEST(DuiWindow, BuildsFromTheArchiveAndAnswersMouseAndHitTests) {
  SkinMachine skin;
  TestWindow window;
  HWND hwnd = window.Create(nullptr, L"Test", WS_POPUP | WS_VISIBLE | WS_CAPTION, 0);
  ASSERT_NE(nullptr, hwnd);
  EXPECT_EQ(hwnd, window.GetHWND());
  EXPECT_EQ(1, window.inits);
  EXPECT_TRUE(window.controlsAtInit) << "InitWindow runs once the controls exist";
  EXPECT_EQ(0, GetWindowLongW(hwnd, GWL_STYLE) & WS_CAPTION) << "the skin draws its own caption";
  RECT client{};
  GetClientRect(hwnd, &client);
  EXPECT_EQ(400, client.right);
  EXPECT_EQ(300, client.bottom);

  // "windowinit" comes through the queue, once, whatever is shown later.
  EXPECT_EQ(0, window.Count(L"windowinit:root"));
  PumpPending();
  EXPECT_EQ(1, window.Count(L"windowinit:root"));
  window.ShowWindow(false);
  window.ShowWindow(true);
  PumpPending();
  EXPECT_EQ(1, window.Count(L"windowinit:root"));

  EXPECT_EQ(window.Find(L"ok"), window.manager().FindControl(POINT{200, 50}));
  EXPECT_EQ(window.Find(L"bar"), window.manager().FindControl(POINT{10, 160}));
  EXPECT_EQ(nullptr, window.Find(L"absent"));

  // A press and release on the same enabled control is a click.
  window.log.clear();
  SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(200, 50));
  SendMessageW(hwnd, WM_LBUTTONUP, 0, MAKELPARAM(210, 60));
  SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(200, 50));
  SendMessageW(hwnd, WM_LBUTTONUP, 0, MAKELPARAM(200, 80));  // released on agree
  SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(200, 150));
  SendMessageW(hwnd, WM_LBUTTONUP, 0, MAKELPARAM(200, 150));  // "off" is disabled
  EXPECT_EQ(std::vector<std::wstring>({L"click:ok"}), window.log);

  // Hit tests: size box at the edges, caption outside buttons.
  RECT rc{};
  GetWindowRect(hwnd, &rc);
  auto hit = [&](int x, int y) {
    return SendMessageW(hwnd, WM_NCHITTEST, 0, MAKELPARAM(rc.left + x, rc.top + y));
  };
  EXPECT_EQ(HTCAPTION, hit(100, 15));
  EXPECT_EQ(HTCLIENT, hit(385, 15));
  EXPECT_EQ(HTCLIENT, hit(100, 50));
  EXPECT_EQ(HTLEFT, hit(1, 100));
  EXPECT_EQ(HTBOTTOMRIGHT, hit(399, 299));
  EXPECT_EQ(HTTOP, hit(100, 1));

  // A new client size lays the controls out again.
  window.ResizeClient(500, 400);
  GetClientRect(hwnd, &client);
  EXPECT_EQ(500, client.right);
  PumpPending();
  EXPECT_EQ(500, window.Find(L"ok")->GetPos().right);
  EXPECT_EQ(window.Find(L"ok"), window.manager().FindControl(POINT{450, 50}));

  EXPECT_TRUE(DestroyWindow(hwnd));
  EXPECT_EQ(nullptr, window.GetHWND());
  EXPECT_EQ(nullptr, CPaintManagerUI::FromWindow(hwnd));
}

TEST(DuiWindow, ModalInsideModalWithOwnerDisabled) {
  SkinMachine skin;
  std::vector<std::wstring> order;
  TestWindow outer;
  TestWindow inner;
  bool ownerDisabledDuringInner = false;
  inner.onNotify = [&](TNotifyUI& msg) {
    if (msg.sType == L"windowinit") {
      order.push_back(L"inner init");
      ownerDisabledDuringInner = !IsWindowEnabled(outer.GetHWND());
      inner.Close(7);
    }
  };
  outer.onNotify = [&](TNotifyUI& msg) {
    if (msg.sType != L"windowinit") return;
    order.push_back(L"outer init");
    ASSERT_NE(nullptr, inner.Create(outer.GetHWND(), L"Inner", WS_POPUP | WS_VISIBLE, 0));
    inner.CenterWindow();
    UINT code = inner.ShowModal();
    order.push_back(L"inner returned " + std::to_wstring(code));
    outer.Close(3);
  };
  ASSERT_NE(nullptr, outer.Create(nullptr, L"Outer", WS_POPUP, 0));
  UINT code = outer.ShowModal();
  order.push_back(L"outer returned " + std::to_wstring(code));
  EXPECT_EQ(std::vector<std::wstring>({L"outer init", L"inner init", L"inner returned 7", L"outer returned 3"}), order);
  EXPECT_TRUE(ownerDisabledDuringInner);
  EXPECT_FALSE(IsWindow(inner.GetHWND()));
  EXPECT_EQ(1, inner.Count(L"windowinit:root"));
}

TEST(DuiWindow, QuitInsideNestedModalsEndsEveryLoop) {
  SkinMachine skin;
  TestWindow outer;
  TestWindow inner;
  UINT innerCode = 99;
  inner.onNotify = [&](TNotifyUI& msg) {
    if (msg.sType == L"windowinit") PostQuitMessage(5);
  };
  outer.onNotify = [&](TNotifyUI& msg) {
    if (msg.sType != L"windowinit") return;
    inner.Create(outer.GetHWND(), L"Inner", WS_POPUP | WS_VISIBLE, 0);
    innerCode = inner.ShowModal();
  };
  ASSERT_NE(nullptr, outer.Create(nullptr, L"Outer", WS_POPUP, 0));
  outer.ShowModal();
  EXPECT_EQ(0u, innerCode);
  EXPECT_TRUE(IsWindowEnabled(outer.GetHWND())) << "the owner is enabled again";
  // Both loops passed the quit on: it is there for the loop outside.
  MSG msg{};
  EXPECT_EQ(0, GetMessageW(&msg, nullptr, 0, 0));
  EXPECT_EQ(WM_QUIT, msg.message);
  EXPECT_EQ(5u, msg.wParam);
  DestroyWindow(inner.GetHWND());
  DestroyWindow(outer.GetHWND());
}

TEST(DuiWindow, TimersTickInsideShowModal) {
  SkinMachine skin;
  TestWindow window;
  int ticks = 0;
  window.onInit = [&] { SetTimer(window.GetHWND(), 3025, 20, nullptr); };
  window.onTimer = [&](WPARAM id) {
    if (id != 3025 || ++ticks < 3) return;
    KillTimer(window.GetHWND(), 3025);
    window.Close(9);
  };
  ASSERT_NE(nullptr, window.Create(nullptr, L"Timer", WS_POPUP | WS_VISIBLE, 0));
  EXPECT_EQ(9u, window.ShowModal());
  EXPECT_EQ(3, ticks);
  EXPECT_EQ(1, window.Count(L"windowinit:root"));
}

TEST(DuiWindow, BadSkinsFailCreationWithAMessage) {
  SkinMachine skin;
  struct Case {
    std::map<std::string, std::string> files;
    const char* zip;
    const char* message;
  } cases[] = {
      {{{"Test.xml", duilib_test::kTestLayout}}, "absent.zip", "cannot open skin archive C:\\app\\skin\\absent.zip"},
      {{{"Other.xml", duilib_test::kTestLayout}}, "skin.zip", "Test.xml is not in skin archive"},
      {{{"Test.xml", "<Window>\n<VerticalLayout>\n<Button>\n</Window>"}}, "skin.zip", "Test.xml is malformed: line 4"},
      {{{"Test.xml", "<Window><Label/></Window>trailing"}}, "skin.zip", "text outside the root element"},
  };
  for (const Case& c : cases) {
    skin.WriteSkin(c.files);
    CPaintManagerUI::SetResourceZip(win32::Utf8ToWide(c.zip).c_str());
    TestWindow window;
    testing::internal::CaptureStderr();
    HWND hwnd = window.Create(nullptr, L"Bad", WS_POPUP | WS_VISIBLE, 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(nullptr, hwnd) << c.message;
    EXPECT_EQ(nullptr, window.GetHWND());
    EXPECT_EQ(0, window.inits);
    EXPECT_NE(std::string::npos, err.find("duilib: cannot create window DuiTestWindow: ")) << err;
    EXPECT_NE(std::string::npos, err.find(c.message)) << err;
    // A window that never came to be: its operations do nothing.
    EXPECT_EQ(static_cast<UINT>(-1), window.ShowModal());
    window.Close();
    window.CenterWindow();
  }
}
