#include <duilib/dui_window.h>
#include <windowsx.h>

#include <cstdio>

#include "internal/unicode.h"

namespace DuiLib {

WindowImplBase::WindowImplBase() = default;
WindowImplBase::~WindowImplBase() = default;

void WindowImplBase::InitWindow() {}
void WindowImplBase::OnClick(TNotifyUI&) {}

void WindowImplBase::Notify(TNotifyUI& msg) {
  if (msg.sType == L"click") OnClick(msg);
}

CControlUI* WindowImplBase::CreateControl(LPCTSTR) { return nullptr; }

LRESULT WindowImplBase::ResponseDefaultKeyEvent(WPARAM) { return FALSE; }
UILIB_RESOURCETYPE WindowImplBase::GetResourceType() const { return UILIB_FILE; }
CDuiString WindowImplBase::GetZIPFileName() const { return CDuiString(); }
LPCTSTR WindowImplBase::GetResourceID() const { return L""; }
LPCTSTR WindowImplBase::GetSuperClassName() const { return nullptr; }
UINT WindowImplBase::GetClassStyle() const { return CS_DBLCLKS; }

#define DUI_PASS_ON(Handler)                                                       \
  LRESULT WindowImplBase::Handler(UINT, WPARAM, LPARAM, BOOL& handled) {         \
    handled = FALSE;                                                               \
    return 0;                                                                      \
  }

DUI_PASS_ON(OnClose)
DUI_PASS_ON(OnDestroy)
DUI_PASS_ON(OnMouseWheel)
DUI_PASS_ON(OnMouseHover)
DUI_PASS_ON(OnSize)
DUI_PASS_ON(OnChar)
DUI_PASS_ON(OnSysCommand)
DUI_PASS_ON(OnKeyDown)
DUI_PASS_ON(OnKillFocus)
DUI_PASS_ON(OnSetFocus)
DUI_PASS_ON(OnLButtonDown)
DUI_PASS_ON(OnLButtonUp)
DUI_PASS_ON(OnMouseMove)
DUI_PASS_ON(HandleCustomMessage)

LRESULT WindowImplBase::OnNcActivate(UINT, WPARAM wParam, LPARAM, BOOL& handled) {
  if (::IsIconic(m_hWnd)) handled = FALSE;
  return wParam == 0 ? TRUE : FALSE;
}

// The skin draws the whole window: no frame.
LRESULT WindowImplBase::OnNcCalcSize(UINT, WPARAM, LPARAM, BOOL&) { return 0; }
LRESULT WindowImplBase::OnNcPaint(UINT, WPARAM, LPARAM, BOOL&) { return 0; }

LRESULT WindowImplBase::OnNcHitTest(UINT, WPARAM, LPARAM lParam, BOOL&) {
  POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  ::ScreenToClient(m_hWnd, &pt);
  RECT client{};
  ::GetClientRect(m_hWnd, &client);
  if (!::IsZoomed(m_hWnd)) {
    const RECT& box = m_PaintManager.GetSizeBox();
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
  const RECT& caption = m_PaintManager.GetCaptionRect();
  if (pt.x >= client.left + caption.left && pt.x < client.right - caption.right && pt.y >= caption.top &&
      pt.y < caption.bottom) {
    CControlUI* control = m_PaintManager.FindControl(pt);
    // Controls the user works with keep their clicks; the rest drags the window.
    static const wchar_t* const kActive[] = {L"Button", L"Option", L"CheckBox", L"Edit", L"RichEdit", L"ScrollBar"};
    bool active = false;
    for (const wchar_t* cls : kActive) active = active || (control && CDuiString(control->GetClass()) == cls);
    if (control && !active) return HTCAPTION;
  }
  return HTCLIENT;
}

LRESULT WindowImplBase::OnGetMinMaxInfo(UINT, WPARAM, LPARAM lParam, BOOL& handled) {
  auto* info = reinterpret_cast<LPMINMAXINFO>(lParam);
  SIZE min = m_PaintManager.GetMinInfo();
  SIZE max = m_PaintManager.GetMaxInfo();
  if (info && min.cx > 0) info->ptMinTrackSize.x = min.cx;
  if (info && min.cy > 0) info->ptMinTrackSize.y = min.cy;
  if (info && max.cx > 0) info->ptMaxTrackSize.x = max.cx;
  if (info && max.cy > 0) info->ptMaxTrackSize.y = max.cy;
  handled = FALSE;
  return 0;
}

LRESULT WindowImplBase::OnCreate(UINT, WPARAM, LPARAM, BOOL&) {
  ::SetWindowLongW(m_hWnd, GWL_STYLE, GetStyle());
  m_PaintManager.Init(m_hWnd);
  m_PaintManager.AddPreMessageFilter(this);

  CDuiString error;
  UILIB_RESOURCETYPE type = GetResourceType();
  if (type == UILIB_ZIP) {
    CPaintManagerUI::SetResourceZip(GetZIPFileName(), true);
  } else if (type != UILIB_FILE) {
    error = L"layouts can only come from files or archives on this machine";
  }
  CControlUI* root = nullptr;
  if (error.IsEmpty()) {
    CDuiString layout = GetSkinFolder();
    if (!layout.IsEmpty() && layout[layout.GetLength() - 1] != L'\\' && layout[layout.GetLength() - 1] != L'/') {
      layout += L'\\';
    }
    layout += GetSkinFile();
    CDialogBuilder builder;
    root = builder.Create(layout, nullptr, this, &m_PaintManager);
    if (!root) error = builder.GetLastErrorMessage();
  }
  if (!root) {
    std::fprintf(stderr, "duilib: cannot create window %s: %s\n", win32::WideToUtf8(GetWindowClassName()).c_str(),
                 win32::WideToUtf8(error.GetData()).c_str());
    return -1;
  }
  m_PaintManager.AttachDialog(root);
  m_PaintManager.AddNotifier(this);
  InitWindow();
  return 0;
}

LONG WindowImplBase::GetStyle() {
  LONG style = ::GetWindowLongW(m_hWnd, GWL_STYLE);
  return style & ~static_cast<LONG>(WS_CAPTION);
}

LRESULT WindowImplBase::MessageHandler(UINT msg, WPARAM wParam, LPARAM, bool& handled) {
  if (msg == WM_KEYDOWN && (wParam == VK_RETURN || wParam == VK_ESCAPE)) {
    LRESULT result = ResponseDefaultKeyEvent(wParam);
    handled = result != FALSE;
    return result;
  }
  return FALSE;
}

void WindowImplBase::OnFinalMessage(HWND) {
  m_PaintManager.RemovePreMessageFilter(this);
  m_PaintManager.RemoveNotifier(this);
  m_PaintManager.Init(nullptr);
}

LRESULT WindowImplBase::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  BOOL handled = TRUE;
  switch (msg) {
    case WM_CREATE: result = OnCreate(msg, wParam, lParam, handled); break;
    case WM_CLOSE: result = OnClose(msg, wParam, lParam, handled); break;
    case WM_DESTROY: result = OnDestroy(msg, wParam, lParam, handled); break;
    case WM_NCACTIVATE: result = OnNcActivate(msg, wParam, lParam, handled); break;
    case WM_NCCALCSIZE: result = OnNcCalcSize(msg, wParam, lParam, handled); break;
    case WM_NCPAINT: result = OnNcPaint(msg, wParam, lParam, handled); break;
    case WM_NCHITTEST: result = OnNcHitTest(msg, wParam, lParam, handled); break;
    case WM_GETMINMAXINFO: result = OnGetMinMaxInfo(msg, wParam, lParam, handled); break;
    case WM_MOUSEWHEEL: result = OnMouseWheel(msg, wParam, lParam, handled); break;
    case WM_SIZE: result = OnSize(msg, wParam, lParam, handled); break;
    case WM_CHAR: result = OnChar(msg, wParam, lParam, handled); break;
    case WM_SYSCOMMAND: result = OnSysCommand(msg, wParam, lParam, handled); break;
    case WM_KEYDOWN: result = OnKeyDown(msg, wParam, lParam, handled); break;
    case WM_KILLFOCUS: result = OnKillFocus(msg, wParam, lParam, handled); break;
    case WM_SETFOCUS: result = OnSetFocus(msg, wParam, lParam, handled); break;
    case WM_LBUTTONUP: result = OnLButtonUp(msg, wParam, lParam, handled); break;
    case WM_LBUTTONDOWN: result = OnLButtonDown(msg, wParam, lParam, handled); break;
    case WM_MOUSEMOVE: result = OnMouseMove(msg, wParam, lParam, handled); break;
    case WM_MOUSEHOVER: result = OnMouseHover(msg, wParam, lParam, handled); break;
    default: handled = FALSE; break;
  }
  if (handled) return result;
  result = HandleCustomMessage(msg, wParam, lParam, handled);
  if (handled) return result;
  if (m_PaintManager.MessageHandler(msg, wParam, lParam, result)) return result;
  return CWindowWnd::HandleMessage(msg, wParam, lParam);
}

bool CWndShadow::Initialize(HINSTANCE) { return true; }

}  // namespace DuiLib
