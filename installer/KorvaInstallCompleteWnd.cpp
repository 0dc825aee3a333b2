#include "installer/KorvaInstallCompleteWnd.h"

#include "installer/KorvaInstallMainWnd.h"
#include "installer/install_messages.h"

using namespace DuiLib;

KorvaInstallCompleteWnd::KorvaInstallCompleteWnd(KorvaInstallMainWnd* owner) : owner(owner) {}

KorvaInstallCompleteWnd::~KorvaInstallCompleteWnd() {}

LPCTSTR KorvaInstallCompleteWnd::GetWindowClassName() const { return L"KorvaInstallCompleteWnd"; }

CDuiString KorvaInstallCompleteWnd::GetSkinFolder() { return CDuiString(); }

CDuiString KorvaInstallCompleteWnd::GetSkinFile() { return CDuiString(L"KorvaInstallCompleteWnd.xml"); }

void KorvaInstallCompleteWnd::InitWindow() {
  ButtonClose = m_PaintManager.FindControl(L"ButtonClose");
  ButtonQuickStart = m_PaintManager.FindControl(L"ButtonQuickStart");
}

// The window stays open: the main window's answer ends the whole program.
void KorvaInstallCompleteWnd::Notify(TNotifyUI& msg) {
  if (msg.sType != L"click" || !msg.pSender || !owner || !owner->GetHWND()) return;
  if (msg.pSender == ButtonClose) {
    ::PostMessageW(owner->GetHWND(), kMsgCompleteChoice, 0, 0);
  } else if (msg.pSender == ButtonQuickStart) {
    ::PostMessageW(owner->GetHWND(), kMsgCompleteChoice, 1, 0);
  }
}
