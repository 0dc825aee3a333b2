#include "updater/KorvaUpdateMessageWnd.h"

#include <shellapi.h>

#include "updater/KorvaUpdateWnd.h"
#include "updater/update_context.h"

using namespace DuiLib;

KorvaUpdateMessageWnd::KorvaUpdateMessageWnd(KorvaUpdateWnd* owner, const CDuiString& title, const CDuiString& text,
                                             int mode)
    : owner(owner), mode(mode), title(title), text(text) {}

KorvaUpdateMessageWnd::~KorvaUpdateMessageWnd() {}

LPCTSTR KorvaUpdateMessageWnd::GetWindowClassName() const { return L"KorvaUpdateMessageWnd"; }

CDuiString KorvaUpdateMessageWnd::GetSkinFolder() { return CDuiString(); }

CDuiString KorvaUpdateMessageWnd::GetSkinFile() { return CDuiString(L"KorvaMessageWnd.xml"); }

void KorvaUpdateMessageWnd::InitWindow() {
  buttonClose = m_PaintManager.FindControl(L"ButtonClose");
  buttonYes = m_PaintManager.FindControl(L"ButtonYes");
  buttonNo = m_PaintManager.FindControl(L"ButtonNo");
  labelTitle = m_PaintManager.FindControl(L"LabelTitle");
  textContent = m_PaintManager.FindControl(L"TextContent");
  if (labelTitle) labelTitle->SetText(title);
  if (textContent) textContent->SetText(text);
  if (!buttonYes || !buttonNo) return;
  if (mode == kUpdateBoxNotice) {
    buttonYes->SetText(L"确定");
    buttonNo->SetVisible(false);
  } else if (mode == kUpdateBoxLaunchOrSite) {
    buttonYes->SetText(L"重试");
    buttonNo->SetText(L"打开官网");
  }
}

void KorvaUpdateMessageWnd::Notify(TNotifyUI& msg) {
  if (msg.sType != L"click" || msg.pSender == nullptr) return;
  if (msg.pSender == buttonClose) {
    Close(1);
  } else if (msg.pSender == buttonYes) {
    OnButtonYes();
  } else if (msg.pSender == buttonNo) {
    OnButtonNo();
  }
}

void KorvaUpdateMessageWnd::OnButtonYes() {
  if (mode == kUpdateBoxNotice) {
    Close(1);
  } else if (mode == kUpdateBoxLaunchOrSite) {
    LaunchProduct(true);
    Close(1);
  }
}

void KorvaUpdateMessageWnd::OnButtonNo() {
  if (mode == kUpdateBoxNotice) {
    Close(1);
  } else if (mode == kUpdateBoxLaunchOrSite) {
    const std::wstring url = UpdateContext::Instance()->GetOfficialUrl();
    ShellExecuteW(NULL, L"open", url.c_str(), NULL, NULL, SW_SHOWMAXIMIZED);
    Close(1);
  }
}

void ShowUpdateMessageBox(KorvaUpdateWnd* owner, CDuiString title, CDuiString text, int mode) {
  // WS_VISIBLE | WS_OVERLAPPEDWINDOW
  const DWORD kBoxStyle = 0x10CF0000;
  KorvaUpdateMessageWnd box(owner, title, text, mode);
  const int x = GetSystemMetrics(SM_CXSCREEN) / 2 - 250;
  const int y = GetSystemMetrics(SM_CYSCREEN) / 2 - 125;
  box.Create(owner ? owner->GetHWND() : NULL, L"KorvaMessageBox", kBoxStyle, 0, x, y, CW_USEDEFAULT, CW_USEDEFAULT,
             NULL);
  box.CenterWindow();
  box.ShowModal();
  // A loop ended by WM_QUIT leaves the window behind; it must not outlive
  // the object on this stack.
  HWND window = box.GetHWND();
  if (window && IsWindow(window)) DestroyWindow(window);
}
