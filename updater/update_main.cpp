// The update program: takes over a freshly delivered skin archive, sets the
// window library up and runs the update window until it asks to quit.
#include <windows.h>
#include <objbase.h>

#include <string>

#include <duilib/UIlib.h>

#include "shared/file_system.h"
#include "shared/product_constants.h"
#include "shared/program_dirs.h"
#include "updater/KorvaUpdateWnd.h"
#include "updater/update_exit_hooks.h"

using namespace DuiLib;

namespace {

const int kMainIcon = 108;
const WCHAR kDeliveredSkin[] = L"skin.zip";

// A skin.zip placed beside the program replaces skin\skin.zip. It is kept
// until the copy is on the disk, so that the next start can try again. The
// window does not exist yet: the flush may wait here.
void InstallDeliveredSkin(const std::wstring& dir) {
  const std::wstring delivered = dir + kDeliveredSkin;
  if (!FileExists(delivered)) return;
  const std::wstring installed = dir + kSkinArchivePath;
  if (CopyFileW(delivered.c_str(), installed.c_str(), FALSE) && FlushFileToDisk(installed)) {
    DeleteFileW(delivered.c_str());
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  RegisterUpdaterExitHooks();
  InstallDeliveredSkin(GetModuleDir());

  CPaintManagerUI::SetInstance(instance);
  CPaintManagerUI::SetResourcePath(CPaintManagerUI::GetInstancePath() + L"skin");
  CPaintManagerUI::SetResourceZip(L"skin.zip", false);
  CWndShadow::Initialize(instance);

  if (FAILED(CoInitialize(NULL))) return 0;
  {
    KorvaUpdateWnd window;
    // WS_POPUP | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_CAPTION | WS_SYSMENU
    const std::wstring title = std::wstring(kProductName) + L"更新";
    HWND hwnd = window.Create(NULL, title.c_str(), 0x96C80000, 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, NULL);
    // Without its window (no skin) nothing could ever end the message loop.
    if (hwnd) {
      SetPropW(hwnd, L"KorvaTool", reinterpret_cast<HANDLE>(1));
      window.CenterWindow();
      window.SetIcon(kMainIcon);
      window.ShowWindow(true, true);
      CPaintManagerUI::MessageLoop();
    }
    CoUninitialize();
    if (window.GetHWND() && IsWindow(window.GetHWND())) DestroyWindow(window.GetHWND());
  }
  return 0;
}

// This machine starts programs through main(); the arguments are ignored as
// on Windows.
int main() { return wWinMain(GetModuleHandleW(NULL), NULL, NULL, SW_SHOWNORMAL); }
