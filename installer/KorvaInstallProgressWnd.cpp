#include "installer/KorvaInstallProgressWnd.h"

#include "installer/KorvaInstallMainWnd.h"
#include "installer/install_kernel.h"
#include "installer/install_messages.h"
#include "installer/install_result.h"
#include "installer/thread_ui_control.h"

using namespace DuiLib;

KorvaInstallProgressWnd::KorvaInstallProgressWnd(KorvaInstallMainWnd* owner) : owner(owner) {}

KorvaInstallProgressWnd::~KorvaInstallProgressWnd() {}

LPCTSTR KorvaInstallProgressWnd::GetWindowClassName() const { return L"KorvaInstallProgressWnd"; }

CDuiString KorvaInstallProgressWnd::GetSkinFolder() { return CDuiString(); }

CDuiString KorvaInstallProgressWnd::GetSkinFile() { return CDuiString(L"KorvaInstallProgressWnd.xml"); }

void KorvaInstallProgressWnd::InitWindow() {
  CControlUI* bar = m_PaintManager.FindControl(L"Progress");
  Progress = bar ? static_cast<CProgressUI*>(bar->GetInterface(L"Progress")) : nullptr;
  LabelInstallText = m_PaintManager.FindControl(L"LabelInstallText");
  ::SetTimer(m_hWnd, kInstallProgressTimer, kInstallProgressTimerPeriodMs, NULL);
}

void KorvaInstallProgressWnd::Notify(TNotifyUI& msg) {
  if (msg.sType.CompareNoCase(L"windowinit") == 0) RunInstall();
  WindowImplBase::Notify(msg);
}

void KorvaInstallProgressWnd::RunInstall() {
  IInstallKernel* kernel = KorvaInstallKernel::Instance();
  kernel->SetThreadUIControl(KorvaThreadUIControl::Instance());
  InstallResult result;
  BeginInstallResult(result);
  // Returns only when the whole run is over; the timer runs meanwhile.
  const int code = kernel->Install();
  FinishInstallResult(result, code);
  if (code == kInstallOk) return;  // the timer sees 100 % and ends the window
  ::KillTimer(m_hWnd, kInstallProgressTimer);
  if (owner && owner->GetHWND()) {
    ::PostMessageW(owner->GetHWND(), kMsgInstallFailed, static_cast<WPARAM>(code), 0);
  }
  Close(1);
}

LRESULT KorvaInstallProgressWnd::HandleCustomMessage(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled) {
  LRESULT result = 0;
  if (msg == WM_TIMER) {
    result = OnTimer(msg, wParam, lParam, handled);
  } else {
    handled = FALSE;
  }
  if (handled) return result;
  return WindowImplBase::HandleCustomMessage(msg, wParam, lParam, handled);
}

LRESULT KorvaInstallProgressWnd::OnTimer(UINT, WPARAM wParam, LPARAM, BOOL& handled) {
  handled = FALSE;
  if (wParam != kInstallProgressTimer) return 0;
  IInstallProgress* progress = GetInstallProgress();
  const int percent = progress->GetPercent();
  if (percent < 100) {
    if (Progress) Progress->SetValue(percent);
    if (!LabelInstallText) return 0;
    if (progress->IsDownloadFinished()) {
      LabelInstallText->SetText(progress->GetStatusText().c_str());
    } else {
      CDuiString text;
      text.Format(L"下载必要组件(%.1fMB/%.1fMB), 请稍等...", progress->GetDownloadedMB(), progress->GetTotalMB());
      LabelInstallText->SetText(text);
    }
    return 0;
  }
  if (Progress) Progress->SetValue(100);
  ::KillTimer(m_hWnd, kInstallProgressTimer);
  if (owner && owner->GetHWND()) ::PostMessageW(owner->GetHWND(), kMsgInstallDone, 0, 0);
  Close(1);
  return 0;
}
