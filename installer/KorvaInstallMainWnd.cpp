#include "installer/KorvaInstallMainWnd.h"

#include <string>

#include <shellapi.h>
#include <shlobj.h>
#include <objbase.h>
#include <boost/algorithm/string/replace.hpp>

#include "installer/KorvaInstallCompleteWnd.h"
#include "installer/KorvaInstallMessageWnd.h"
#include "installer/KorvaInstallProgressWnd.h"
#include "installer/KorvaInstallProtocalWnd.h"
#include "installer/KorvaWndFrame.h"
#include "installer/install_kernel.h"
#include "installer/install_messages.h"
#include "shared/log_writer.h"
#include "shared/product_constants.h"
#include "shared/program_dirs.h"
#include "shared/system_helpers.h"
#include "shared/text_convert.h"
#include "shared/utc_time.h"

using namespace DuiLib;

namespace {

const WCHAR kCustomStyleImage[] = L"customStyle.png";
const WCHAR kDefaultStyleImage[] = L"defaultStyle.png";
const WCHAR kDirectoryFixedImage[] = L"directory_noSplit.png";

const WCHAR kBoxTitle[] = L"提示";
const WCHAR kNoNetworkText[] = L"网络异常，请您检查网络后再重试";

// Shown in the custom view; the unpacked product's size.
const double kNeededSpaceMB = 180.36;

// Client sizes of the two views.
const int kWindowWidth = 740;
const int kCompactHeight = 460;
const int kCustomHeight = 550;
const int kCustomPanelHeight = 90;

IInstallKernel* Kernel() { return KorvaInstallKernel::Instance(); }

}  // namespace

KorvaInstallMainWnd::KorvaInstallMainWnd() : viewToggle(0), initialised(0), installStarted(false) {}

KorvaInstallMainWnd::~KorvaInstallMainWnd() {}

LPCTSTR KorvaInstallMainWnd::GetWindowClassName() const { return L"KorvaInstallMainWnd"; }

CDuiString KorvaInstallMainWnd::GetSkinFolder() { return CDuiString(); }

CDuiString KorvaInstallMainWnd::GetSkinFile() { return CDuiString(L"KorvaInstallMainWnd.xml"); }

void KorvaInstallMainWnd::InitWindow() {
  std::string logPath = WideToAnsi(Kernel()->GetDataDir()) + "Install" + WideToAnsi(GetUtcTimestamp()) + ".log";
  SetLogPath(logPath);

  if (!IsNetworkConnected()) {
    ShowMessageBox(this, kBoxTitle, kNoNetworkText, kBoxNotice);
    PostMessage(kMsgQuit);
    return;
  }
  if (!Kernel()->Init()) {
    ShowMessageBox(this, kBoxTitle, L"程序初始化失败", kBoxNotice);
    PostMessage(kMsgQuit);
    return;
  }

  VerticalLayoutOverall = m_PaintManager.FindControl(L"VerticalLayoutOverall");
  VerticalLayoutDefault = m_PaintManager.FindControl(L"VerticalLayoutDefault");
  VerticalLayoutCustom = m_PaintManager.FindControl(L"VerticalLayoutCustom");
  HorizontalLayoutDirectory = m_PaintManager.FindControl(L"HorizontalLayoutDirectory");
  ButtonClose = m_PaintManager.FindControl(L"ButtonClose");
  ButtonInstall = m_PaintManager.FindControl(L"ButtonInstall");
  ButtonCustom = m_PaintManager.FindControl(L"ButtonCustom");
  ButtonChangeStyle = m_PaintManager.FindControl(L"ButtonChangeStyle");
  ButtonBrowser = m_PaintManager.FindControl(L"ButtonBrowser");
  ButtonAgreeProtocal = m_PaintManager.FindControl(L"ButtonAgreeProtocal");
  ButtonProtocal = m_PaintManager.FindControl(L"ButtonProtocal");
  EditDirectory = m_PaintManager.FindControl(L"EditDirectory");
  CControlUI* checkBox = m_PaintManager.FindControl(L"CheckBoxAgreeProtocal");
  CheckBoxAgreeProtocal = checkBox ? static_cast<CCheckBoxUI*>(checkBox->GetInterface(L"CheckBox")) : nullptr;

  if (CheckBoxAgreeProtocal) {
    CheckBoxAgreeProtocal->OnNotify += MakeDelegate(this, &KorvaInstallMainWnd::OnAgreeChanged);
  }

  LabelNeededSpace = m_PaintManager.FindControl(L"LabelNeededSpace");
  LabelAvailSpace = m_PaintManager.FindControl(L"LabelAvailSpace");

  LoadPreviousLocation();
  UpdateSpaceLabels();
  ToggleView();
  initialised = 1;
}

void KorvaInstallMainWnd::Notify(TNotifyUI& msg) {
  if (msg.sType.CompareNoCase(L"windowinit") == 0) {
    // Nothing to do once the window shows.
  } else if (msg.sType.CompareNoCase(L"click") == 0) {
    HandleClick(msg);
  }
  WindowImplBase::Notify(msg);
}

