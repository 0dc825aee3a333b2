// The update window and the message box on their own, without an update
// run: the window is created hidden, so its "windowinit" never comes.
#include <gtest/gtest.h>

#include <duilib/UIlib.h>
#include <windows.h>

#include "support/temp_machine.h"
#include "updater/KorvaUpdateMessageWnd.h"
#include "updater/KorvaUpdateWnd.h"
#include "updater/update_messages.h"
#include "updater/update_progress.h"

namespace {

using DuiLib::CControlUI;
using DuiLib::CPaintManagerUI;
using DuiLib::CProgressUI;

// WS_POPUP | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_CAPTION | WS_SYSMENU: the
// update window's style without WS_VISIBLE.
const DWORD kHiddenStyle = 0x96C80000 & ~WS_VISIBLE;

class UpdateWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CPaintManagerUI::SetResourcePath(KORVA_DIST_DIR L"/skin");
    CPaintManagerUI::SetResourceZip(L"skin.zip", false);
  }
  void TearDown() override {
    Drain();
    KorvaUpdateProgress::DestroyInstance();
  }

  // Dispatches what is queued; true when a WM_QUIT was among it.
  static bool Drain() {
    bool quit = false;
    MSG msg;
    while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        quit = true;
        continue;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    return quit;
  }

  static CControlUI* Find(HWND window, const wchar_t* name) {
    CPaintManagerUI* manager = CPaintManagerUI::FromWindow(window);
    return manager ? manager->FindControl(name) : nullptr;
  }

  testing_support::TempMachine machine_;
};

TEST_F(UpdateWindowTest, BarStaysBelowHundredAndButtonsFollowTheMessages) {
  KorvaUpdateWnd window;
  HWND hwnd = window.Create(NULL, L"Korva更新", kHiddenStyle, 0);
  ASSERT_NE(nullptr, hwnd);
  auto* bar = static_cast<CProgressUI*>(Find(hwnd, L"ProgressUpdate"));
  CControlUI* cancel = Find(hwnd, L"ButtonCancel");
  CControlUI* close = Find(hwnd, L"ButtonClose");
  ASSERT_TRUE(bar && cancel && close);

  // The progress object may say 100; the bar says 99 until the run is done.
  KorvaUpdateProgress::Instance()->SetStage(0.5, 0.4, 3, L"");
  KorvaUpdateProgress::Instance()->SetCurrent(1);
  window.SendMessage(WM_TIMER, kUpdateProgressTimer);
  EXPECT_EQ(63, bar->GetValue());
  KorvaUpdateProgress::Instance()->SetFinished();
  window.SendMessage(WM_TIMER, kUpdateProgressTimer);
  EXPECT_EQ(99, bar->GetValue());
  // Timers of other ids change nothing.
  KorvaUpdateProgress::DestroyInstance();
  window.SendMessage(WM_TIMER, kUpdateProgressTimer + 1);
  EXPECT_EQ(99, bar->GetValue());

  // Cancel is usable only while a download runs; a click ends the program.
  EXPECT_FALSE(cancel->IsEnabled());
  window.SendMessage(kMsgDownloadStarted);
  EXPECT_TRUE(cancel->IsEnabled());
  ASSERT_TRUE(cancel->Activate());
  EXPECT_TRUE(Drain());
  window.SendMessage(kMsgDownloadFinished);
  EXPECT_FALSE(cancel->IsEnabled());
  EXPECT_FALSE(cancel->Activate());
  EXPECT_FALSE(Drain());
  ASSERT_TRUE(close->Activate());
  EXPECT_TRUE(Drain());
  // Other buttons post nothing.
  window.SendMessage(kMsgDownloadStarted);
  CPaintManagerUI::FromWindow(hwnd)->SendNotify(bar, L"click");
  EXPECT_FALSE(Drain());
  DestroyWindow(hwnd);
}

TEST_F(UpdateWindowTest, MessageBoxModesSetTheButtons) {
  struct Case {
    int mode;
    const wchar_t* yes;
    const wchar_t* no;
    bool noVisible;
  };
  // Modes other than 1 and 2 keep the skin's captions.
  for (const Case& c : {Case{1, L"确定", L"否", false}, Case{2, L"重试", L"打开官网", true}, Case{7, L"是", L"否", true}}) {
    SCOPED_TRACE(c.mode);
    KorvaUpdateMessageWnd box(nullptr, L"提示", L"正文", c.mode);
    HWND hwnd = box.Create(NULL, L"KorvaMessageBox", WS_OVERLAPPEDWINDOW, 0);
    ASSERT_NE(nullptr, hwnd);
    EXPECT_EQ(DuiLib::CDuiString(L"提示"), Find(hwnd, L"LabelTitle")->GetText().GetData());
    EXPECT_EQ(DuiLib::CDuiString(L"正文"), Find(hwnd, L"TextContent")->GetText().GetData());
    CControlUI* yes = Find(hwnd, L"ButtonYes");
    CControlUI* no = Find(hwnd, L"ButtonNo");
    EXPECT_EQ(DuiLib::CDuiString(c.yes), yes->GetText().GetData());
    EXPECT_EQ(DuiLib::CDuiString(c.no), no->GetText().GetData());
    EXPECT_EQ(c.noVisible, no->IsVisible());

    if (c.mode == 7) {
      // Neither button acts; the close button still closes.
      yes->Activate();
      no->Activate();
      Drain();
      EXPECT_TRUE(IsWindow(hwnd));
      Find(hwnd, L"ButtonClose")->Activate();
    } else if (c.mode == 1) {
      yes->Activate();
    } else {
      // Mode 2's actions start programs; only closing is checked here.
      Find(hwnd, L"ButtonClose")->Activate();
    }
    Drain();
    EXPECT_FALSE(IsWindow(hwnd));
  }
}

}  // namespace
