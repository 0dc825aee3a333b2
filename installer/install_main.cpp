// The install program: single-instance check, window library set-up and the
// main window's message loop.
#include <windows.h>
#include <objbase.h>

#include <duilib/UIlib.h>

#include "installer/KorvaInstallMainWnd.h"
#include "installer/KorvaWndFrame.h"
#include "installer/install_messages.h"
#include "installer/process_objects.h"
#include "shared/system_helpers.h"

using namespace DuiLib;

namespace {

// The process-wide objects are freed at exit in the reverse order of this
// registration, which must precede their first use.
const bool kExitHooksRegistered = (RegisterInstallerExitHooks(), true);

const int kMainIcon = 108;

}  // namespace

// True when no other installer runs. Otherwise the other one's window is
// brought forward (shown first when it is minimised or hidden) and this
// process must end.
bool EnsureSingleInstance() {
  // Held, never closed, for the life of the process.
  HANDLE mutex = CreateMutexW(NULL, FALSE, kInstallerMark);
  (void)mutex;
  if (GetLastError() != ERROR_ALREADY_EXISTS) return true;

  for (HWND window = GetWindow(GetDesktopWindow(), GW_CHILD); window; window = GetWindow(window, GW_HWNDNEXT)) {
    if (!GetPropW(window, kInstallerMark)) continue;
    if (IsIconic(window) || !IsWindowVisible(window)) PostMessageW(window, kMsgActivate, 0, 0);
    SetForegroundWindow(window);
    break;
  }
  return false;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  (void)kExitHooksRegistered;
  if (!EnsureSingleInstance()) return 0;
  SetCompatibilityAssistantFlag();

  CPaintManagerUI::SetInstance(instance);
  CPaintManagerUI::SetResourcePath(CPaintManagerUI::GetInstancePath() + L"skin");
  CPaintManagerUI::SetResourceZip(L"skin.zip", false);
  CWndShadow::Initialize(instance);

  HRESULT hr = CoInitialize(NULL);
  if (FAILED(hr)) return 0;

  {
    KorvaInstallMainWnd mainWnd;
    // WS_POPUP | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_CAPTION | WS_SYSMENU
    HWND window = mainWnd.Create(NULL, L"Korva主窗口", 0x96C80000, 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                 CW_USEDEFAULT, NULL);
    // Without its window (no skin) nothing could ever end the message loop.
    if (window) {
      SetPropW(mainWnd.GetHWND(), kInstallerMark, reinterpret_cast<HANDLE>(1));
      mainWnd.CenterWindow();
      mainWnd.SetIcon(kMainIcon);
      mainWnd.ShowWindow(true, true);
      CPaintManagerUI::MessageLoop();
    }
    CoUninitialize();
    DestroyLeftoverWindow(mainWnd.GetHWND());
  }
  return 0;
}

// This machine starts programs through main(); the arguments are ignored as
// on Windows.
int main() { return wWinMain(GetModuleHandleW(NULL), NULL, NULL, SW_SHOWNORMAL); }
