#include "installer/KorvaInstallProtocalWnd.h"

#include "installer/KorvaWndFrame.h"
#include "shared/program_dirs.h"

using namespace DuiLib;

KorvaInstallProtocalWnd::KorvaInstallProtocalWnd() : licenceFile(NULL) {}

KorvaInstallProtocalWnd::~KorvaInstallProtocalWnd() {
  if (licenceFile != INVALID_HANDLE_VALUE && licenceFile != NULL) CloseHandle(licenceFile);
  licenceFile = NULL;
}

LPCTSTR KorvaInstallProtocalWnd::GetWindowClassName() const { return L"KorvaInstallProtocalWnd"; }

CDuiString KorvaInstallProtocalWnd::GetSkinFolder() { return CDuiString(); }

CDuiString KorvaInstallProtocalWnd::GetSkinFile() { return CDuiString(L"KorvaInstallProtocal.xml"); }

void KorvaInstallProtocalWnd::InitWindow() {
  ButtonClose = m_PaintManager.FindControl(L"ButtonClose");
  ButtonConfirm = m_PaintManager.FindControl(L"ButtonConfirm");
  CControlUI* edit = m_PaintManager.FindControl(L"RichEditProtocal");
  RichEditProtocal = edit ? static_cast<CRichEditUI*>(edit->GetInterface(L"RichEdit")) : nullptr;
  if (!RichEditProtocal) return;

  LoadLicenseText();
  RichEditProtocal->SetTextColor(0xFFBFBFBF);
  RichEditProtocal->SetFont(1);
  RECT padding = {0, 0, 25, 0};
  RichEditProtocal->SetTextPadding(padding);
  if (CScrollBarUI* bar = RichEditProtocal->GetVerticalScrollBar()) bar->SetFixedWidth(5);
}

void KorvaInstallProtocalWnd::LoadLicenseText() {
  std::wstring path = GetModuleDir() + L"License.rtf";
  licenceFile = CreateFileW(path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (licenceFile == INVALID_HANDLE_VALUE) return;
  EDITSTREAM stream = {};
  stream.dwCookie = reinterpret_cast<DWORD_PTR>(licenceFile);
  stream.dwError = 0;
  stream.pfnCallback = &KorvaInstallProtocalWnd::ReadLicenseChunk;
  RichEditProtocal->StreamIn(SF_RTF, stream);
}

DWORD CALLBACK KorvaInstallProtocalWnd::ReadLicenseChunk(DWORD_PTR cookie, LPBYTE buffer, LONG wanted, LONG* got) {
  HANDLE file = reinterpret_cast<HANDLE>(cookie);
  if (file == INVALID_HANDLE_VALUE) return 0xFFFFFFFF;
  DWORD read = 0;
  // A failed read delivers nothing, which ends the stream with what was read.
  ReadFile(file, buffer, static_cast<DWORD>(wanted), &read, NULL);
  if (got) *got = static_cast<LONG>(read);
  return 0;
}

void KorvaInstallProtocalWnd::Notify(TNotifyUI& msg) {
  if (msg.sType != L"click" || !msg.pSender) return;
  if (msg.pSender == ButtonClose || msg.pSender == ButtonConfirm) Close(1);
}

LRESULT KorvaInstallProtocalWnd::OnNcHitTest(UINT, WPARAM, LPARAM lParam, BOOL&) {
  static const wchar_t* const kKeepClicks[] = {L"Button", L"RichEdit", L"ScrollBar", L"Label"};
  return HitTestSkinFrame(m_hWnd, m_PaintManager, lParam, kKeepClicks, sizeof(kKeepClicks) / sizeof(kKeepClicks[0]));
}
