#include "installer/KorvaWndFrame.h"

#include <windowsx.h>

#include "installer/install_messages.h"

using namespace DuiLib;

LRESULT HitTestSkinFrame(HWND window, CPaintManagerUI& manager, LPARAM lParam,
                         const wchar_t* const* keepClasses, size_t keepCount) {
  POINT pt = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  ::ScreenToClient(window, &pt);
  RECT client = {0, 0, 0, 0};
  ::GetClientRect(window, &client);

  if (!::IsZoomed(window)) {
    const RECT& box = manager.GetSizeBox();
    if (pt.y < client.top + box.top) {
      if (pt.x < client.left + box.left) return HTTOPLEFT;
      if (pt.x > client.right - box.right) return HTTOPRIGHT;
      return HTTOP;
    }
    if (pt.y > client.bottom - box.bottom) {
      if (pt.x < client.left + box.left) return HTBOTTOMLEFT;
      if (pt.x > client.right - box.right) return HTBOTTOMRIGHT;
      return HTBOTTOM;
    }
    if (pt.x < client.left + box.left) return HTLEFT;
    if (pt.x > client.right - box.right) return HTRIGHT;
  }

  const RECT& caption = manager.GetCaptionRect();
  if (pt.x >= client.left + caption.left && pt.x < client.right - caption.right && pt.y >= caption.top &&
      pt.y < caption.bottom) {
    CControlUI* control = manager.FindControl(pt);
    if (control) {
      for (size_t i = 0; i < keepCount; ++i) {
        if (CDuiString(control->GetClass()) == keepClasses[i]) return HTCLIENT;
      }
      return HTCAPTION;
    }
  }
  return HTCLIENT;
}

UINT RunInstallerDialog(WindowImplBase& dialog, HWND parent, LPCTSTR title) {
  // WS_POPUP | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_CAPTION | WS_SYSMENU
  const DWORD kDialogStyle = 0x96C80000;
  dialog.Create(parent, title, kDialogStyle, 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, NULL);
  HWND window = dialog.GetHWND();
  if (!window) return static_cast<UINT>(-1);
  ::SetPropW(window, kInstallerMark, reinterpret_cast<HANDLE>(1));
  dialog.CenterWindow();
  UINT result = dialog.ShowModal();
  DestroyLeftoverWindow(dialog.GetHWND());
  return result;
}

void DestroyLeftoverWindow(HWND window) {
  if (window && ::IsWindow(window)) ::DestroyWindow(window);
}