void KorvaInstallMainWnd::HandleClick(TNotifyUI& msg) {
  if (msg.sType != L"click") return;
  CControlUI* sender = msg.pSender;
  if (!sender) return;
  if (sender == ButtonClose) {
    ShowMessageBox(this, kBoxTitle, L"您确定要退出安装吗?", kBoxQuitConfirm);
  } else if (sender == ButtonInstall) {
    StartInstallCheck();
  } else if (sender == ButtonCustom || sender == ButtonChangeStyle) {
    ToggleView();
  } else if (sender == ButtonBrowser) {
    BrowseInstallDir();
  } else if (sender == ButtonAgreeProtocal) {
    if (CheckBoxAgreeProtocal) CheckBoxAgreeProtocal->SetCheck(!CheckBoxAgreeProtocal->GetCheck(), true);
  } else if (sender == ButtonProtocal) {
    ShowLicence();
  }
}

void KorvaInstallMainWnd::ShowLicence() {
  KorvaInstallProtocalWnd licence;
  RunInstallerDialog(licence, m_hWnd, L"Korva协议");
}

bool KorvaInstallMainWnd::OnAgreeChanged(void* param) {
  TNotifyUI* msg = static_cast<TNotifyUI*>(param);
  if (!msg || msg->sType != L"selectchanged" || !ButtonInstall) return true;
  CControlUI* sender = msg->pSender;
  CCheckBoxUI* box = sender ? static_cast<CCheckBoxUI*>(sender->GetInterface(L"CheckBox")) : nullptr;
  if (box) ButtonInstall->SetEnabled(box->GetCheck());
  return true;
}

void KorvaInstallMainWnd::StartInstallCheck() {
  switch (Kernel()->CheckEnvironment()) {
    case kEnvBadPath:
      ShowMessageBox(this, kBoxTitle, L"安装路径不合法，请重新选择", kBoxNotice);
      break;
    case kEnvNoNetwork:
      ShowMessageBox(this, kBoxTitle, kNoNetworkText, kBoxNotice);
      break;
    case kEnvNoDiskSpace:
      ShowMessageBox(this, kBoxTitle, L"磁盘空间不足，请清理空间后再试", kBoxNotice);
      break;
    case kEnvProgramRunning:
      ShowMessageBox(this, kBoxTitle, L"检测到Korva正在运行，您确定要关闭加速器覆盖安装吗?", kBoxOverwriteConfirm);
      break;
    case kEnvOk:
      PostMessage(kMsgStartInstall);
      break;
    default:
      break;
  }
}

void KorvaInstallMainWnd::LoadPreviousLocation() {
  std::wstring location;
  // An earlier installation fixes the directory: the new copy goes where the
  // old one is removed from, and that is also what the window shows.
  if (Kernel()->GetInstalledLocation(kProductGuid, location) && !location.empty()) {
    location = AddBackslash(location);
    Kernel()->SetInstallPath(location);
    if (EditDirectory) EditDirectory->SetText(location.c_str());
    if (ButtonBrowser) {
      ButtonBrowser->SetEnabled(false);
      ButtonBrowser->SetVisible(false);
    }
    if (HorizontalLayoutDirectory) HorizontalLayoutDirectory->SetBkImage(kDirectoryFixedImage);
    return;
  }
  if (EditDirectory) EditDirectory->SetText(Kernel()->GetInstallPath().c_str());
  if (ButtonBrowser) ButtonBrowser->SetEnabled(true);
}

void KorvaInstallMainWnd::UpdateSpaceLabels() {
  CDuiString text;
  text.Format(L"空间：%.2fMB", kNeededSpaceMB);
  if (LabelNeededSpace) LabelNeededSpace->SetText(text);

  std::wstring directory = EditDirectory ? std::wstring(EditDirectory->GetText().GetData()) : std::wstring();
  ULONGLONG freeBytes = GetFreeDiskSpace(directory);
  float gigabytes = static_cast<float>(freeBytes) / 1073741824.0f;
  text.Format(L"可用空间：%.2fGB", static_cast<double>(gigabytes));
  if (LabelAvailSpace) LabelAvailSpace->SetText(text);
}

void KorvaInstallMainWnd::ToggleView() {
  const bool custom = viewToggle != 0;
  ResizeClient(kWindowWidth, custom ? kCustomHeight : kCompactHeight);
  if (VerticalLayoutOverall) VerticalLayoutOverall->SetFixedHeight(custom ? kCustomHeight : kCompactHeight);
  if (VerticalLayoutCustom) VerticalLayoutCustom->SetFixedHeight(custom ? kCustomPanelHeight : 0);
  // The default part keeps its rows at the top; its height is the other view's.
  if (VerticalLayoutDefault) VerticalLayoutDefault->SetFixedHeight(custom ? kCompactHeight : kCustomHeight);
  if (VerticalLayoutCustom) VerticalLayoutCustom->SetVisible(custom);
  if (ButtonChangeStyle) ButtonChangeStyle->SetBkImage(custom ? kCustomStyleImage : kDefaultStyleImage);
  viewToggle = custom ? 0 : 1;
}

