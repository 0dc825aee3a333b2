#include "updater/KorvaUpdateWnd.h"

#include "updater/update_context.h"
#include "updater/update_messages.h"
#include "updater/update_progress.h"

using namespace DuiLib;

const WCHAR kVersionTooLowFormat[] = L"当前版本过低，须更新至最新版v%s";

KorvaUpdateWnd::KorvaUpdateWnd() {}

KorvaUpdateWnd::~KorvaUpdateWnd() {}

LPCTSTR KorvaUpdateWnd::GetWindowClassName() const { return L"KorvaUpdateWnd"; }

CDuiString KorvaUpdateWnd::GetSkinFolder() { return CDuiString(); }

CDuiString KorvaUpdateWnd::GetSkinFile() { return CDuiString(L"KorvaUpdateWnd.xml"); }

void KorvaUpdateWnd::InitWindow() {
  ButtonClose = m_PaintManager.FindControl(L"ButtonClose");
  ButtonCancel = m_PaintManager.FindControl(L"ButtonCancel");
  LabelFeature = m_PaintManager.FindControl(L"LabelFeature");
  ProgressUpdate = static_cast<CProgressUI*>(m_PaintManager.FindControl(L"ProgressUpdate"));
  TextUpdateDetail = m_PaintManager.FindControl(L"TextUpdateDetail");
}

void KorvaUpdateWnd::Notify(TNotifyUI& msg) {
  if (msg.sType.CompareNoCase(L"windowinit") == 0) {
    OnPrepare();
  } else if (msg.sType.CompareNoCase(L"click") == 0) {
    HandleClick(msg);
  }
  WindowImplBase::Notify(msg);
}

void KorvaUpdateWnd::HandleClick(TNotifyUI& msg) {
  if (msg.sType != L"click") return;
  if (msg.pSender != nullptr && (msg.pSender == ButtonClose || msg.pSender == ButtonCancel)) {
    PostMessage(kMsgUpdateQuit);
  }
}

LRESULT KorvaUpdateWnd::HandleCustomMessage(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled) {
  switch (msg) {
    case WM_TIMER:
      OnTimer(msg, wParam, lParam, handled);
      break;
    case kMsgUpdateQuit:
      PostQuitMessage(0);
      break;
    case kMsgDownloadStarted:
      if (ButtonCancel) ButtonCancel->SetEnabled(true);
      break;
    case kMsgDownloadFinished:
      if (ButtonCancel) ButtonCancel->SetEnabled(false);
      break;
    default:
      break;
  }
  handled = FALSE;
  return WindowImplBase::HandleCustomMessage(msg, wParam, lParam, handled);
}

LRESULT KorvaUpdateWnd::OnTimer(UINT, WPARAM timerId, LPARAM, BOOL& handled) {
  handled = FALSE;
  if (timerId != kUpdateProgressTimer) return 0;
  int percent = KorvaUpdateProgress::Instance()->GetPercent();
  // 100 belongs to the flow: only a finished run shows it.
  if (percent >= 100) percent = 99;
  if (updateDone) {
    if (ProgressUpdate) ProgressUpdate->SetValue(100);
    KillTimer(GetHWND(), kUpdateProgressTimer);
    LaunchProduct(true);
    PostMessage(kMsgUpdateQuit);
  } else if (ProgressUpdate) {
    ProgressUpdate->SetValue(percent);
  }
  return 0;
}
