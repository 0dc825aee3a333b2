// The screen, its metrics, rectangles, icons, cursors and input state.
#include <algorithm>
#include <mutex>

#include "internal/machine.h"
#include "win32/user/user_state.h"

namespace win32 {
namespace user {

void ScreenSize(int* width, int* height) {
  *width = 1920;
  *height = 1080;
  Json::Value screen = MachineConfig()["screen"];
  if (!screen.isObject()) return;
  if (screen["width"].isInt() && screen["width"].asInt() > 0) *width = screen["width"].asInt();
  if (screen["height"].isInt() && screen["height"].asInt() > 0) *height = screen["height"].asInt();
}

}  // namespace user
}  // namespace win32

using win32::user::ScreenSize;

namespace {

HMONITOR const kMonitor = reinterpret_cast<HMONITOR>(static_cast<uintptr_t>(0x10001));

std::mutex g_inputMutex;
POINT g_cursorPos{0, 0};
HCURSOR g_cursor = nullptr;

// Icons and cursors carry no pixels: a handle only tells which resource it is.
HANDLE ResourceHandle(HINSTANCE instance, LPCWSTR name, uintptr_t kind) {
  uintptr_t id;
  if (IS_INTRESOURCE(name)) {
    id = reinterpret_cast<uintptr_t>(name);
  } else {
    if (!name) return nullptr;
    uint32_t hash = 2166136261u;
    for (const wchar_t* p = name; *p; ++p) hash = (hash ^ static_cast<uint32_t>(*p)) * 16777619u;
    id = 0x10000 | (hash & 0xFFFF);
  }
  uintptr_t module = instance ? 1 : 0;  // system resources and the program's own differ
  return reinterpret_cast<HANDLE>(kind << 24 | module << 20 | id);
}

}  // namespace

int WINAPI GetSystemMetrics(int index) {
  int width = 0, height = 0;
  ScreenSize(&width, &height);
  switch (index) {
    case SM_CXSCREEN: case SM_CXFULLSCREEN: case SM_CXVIRTUALSCREEN: case SM_CXMAXIMIZED:
      return width;
    case SM_CYSCREEN: case SM_CYVIRTUALSCREEN: case SM_CYMAXIMIZED:
      return height;
    case SM_CYFULLSCREEN: return height - 23;
    case SM_CXMAXTRACK: return width + 16;
    case SM_CYMAXTRACK: return height + 16;
    case SM_XVIRTUALSCREEN: case SM_YVIRTUALSCREEN: return 0;
    case SM_CMONITORS: case SM_MOUSEPRESENT: return 1;
    case SM_CXICON: case SM_CYICON: case SM_CXCURSOR: case SM_CYCURSOR: return 32;
    case SM_CXSMICON: case SM_CYSMICON: return 16;
    case SM_CYCAPTION: return 23;
    case SM_CYMENU: return 20;
    case SM_CXBORDER: case SM_CYBORDER: return 1;
    case SM_CXDLGFRAME: case SM_CYDLGFRAME: return 3;
    case SM_CXFRAME: case SM_CYFRAME: return 4;
    case SM_CXEDGE: case SM_CYEDGE: return 2;
    case SM_CXVSCROLL: case SM_CYHSCROLL: return 17;
    case SM_CXSIZE: case SM_CYSIZE: return 22;
    case SM_CXMIN: case SM_CXMINTRACK: return 136;
    case SM_CYMIN: case SM_CYMINTRACK: return 39;
    case SM_CXDOUBLECLK: case SM_CYDOUBLECLK: case SM_CXDRAG: case SM_CYDRAG: return 4;
  }
  return 0;
}