void KorvaInstallMainWnd::BrowseInstallDir() {
  WCHAR displayName[MAX_PATH] = {0};
  BROWSEINFOW info = {};
  info.hwndOwner = m_hWnd;
  info.pidlRoot = NULL;
  info.pszDisplayName = displayName;
  info.lpszTitle = L"";
  info.ulFlags = BIF_NEWDIALOGSTYLE;
  info.lpfn = NULL;
  info.lParam = 0;
  PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
  if (!chosen) return;
  WCHAR path[MAX_PATH] = {0};
  BOOL gotPath = SHGetPathFromIDListW(chosen, path);
  CoTaskMemFree(chosen);
  if (!gotPath) return;

  std::wstring directory = AddBackslash(AddBackslash(path) + kProductWord);
  if (EditDirectory) EditDirectory->SetText(directory.c_str());
  Kernel()->SetInstallPath(directory);
}

LRESULT KorvaInstallMainWnd::OnNcHitTest(UINT, WPARAM, LPARAM lParam, BOOL&) {
  static const wchar_t* const kKeepClicks[] = {L"Button", L"CheckBox", L"Edit", L"Label"};
  return HitTestSkinFrame(m_hWnd, m_PaintManager, lParam, kKeepClicks, sizeof(kKeepClicks) / sizeof(kKeepClicks[0]));
}

LRESULT KorvaInstallMainWnd::HandleCustomMessage(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled) {
  LRESULT result = 0;
  switch (msg) {
    case kMsgInstallDone: result = OnInstallDone(msg, wParam, lParam, handled); break;
    case kMsgCompleteChoice: result = OnCompleteChoice(msg, wParam, lParam, handled); break;
    case kMsgQuit: result = OnQuit(msg, wParam, lParam, handled); break;
    case kMsgActivate: result = OnActivate(msg, wParam, lParam, handled); break;
    case kMsgStartInstall: result = OnStartInstall(msg, wParam, lParam, handled); break;
    case kMsgInstallFailed: result = OnInstallFailed(msg, wParam, lParam, handled); break;
    default: handled = FALSE; break;
  }
  if (handled) return result;
  return WindowImplBase::HandleCustomMessage(msg, wParam, lParam, handled);
}

LRESULT KorvaInstallMainWnd::OnInstallDone(UINT, WPARAM, LPARAM, BOOL&) {
  KorvaInstallCompleteWnd complete(this);
  RunInstallerDialog(complete, NULL, L"Korva完成");
  return 0;
}

LRESULT KorvaInstallMainWnd::OnCompleteChoice(UINT, WPARAM wParam, LPARAM, BOOL& handled) {
  if (wParam != 0) {
    InstallConfig config = Kernel()->GetConfig();
    std::wstring directory = AddBackslash(Kernel()->GetInstallPath());
    std::wstring program = directory + config.mainapp;
    boost::algorithm::replace_all(program, L"/", L"\\");
    ShellExecuteW(NULL, L"open", program.c_str(), L"", directory.c_str(), SW_SHOW);
  }
  PostMessage(kMsgQuit);
  handled = FALSE;
  return 0;
}

LRESULT KorvaInstallMainWnd::OnQuit(UINT, WPARAM, LPARAM, BOOL& handled) {
  DeleteFileW((GetModuleDir() + kSkinBackupPath).c_str());
  PostQuitMessage(0);
  handled = FALSE;
  return 0;
}

LRESULT KorvaInstallMainWnd::OnActivate(UINT, WPARAM, LPARAM, BOOL&) {
  if (!initialised) return 0;
  ShowWindow(true, true);
  // Topmost and back: brought to the front without staying above the others.
  ::SetWindowPos(m_hWnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  ::SetWindowPos(m_hWnd, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  return 0;
}

LRESULT KorvaInstallMainWnd::OnStartInstall(UINT, WPARAM, LPARAM, BOOL&) {
  // A second request (a double click on the install button) would otherwise
  // start a second run nested inside the first one's progress window.
  if (installStarted) return 0;
  installStarted = true;
  ShowWindow(false, true);
  KorvaInstallProgressWnd progress(this);
  RunInstallerDialog(progress, NULL, L"Korva进度");
  return 0;
}

LRESULT KorvaInstallMainWnd::OnInstallFailed(UINT, WPARAM wParam, LPARAM, BOOL&) {
  const int code = static_cast<int>(wParam);
  const WCHAR* text = NULL;
  if (code == kInstallDownloadFailed) {
    text = L"下载失败";
  } else if (code == kInstallUnzipFailed) {
    text = L"解压失败";
  } else if (code >= 3 && code <= 9) {
    text = L"安装失败";
  }
  if (!text) return 0;
  ShowMessageBox(this, kBoxTitle, text, kBoxNotice);
  PostMessage(kMsgQuit);
  return 0;
}
