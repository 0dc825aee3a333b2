#include <duilib/dui_window.h>

namespace DuiLib {

CWindowWnd::CWindowWnd() = default;
CWindowWnd::~CWindowWnd() = default;

HWND CWindowWnd::GetHWND() const { return m_hWnd; }
CWindowWnd::operator HWND() const { return m_hWnd; }

LPCTSTR CWindowWnd::GetSuperClassName() const { return nullptr; }
UINT CWindowWnd::GetClassStyle() const { return 0; }

bool CWindowWnd::RegisterWindowClass() {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.style = GetClassStyle();
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = CPaintManagerUI::GetInstance();
  wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = GetWindowClassName();
  if (::RegisterClassExW(&wc)) return true;
  return ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

HWND CWindowWnd::Create(HWND parent, LPCTSTR name, DWORD style, DWORD exStyle, const RECT rc, HMENU menu) {
  return Create(parent, name, style, exStyle, rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top, menu);
}

HWND CWindowWnd::Create(HWND parent, LPCTSTR name, DWORD style, DWORD exStyle, int x, int y, int cx, int cy,
                        HMENU menu) {
  if (!RegisterWindowClass()) return nullptr;
  // WindowProc binds the window to this object on WM_NCCREATE and sets m_hWnd.
  HWND hwnd = ::CreateWindowExW(exStyle, GetWindowClassName(), name, style, x, y, cx, cy, parent, menu,
                                CPaintManagerUI::GetInstance(), this);
  if (!hwnd) m_hWnd = nullptr;
  return hwnd;
}

void CWindowWnd::ShowWindow(bool show, bool takeFocus) {
  if (!::IsWindow(m_hWnd)) return;
  ::ShowWindow(m_hWnd, show ? (takeFocus ? SW_SHOWNORMAL : SW_SHOWNOACTIVATE) : SW_HIDE);
}

UINT CWindowWnd::ShowModal() {
  HWND self = m_hWnd;
  if (!::IsWindow(self)) return static_cast<UINT>(-1);
  HWND owner = ::GetWindow(self, GW_OWNER);
  ::ShowWindow(self, SW_SHOWNORMAL);
  if (owner) ::EnableWindow(owner, FALSE);
  // Only locals after this point: the window object may end with its window.
  UINT result = 0;
  bool quit = false;
  int quitCode = 0;
  MSG msg{};
  while (::IsWindow(self)) {
    BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      quit = true;
      quitCode = static_cast<int>(msg.wParam);
      break;
    }
    if (got < 0) break;
    if (msg.message == WM_CLOSE && msg.hwnd == self) {
      result = static_cast<UINT>(msg.wParam);
      if (owner) ::EnableWindow(owner, TRUE);
    }
    if (!CPaintManagerUI::TranslateMessage(&msg)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
  }
  if (owner) {
    ::EnableWindow(owner, TRUE);
    ::SetFocus(owner);
  }
  // The loop outside must end too.
  if (quit) ::PostQuitMessage(quitCode);
  return result;
}

void CWindowWnd::Close(UINT ret) {
  if (::IsWindow(m_hWnd)) ::PostMessageW(m_hWnd, WM_CLOSE, static_cast<WPARAM>(ret), 0);
}

void CWindowWnd::CenterWindow() {
  if (!::IsWindow(m_hWnd)) return;
  RECT window{};
  ::GetWindowRect(m_hWnd, &window);
  RECT area{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  RECT center = area;
  HWND owner = ::GetWindow(m_hWnd, GW_OWNER);
  if (owner && ::IsWindowVisible(owner) && !::IsIconic(owner)) ::GetWindowRect(owner, &center);
  const long width = window.right - window.left;
  const long height = window.bottom - window.top;
  long x = (center.left + center.right) / 2 - width / 2;
  long y = (center.top + center.bottom) / 2 - height / 2;
  // Keep the window on the work area.
  if (x + width > area.right) x = area.right - width;
  if (y + height > area.bottom) y = area.bottom - height;
  if (x < area.left) x = area.left;
  if (y < area.top) y = area.top;
  ::SetWindowPos(m_hWnd, nullptr, static_cast<int>(x), static_cast<int>(y), -1, -1,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CWindowWnd::SetIcon(UINT res) {
  if (!::IsWindow(m_hWnd)) return;
  HINSTANCE instance = CPaintManagerUI::GetInstance();
  HANDLE iconBig = ::LoadImageW(instance, MAKEINTRESOURCEW(res), IMAGE_ICON, ::GetSystemMetrics(SM_CXICON),
                            ::GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR);
  HANDLE iconSmall = ::LoadImageW(instance, MAKEINTRESOURCEW(res), IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                              ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR);
  if (iconBig) ::SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(iconBig));
  if (iconSmall) ::SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(iconSmall));
}

LRESULT CWindowWnd::SendMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  return ::SendMessageW(m_hWnd, msg, wParam, lParam);
}

LRESULT CWindowWnd::PostMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  return ::PostMessageW(m_hWnd, msg, wParam, lParam);
}

void CWindowWnd::ResizeClient(int cx, int cy) {
  if (!::IsWindow(m_hWnd)) return;
  RECT rc{};
  if (!::GetClientRect(m_hWnd, &rc)) return;
  if (cx != -1) rc.right = cx;
  if (cy != -1) rc.bottom = cy;
  ::AdjustWindowRectEx(&rc, static_cast<DWORD>(::GetWindowLongW(m_hWnd, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(::GetWindowLongW(m_hWnd, GWL_EXSTYLE)));
  ::SetWindowPos(m_hWnd, nullptr, 0, 0, rc.right - rc.left, rc.bottom - rc.top,
                 SWP_NOZORDER | SWP_NOMOVE | SWP_NOACTIVATE);
}

LRESULT CWindowWnd::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  return ::DefWindowProcW(m_hWnd, msg, wParam, lParam);
}

void CWindowWnd::OnFinalMessage(HWND) {}

LRESULT CALLBACK CWindowWnd::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  CWindowWnd* self = nullptr;
  if (msg == WM_NCCREATE) {
    auto* create = reinterpret_cast<LPCREATESTRUCTW>(lParam);
    self = static_cast<CWindowWnd*>(create->lpCreateParams);
    if (self) {
      self->m_hWnd = hwnd;
      ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
  } else {
    self = reinterpret_cast<CWindowWnd*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (msg == WM_NCDESTROY && self) {
      LRESULT result = ::DefWindowProcW(hwnd, msg, wParam, lParam);
      ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      self->m_hWnd = nullptr;
      self->OnFinalMessage(hwnd);
      return result;
    }
  }
  if (self) return self->HandleMessage(msg, wParam, lParam);
  return ::DefWindowProcW(hwnd, msg, wParam, lParam);
}

}  // namespace DuiLib