BOOL WINAPI SystemParametersInfoW(UINT action, UINT, PVOID value, UINT) {
  if (action == SPI_GETWORKAREA && value) {
    int width = 0, height = 0;
    ScreenSize(&width, &height);
    *static_cast<RECT*>(value) = RECT{0, 0, width, height};
    return TRUE;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

HMONITOR WINAPI MonitorFromWindow(HWND, DWORD) { return kMonitor; }
HMONITOR WINAPI MonitorFromPoint(POINT, DWORD) { return kMonitor; }
HMONITOR WINAPI MonitorFromRect(LPCRECT, DWORD) { return kMonitor; }

BOOL WINAPI GetMonitorInfoW(HMONITOR monitor, LPMONITORINFO info) {
  if (monitor != kMonitor || !info || info->cbSize < sizeof(MONITORINFO)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int width = 0, height = 0;
  ScreenSize(&width, &height);
  info->rcMonitor = RECT{0, 0, width, height};
  info->rcWork = info->rcMonitor;
  info->dwFlags = MONITORINFOF_PRIMARY;
  return TRUE;
}

// ---- rectangles ------------------------------------------------------------------

BOOL WINAPI SetRect(LPRECT rect, int left, int top, int right, int bottom) {
  if (!rect) return FALSE;
  *rect = RECT{left, top, right, bottom};
  return TRUE;
}

BOOL WINAPI SetRectEmpty(LPRECT rect) { return SetRect(rect, 0, 0, 0, 0); }

BOOL WINAPI CopyRect(LPRECT dst, const RECT* src) {
  if (!dst || !src) return FALSE;
  *dst = *src;
  return TRUE;
}

BOOL WINAPI InflateRect(LPRECT rect, int dx, int dy) {
  if (!rect) return FALSE;
  rect->left -= dx;
  rect->top -= dy;
  rect->right += dx;
  rect->bottom += dy;
  return TRUE;
}

BOOL WINAPI OffsetRect(LPRECT rect, int dx, int dy) {
  if (!rect) return FALSE;
  rect->left += dx;
  rect->right += dx;
  rect->top += dy;
  rect->bottom += dy;
  return TRUE;
}

BOOL WINAPI IsRectEmpty(const RECT* rect) {
  return !rect || rect->right <= rect->left || rect->bottom <= rect->top;
}

BOOL WINAPI IntersectRect(LPRECT dst, const RECT* a, const RECT* b) {
  if (!dst || !a || !b) return FALSE;
  RECT r{std::max(a->left, b->left), std::max(a->top, b->top), std::min(a->right, b->right),
         std::min(a->bottom, b->bottom)};
  if (IsRectEmpty(&r)) {
    *dst = RECT{0, 0, 0, 0};
    return FALSE;
  }
  *dst = r;
  return TRUE;
}

BOOL WINAPI UnionRect(LPRECT dst, const RECT* a, const RECT* b) {
  if (!dst || !a || !b) return FALSE;
  if (IsRectEmpty(a) && IsRectEmpty(b)) {
    *dst = RECT{0, 0, 0, 0};
    return FALSE;
  }
  if (IsRectEmpty(a)) {
    *dst = *b;
  } else if (IsRectEmpty(b)) {
    *dst = *a;
  } else {
    *dst = RECT{std::min(a->left, b->left), std::min(a->top, b->top), std::max(a->right, b->right),
                std::max(a->bottom, b->bottom)};
  }
  return TRUE;
}

BOOL WINAPI PtInRect(const RECT* rect, POINT point) {
  return rect && point.x >= rect->left && point.x < rect->right && point.y >= rect->top &&
         point.y < rect->bottom;
}

BOOL WINAPI EqualRect(const RECT* a, const RECT* b) {
  return a && b && a->left == b->left && a->top == b->top && a->right == b->right &&
         a->bottom == b->bottom;
}

// ---- icons, cursors, input -----------------------------------------------------------

HICON WINAPI LoadIconW(HINSTANCE instance, LPCWSTR name) {
  return static_cast<HICON>(ResourceHandle(instance, name, 0x1));
}

HCURSOR WINAPI LoadCursorW(HINSTANCE instance, LPCWSTR name) {
  return static_cast<HCURSOR>(ResourceHandle(instance, name, 0x2));
}

HANDLE WINAPI LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int, int, UINT) {
  if (type == IMAGE_ICON) return LoadIconW(instance, name);
  if (type == IMAGE_CURSOR) return LoadCursorW(instance, name);
  SetLastError(ERROR_NOT_FOUND);
  return nullptr;
}

BOOL WINAPI DestroyIcon(HICON icon) { return icon ? TRUE : FALSE; }
BOOL WINAPI DestroyCursor(HCURSOR cursor) { return cursor ? TRUE : FALSE; }

HCURSOR WINAPI SetCursor(HCURSOR cursor) {
  std::lock_guard<std::mutex> lock(g_inputMutex);
  HCURSOR old = g_cursor;
  g_cursor = cursor;
  return old;
}

HCURSOR WINAPI GetCursor() {
  std::lock_guard<std::mutex> lock(g_inputMutex);
  return g_cursor;
}

BOOL WINAPI GetCursorPos(LPPOINT point) {
  if (!point) return FALSE;
  std::lock_guard<std::mutex> lock(g_inputMutex);
  *point = g_cursorPos;
  return TRUE;
}

BOOL WINAPI SetCursorPos(int x, int y) {
  int width = 0, height = 0;
  ScreenSize(&width, &height);
  std::lock_guard<std::mutex> lock(g_inputMutex);
  g_cursorPos = POINT{std::clamp(x, 0, width - 1), std::clamp(y, 0, height - 1)};
  return TRUE;
}

SHORT WINAPI GetKeyState(int) { return 0; }
SHORT WINAPI GetAsyncKeyState(int) { return 0; }

BOOL WINAPI TrackMouseEvent(LPTRACKMOUSEEVENT event) {
  if (!event || event->cbSize < sizeof(TRACKMOUSEEVENT)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}
