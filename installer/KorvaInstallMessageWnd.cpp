#include "installer/KorvaInstallMessageWnd.h"

#include "installer/KorvaInstallMainWnd.h"
#include "installer/KorvaWndFrame.h"
#include "installer/install_messages.h"
#include "shared/product_constants.h"
#include "shared/system_helpers.h"

using namespace DuiLib;

KorvaInstallMessageWnd::KorvaInstallMessageWnd(KorvaInstallMainWnd* owner, const CDuiString& title,
                                               const CDuiString& text, int mode)
    : owner(owner), mode(mode), title(title), text(text) {}

KorvaInstallMessageWnd::~KorvaInstallMessageWnd() {}

LPCTSTR KorvaInstallMessageWnd::GetWindowClassName() const { return L"KorvaInstallMessageWnd"; }

CDuiString KorvaInstallMessageWnd::GetSkinFolder() { return CDuiString(); }

CDuiString KorvaInstallMessageWnd::GetSkinFile() { return CDuiString(L"KorvaMessageWnd.xml"); }

void KorvaInstallMessageWnd::InitWindow() {
  ButtonClose = m_PaintManager.FindControl(L"ButtonClose");
  ButtonYes = m_PaintManager.FindControl(L"ButtonYes");
  ButtonNo = m_PaintManager.FindControl(L"ButtonNo");
  LabelTitle = m_PaintManager.FindControl(L"LabelTitle");
  TextContent = m_PaintManager.FindControl(L"TextContent");
  if (LabelTitle) LabelTitle->SetText(title);
  if (TextContent) TextContent->SetText(text);
  SetButtonTexts();
}

void KorvaInstallMessageWnd::SetButtonTexts() {
  if (!ButtonYes || !ButtonNo) return;
  if (mode == kBoxNotice) {
    ButtonYes->SetText(L"确定");
    ButtonNo->SetVisible(false);
  } else if (mode == kBoxQuitConfirm || mode == kBoxOverwriteConfirm) {
    ButtonYes->SetText(L"确定");
    ButtonNo->SetText(L"取消");
  }
}

void KorvaInstallMessageWnd::Notify(TNotifyUI& msg) {
  if (msg.sType != L"click" || !msg.pSender) return;
  if (msg.pSender == ButtonClose) {
    Close(1);
  } else if (msg.pSender == ButtonYes) {
    OnButtonYes();
  } else if (msg.pSender == ButtonNo) {
    OnButtonNo();
  }
}

void KorvaInstallMessageWnd::PostToOwner(UINT msg) {
  if (owner && owner->GetHWND()) ::PostMessageW(owner->GetHWND(), msg, 0, 0);
}

void KorvaInstallMessageWnd::OnButtonYes() {
  switch (mode) {
    case kBoxNotice:
      Close(1);
      break;
    case kBoxQuitConfirm:
      PostToOwner(kMsgQuit);
      Close(1);
      break;
    case kBoxOverwriteConfirm:
      // Every running copy, wherever it lives, or the files stay in use.
      KillProcessByName(kMainProgramExe);
      PostToOwner(kMsgStartInstall);
      Close(1);
      break;
    default:
      break;
  }
}

void KorvaInstallMessageWnd::OnButtonNo() {
  switch (mode) {
    case kBoxNotice:
    case kBoxQuitConfirm:
      Close(1);
      break;
    case kBoxOverwriteConfirm:
      PostToOwner(kMsgQuit);
      Close(1);
      break;
    default:
      break;
  }
}

void ShowMessageBox(KorvaInstallMainWnd* owner, CDuiString title, CDuiString text, int mode) {
  // WS_VISIBLE | WS_OVERLAPPEDWINDOW
  const DWORD kBoxStyle = 0x10CF0000;
  KorvaInstallMessageWnd box(owner, title, text, mode);
  const int cx = GetSystemMetrics(SM_CXSCREEN);
  const int cy = GetSystemMetrics(SM_CYSCREEN);
  // A box shown while the main window is still being set up has no parent.
  HWND parent = owner && owner->IsInitialised() ? owner->GetHWND() : NULL;
  box.Create(parent, L"KorvaMessageBox", kBoxStyle, 0, cx / 2 - 250, cy / 2 - 125, CW_USEDEFAULT, CW_USEDEFAULT,
             NULL);
  box.CenterWindow();
  box.ShowModal();
  DestroyLeftoverWindow(box.GetHWND());
}
