// Visibility, size and position, z-order, activation, focus and painting.
#include <algorithm>

#include "win32/user/user_state.h"

using namespace win32::user;
using win32::station::WindowRecord;

namespace {

// Device context handed out for windows: nothing is drawn on this machine.
HDC const kWindowDC = reinterpret_cast<HDC>(static_cast<uintptr_t>(0xDC0001));

bool Remote(HWND hwnd, WindowRecord* record) {
  if (!hwnd || IsLocalHandle(hwnd) || !win32::station::Find(hwnd, record)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  return true;
}

std::shared_ptr<Window> FindForChange(HWND hwnd) {
  auto w = Find(hwnd);
  if (!w) SetLastError(IsWindow(hwnd) ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
  return w;
}

// Window rectangle in screen coordinates (State::mutex held).
RECT ScreenRectLocked(const Window& w) {
  RECT r = w.rect;
  if (w.parent)
    if (auto p = FindLocked(w.parent)) {
      RECT pr = ScreenRectLocked(*p);
      OffsetRect(&r, pr.left, pr.top);
    }
  return r;
}

void MarkDirtyLocked(Window* w) {
  w->dirty = true;
  ++w->paintGeneration;
}

RECT WorkArea() {
  int width = 0, height = 0;
  ScreenSize(&width, &height);
  return RECT{0, 0, width, height};
}

bool SameSize(const RECT& a, const RECT& b) {
  return a.right - a.left == b.right - b.left && a.bottom - a.top == b.bottom - b.top;
}

// Activation inside the calling thread: WM_NCACTIVATE/WM_ACTIVATE to the
// window losing and the window gaining it, which also becomes the machine's
// foreground window.
HWND ActivateLocal(HWND hwnd) {
  auto q = CurrentQueue();
  HWND old = q->active;
  if (old && !Find(old)) old = nullptr;
  if (old == hwnd) {
    if (hwnd) StoreForeground(hwnd);
    return old;
  }
  q->active = hwnd;
  if (old) {
    SendMessageW(old, WM_NCACTIVATE, FALSE, 0);
    SendMessageW(old, WM_ACTIVATE, WA_INACTIVE, reinterpret_cast<LPARAM>(hwnd));
  }
  if (hwnd) {
    SendMessageW(hwnd, WM_NCACTIVATE, TRUE, 0);
    SendMessageW(hwnd, WM_ACTIVATE, MAKEWPARAM(WA_ACTIVE, IsIconic(hwnd) ? 1 : 0),
                 reinterpret_cast<LPARAM>(old));
    StoreForeground(hwnd);
  }
  return old;
}

// Activates a top-level window of this process from whichever thread.
void Activate(HWND hwnd) {
  DWORD tid = GetWindowThreadProcessId(hwnd, nullptr);
  if (tid == GetCurrentThreadId())
    ActivateLocal(hwnd);
  else
    StoreForeground(hwnd);
}

void Deactivated(HWND hwnd) {
  auto q = CurrentQueue();
  if (q->active == hwnd) q->active = nullptr;
}

bool IsTopLevel(const std::shared_ptr<Window>& w) {
  std::lock_guard<std::mutex> lock(S().mutex);
  return w->topLevel();
}

}  // namespace

namespace win32 {
namespace user {

bool ApplyZOrder(HWND hwnd, HWND insertAfter) {
  int64_t targetZ = 0;
  bool targetTopmost = false;
  const bool relative = insertAfter != HWND_TOP && insertAfter != HWND_BOTTOM &&
                        insertAfter != HWND_TOPMOST && insertAfter != HWND_NOTOPMOST;
  if (relative && !IsLocalHandle(insertAfter)) {
    WindowRecord record;
    if (!station::Find(insertAfter, &record)) return false;
    targetZ = record.z;
    targetTopmost = record.topmost();
  }
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    auto w = FindLocked(hwnd);
    if (!w) return false;
    if (w->parent) {
      auto p = FindLocked(w->parent);
      if (!p) return false;
      auto& kids = p->children;
      kids.erase(std::remove(kids.begin(), kids.end(), hwnd), kids.end());
      auto pos = kids.begin();
      if (insertAfter == HWND_BOTTOM) {
        pos = kids.end();
      } else if (relative) {
        pos = std::find(kids.begin(), kids.end(), insertAfter);
        pos = pos == kids.end() ? kids.begin() : pos + 1;
      }
      kids.insert(pos, hwnd);
      return true;
    }
    if (relative && IsLocalHandle(insertAfter)) {
      auto t = FindLocked(insertAfter);
      if (!t) return false;
      targetZ = t->z;
      targetTopmost = (t->exStyle & WS_EX_TOPMOST) != 0;
    }
    if (insertAfter == HWND_TOPMOST) {
      w->exStyle |= WS_EX_TOPMOST;
      w->z = NewTopZ();
    } else if (insertAfter == HWND_NOTOPMOST) {
      w->exStyle &= ~WS_EX_TOPMOST;
      w->z = NewTopZ();  // top of the non-topmost windows
    } else if (insertAfter == HWND_TOP) {
      w->z = NewTopZ();
    } else if (insertAfter == HWND_BOTTOM) {
      w->exStyle &= ~WS_EX_TOPMOST;
      w->z = NewBottomZ();
    } else {
      w->z = targetZ - 1;
      if (targetTopmost)
        w->exStyle |= WS_EX_TOPMOST;
      else
        w->exStyle &= ~WS_EX_TOPMOST;
    }
    // Owned windows stay above their owner.
    if (insertAfter != HWND_BOTTOM && !relative) {
      std::vector<std::shared_ptr<Window>> owned;
      for (auto& entry : S().windows)
        if (entry.second->owner == hwnd) owned.push_back(entry.second);
      std::sort(owned.begin(), owned.end(), [](const auto& a, const auto& b) { return a->z < b->z; });
      for (auto& o : owned) o->z = NewTopZ();
    }
  }
  Publish();
  return true;
}

}  // namespace user
}  // namespace win32

BOOL WINAPI ShowWindow(HWND hwnd, int cmd) {
  auto w = FindForChange(hwnd);
  if (!w) return FALSE;
  enum Target { kKeep, kNormal, kRestore, kMin, kMax };
  bool show = true, activate = false;
  Target target = kKeep;
  switch (cmd) {
    case SW_HIDE: show = false; break;
    case SW_SHOWNORMAL: case SW_SHOWDEFAULT: target = kNormal; activate = true; break;
    case SW_RESTORE: target = kRestore; activate = true; break;
    case SW_SHOWNOACTIVATE: target = kRestore; break;
    case SW_SHOW: activate = true; break;
    case SW_SHOWNA: break;
    case SW_MINIMIZE: case SW_SHOWMINIMIZED: case SW_SHOWMINNOACTIVE: case SW_FORCEMINIMIZE:
      target = kMin;
      break;
    case SW_SHOWMAXIMIZED: target = kMax; activate = true; break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
  }
  bool wasVisible;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    wasVisible = (w->style & WS_VISIBLE) != 0;
  }
  if (show != wasVisible) SendMessageW(hwnd, WM_SHOWWINDOW, show ? TRUE : FALSE, 0);

  bool stateChanged = false, moved = false;
  WPARAM sizeKind = SIZE_RESTORED;
  RECT client{};
  POINT origin{};
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    if (!FindLocked(hwnd)) return wasVisible ? TRUE : FALSE;
    if (show)
      w->style |= WS_VISIBLE;
    else
      w->style &= ~WS_VISIBLE;
    const bool wasMin = (w->style & WS_MINIMIZE) != 0;
    const bool wasMax = (w->style & WS_MAXIMIZE) != 0;
    const RECT before = w->rect;
    if (target == kRestore) target = wasMin && w->restoreMaximized ? kMax : kNormal;
    if (target == kNormal && (wasMin || wasMax)) {
      if (wasMax || w->restoreMaximized) w->rect = w->normalRect;
      w->style &= ~(WS_MINIMIZE | WS_MAXIMIZE);
      w->restoreMaximized = false;
      stateChanged = true;
    } else if (target == kMax && !wasMax) {
      if (!(wasMin && w->restoreMaximized)) w->normalRect = w->rect;
      w->rect = WorkArea();
      w->style = (w->style & ~WS_MINIMIZE) | WS_MAXIMIZE;
      w->restoreMaximized = false;
      stateChanged = true;
    } else if (target == kMin && !wasMin) {
      w->restoreMaximized = wasMax;
      w->style = (w->style & ~WS_MAXIMIZE) | WS_MINIMIZE;
      stateChanged = true;
    }
    moved = before.left != w->rect.left || before.top != w->rect.top;
    if ((show && !wasVisible) || !SameSize(before, w->rect)) MarkDirtyLocked(w.get());
    sizeKind = (w->style & WS_MINIMIZE) ? SIZE_MINIMIZED : (w->style & WS_MAXIMIZE) ? SIZE_MAXIMIZED : SIZE_RESTORED;
    client = RECT{0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top};
    origin = POINT{w->rect.left, w->rect.top};
  }
  WakeQueue(w->queue);
  Publish();
  if (stateChanged) SendMessageW(hwnd, WM_SIZE, sizeKind, MAKELPARAM(client.right, client.bottom));
  if (moved) SendMessageW(hwnd, WM_MOVE, 0, MAKELPARAM(origin.x, origin.y));
  if (IsTopLevel(w)) {
    if (activate && show && target != kMin) {
      ApplyZOrder(hwnd, HWND_TOP);
      Activate(hwnd);
    } else if (!show || target == kMin) {
      Deactivated(hwnd);
    }
  }
  return wasVisible ? TRUE : FALSE;
}

BOOL WINAPI IsWindowVisible(HWND hwnd) {
  if (Find(hwnd)) {
    std::lock_guard<std::mutex> lock(S().mutex);
    for (auto w = FindLocked(hwnd); w; w = w->parent ? FindLocked(w->parent) : nullptr)
      if (!(w->style & WS_VISIBLE)) return FALSE;
    return TRUE;
  }
  WindowRecord record;
  return Remote(hwnd, &record) && record.visible() ? TRUE : FALSE;
}

BOOL WINAPI IsIconic(HWND hwnd) {
  return (static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE)) & WS_MINIMIZE) ? TRUE : FALSE;
}

BOOL WINAPI IsZoomed(HWND hwnd) {
  return (static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE)) & WS_MAXIMIZE) ? TRUE : FALSE;
}

BOOL WINAPI IsWindowEnabled(HWND hwnd) {
  if (!IsWindow(hwnd)) return FALSE;
  return (static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE)) & WS_DISABLED) ? FALSE : TRUE;
}

BOOL WINAPI EnableWindow(HWND hwnd, BOOL enable) {
  auto w = FindForChange(hwnd);
  if (!w) return FALSE;
  bool wasDisabled;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    wasDisabled = (w->style & WS_DISABLED) != 0;
    if (enable)
      w->style &= ~WS_DISABLED;
    else
      w->style |= WS_DISABLED;
  }
  if (wasDisabled == !enable) return wasDisabled ? TRUE : FALSE;
  Publish();
  SendMessageW(hwnd, WM_ENABLE, enable ? TRUE : FALSE, 0);
  if (!enable && GetFocus() == hwnd) SetFocus(nullptr);
  return wasDisabled ? TRUE : FALSE;
}

BOOL WINAPI SetWindowPos(HWND hwnd, HWND insertAfter, int x, int y, int cx, int cy, UINT flags) {
  auto w = Find(hwnd);
  if (!w) {
    WindowRecord record;
    if (!Remote(hwnd, &record)) return FALSE;
    // Another process's window: only its place in the z-order can change here.
    if ((flags & (SWP_NOMOVE | SWP_NOSIZE)) != (SWP_NOMOVE | SWP_NOSIZE) ||
        (flags & (SWP_SHOWWINDOW | SWP_HIDEWINDOW))) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (!(flags & SWP_NOZORDER) && !RemoteZOrder(hwnd, insertAfter)) return FALSE;
    if (!(flags & SWP_NOACTIVATE) && record.visible()) StoreForeground(hwnd);
    return TRUE;
  }
  WINDOWPOS wp{hwnd, insertAfter, x, y, cx, cy, flags};
  if (!(flags & SWP_NOSENDCHANGING))
    SendMessageW(hwnd, WM_WINDOWPOSCHANGING, 0, reinterpret_cast<LPARAM>(&wp));
  bool moved = false, sized = false, visible = false;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    if (!FindLocked(hwnd)) return FALSE;
    RECT r = w->rect;
    if (!(wp.flags & SWP_NOMOVE)) OffsetRect(&r, wp.x - r.left, wp.y - r.top);
    if (!(wp.flags & SWP_NOSIZE)) {
      r.right = r.left + std::max(0, wp.cx);
      r.bottom = r.top + std::max(0, wp.cy);
    }
    moved = r.left != w->rect.left || r.top != w->rect.top;
    sized = !SameSize(r, w->rect);
    w->rect = r;
    if (!(w->style & (WS_MINIMIZE | WS_MAXIMIZE))) w->normalRect = r;
    bool wasVisible = (w->style & WS_VISIBLE) != 0;
    if (wp.flags & SWP_SHOWWINDOW) w->style |= WS_VISIBLE;
    if (wp.flags & SWP_HIDEWINDOW) w->style &= ~WS_VISIBLE;
    visible = (w->style & WS_VISIBLE) != 0;
    if (sized || (visible && !wasVisible) || (wp.flags & SWP_FRAMECHANGED)) MarkDirtyLocked(w.get());
  }
  WakeQueue(w->queue);
  if (!(wp.flags & SWP_NOZORDER)) ApplyZOrder(hwnd, wp.hwndInsertAfter);
  Publish();
  const bool topLevel = IsTopLevel(w);
  if (topLevel && visible && !(wp.flags & SWP_NOACTIVATE)) {
    if (wp.flags & SWP_NOZORDER) ApplyZOrder(hwnd, HWND_TOP);
    Activate(hwnd);
  }
  if (topLevel && !visible) Deactivated(hwnd);
  if (!moved) wp.flags |= SWP_NOMOVE;
  if (!sized) wp.flags |= SWP_NOSIZE;
  SendMessageW(hwnd, WM_WINDOWPOSCHANGED, 0, reinterpret_cast<LPARAM>(&wp));
  return TRUE;
}

BOOL WINAPI MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint) {
  return SetWindowPos(hwnd, nullptr, x, y, width, height,
                      SWP_NOZORDER | SWP_NOACTIVATE | (repaint ? 0 : SWP_NOREDRAW));
}

BOOL WINAPI BringWindowToTop(HWND hwnd) {
  return SetWindowPos(hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

BOOL WINAPI SetForegroundWindow(HWND hwnd) {
  if (!hwnd || hwnd == GetDesktopWindow() || !IsWindow(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (!Find(hwnd)) {
    if (!RemoteZOrder(hwnd, HWND_TOP)) return FALSE;
    StoreForeground(hwnd);
    return TRUE;
  }
  HWND root = GetAncestor(hwnd, GA_ROOT);
  ApplyZOrder(root, HWND_TOP);
  Activate(root);
  return TRUE;
}

HWND WINAPI SetActiveWindow(HWND hwnd) {
  auto w = hwnd ? FindOrFail(hwnd) : nullptr;
  if (hwnd && (!w || GetWindowThreadProcessId(hwnd, nullptr) != GetCurrentThreadId())) return nullptr;
  return ActivateLocal(hwnd ? GetAncestor(hwnd, GA_ROOT) : nullptr);
}

HWND WINAPI GetActiveWindow() {
  HWND active = CurrentQueue()->active;
  return Find(active) ? active : nullptr;
}

HWND WINAPI SetFocus(HWND hwnd) {
  auto q = CurrentQueue();
  if (hwnd && (!Find(hwnd) || GetWindowThreadProcessId(hwnd, nullptr) != q->tid)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  HWND old = Find(q->focus) ? q->focus : nullptr;
  if (old == hwnd) return old;
  q->focus = hwnd;
  if (old) SendMessageW(old, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hwnd), 0);
  if (hwnd) SendMessageW(hwnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(old), 0);
  return old;
}

HWND WINAPI GetFocus() {
  HWND focus = CurrentQueue()->focus;
  return Find(focus) ? focus : nullptr;
}

HWND WINAPI SetCapture(HWND hwnd) {
  auto q = CurrentQueue();
  HWND old = Find(q->capture) ? q->capture : nullptr;
  q->capture = Find(hwnd) ? hwnd : nullptr;
  return old;
}

BOOL WINAPI ReleaseCapture() {
  auto q = CurrentQueue();
  HWND old = q->capture;
  q->capture = nullptr;
  if (old && Find(old)) SendMessageW(old, WM_CAPTURECHANGED, 0, 0);
  return TRUE;
}

HWND WINAPI GetCapture() {
  HWND capture = CurrentQueue()->capture;
  return Find(capture) ? capture : nullptr;
}

// ---- geometry -----------------------------------------------------------------

BOOL WINAPI GetWindowRect(HWND hwnd, LPRECT rect) {
  if (!rect) return FALSE;
  if (hwnd == GetDesktopWindow()) {
    *rect = WorkArea();
    return TRUE;
  }
  if (auto w = Find(hwnd)) {
    std::lock_guard<std::mutex> lock(S().mutex);
    *rect = ScreenRectLocked(*w);
    return TRUE;
  }
  WindowRecord record;
  if (!Remote(hwnd, &record)) return FALSE;
  *rect = record.rect;
  return TRUE;
}

BOOL WINAPI GetClientRect(HWND hwnd, LPRECT rect) {
  RECT r;
  if (!rect || !GetWindowRect(hwnd, &r)) return FALSE;
  *rect = RECT{0, 0, r.right - r.left, r.bottom - r.top};
  return TRUE;
}

BOOL WINAPI GetWindowPlacement(HWND hwnd, WINDOWPLACEMENT* placement) {
  auto w = FindOrFail(hwnd);
  if (!w || !placement) return FALSE;
  std::lock_guard<std::mutex> lock(S().mutex);
  placement->flags = w->restoreMaximized ? 2 /* WPF_RESTORETOMAXIMIZED */ : 0;
  placement->showCmd = !(w->style & WS_VISIBLE) ? SW_HIDE
                       : (w->style & WS_MINIMIZE) ? SW_SHOWMINIMIZED
                       : (w->style & WS_MAXIMIZE) ? SW_SHOWMAXIMIZED
                                                  : SW_SHOWNORMAL;
  placement->ptMinPosition = POINT{-1, -1};
  placement->ptMaxPosition = POINT{-1, -1};
  placement->rcNormalPosition = (w->style & WS_MAXIMIZE) || w->restoreMaximized ? w->normalRect : w->rect;
  return TRUE;
}

BOOL WINAPI ClientToScreen(HWND hwnd, LPPOINT point) {
  RECT r;
  if (!point || !GetWindowRect(hwnd, &r)) return FALSE;
  point->x += r.left;
  point->y += r.top;
  return TRUE;
}

BOOL WINAPI ScreenToClient(HWND hwnd, LPPOINT point) {
  RECT r;
  if (!point || !GetWindowRect(hwnd, &r)) return FALSE;
  point->x -= r.left;
  point->y -= r.top;
  return TRUE;
}

int WINAPI MapWindowPoints(HWND from, HWND to, LPPOINT points, UINT count) {
  POINT origin{0, 0};
  if (from) ClientToScreen(from, &origin);
  POINT target{0, 0};
  if (to) ClientToScreen(to, &target);
  LONG dx = origin.x - target.x, dy = origin.y - target.y;
  for (UINT i = 0; points && i < count; ++i) {
    points[i].x += dx;
    points[i].y += dy;
  }
  return MAKELONG(static_cast<WORD>(dx), static_cast<WORD>(dy));
}

// Windows of this machine have no frame: the client area is the window.
BOOL WINAPI AdjustWindowRectEx(LPRECT rect, DWORD, BOOL, DWORD) { return rect ? TRUE : FALSE; }
BOOL WINAPI AdjustWindowRect(LPRECT rect, DWORD, BOOL) { return rect ? TRUE : FALSE; }

HWND WINAPI WindowFromPoint(POINT point) {
  for (const auto& record : win32::station::Snapshot()) {
    if (!record.visible() || record.minimized() || !PtInRect(&record.rect, point)) continue;
    HWND hit = record.hwnd;
    // Descend into the children of our own windows.
    for (bool descended = true; descended;) {
      descended = false;
      HWND child = GetWindow(hit, GW_CHILD);
      for (; child; child = GetWindow(child, GW_HWNDNEXT)) {
        RECT r;
        if (IsWindowVisible(child) && GetWindowRect(child, &r) && PtInRect(&r, point)) {
          hit = child;
          descended = true;
          break;
        }
      }
    }
    return hit;
  }
  return nullptr;
}

// ---- painting -----------------------------------------------------------------

BOOL WINAPI InvalidateRect(HWND hwnd, const RECT*, BOOL) {
  std::vector<std::shared_ptr<ThreadQueue>> wake;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    for (auto& entry : S().windows) {
      if (hwnd && entry.first != hwnd) continue;
      MarkDirtyLocked(entry.second.get());
      wake.push_back(entry.second->queue);
    }
  }
  if (hwnd && wake.empty()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  for (auto& q : wake) WakeQueue(q);
  return TRUE;
}

BOOL WINAPI ValidateRect(HWND hwnd, const RECT*) {
  auto w = FindOrFail(hwnd);
  if (!w) return FALSE;
  std::lock_guard<std::mutex> lock(S().mutex);
  w->dirty = false;
  return TRUE;
}

BOOL WINAPI GetUpdateRect(HWND hwnd, LPRECT rect, BOOL) {
  auto w = FindOrFail(hwnd);
  if (!w) return FALSE;
  bool dirty;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    dirty = w->dirty;
  }
  if (rect) {
    if (dirty)
      GetClientRect(hwnd, rect);
    else
      *rect = RECT{0, 0, 0, 0};
  }
  return dirty ? TRUE : FALSE;
}

BOOL WINAPI UpdateWindow(HWND hwnd) {
  auto w = FindOrFail(hwnd);
  if (!w) return FALSE;
  bool dirty;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    dirty = w->dirty;
  }
  if (dirty && IsWindowVisible(hwnd) && !IsIconic(hwnd)) SendMessageW(hwnd, WM_PAINT, 0, 0);
  return TRUE;
}

HDC WINAPI BeginPaint(HWND hwnd, LPPAINTSTRUCT paint) {
  auto w = FindOrFail(hwnd);
  if (!w || !paint) return nullptr;
  *paint = PAINTSTRUCT{};
  paint->hdc = kWindowDC;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    w->dirty = false;
  }
  GetClientRect(hwnd, &paint->rcPaint);
  return kWindowDC;
}

BOOL WINAPI EndPaint(HWND, const PAINTSTRUCT*) { return TRUE; }

HDC WINAPI GetDC(HWND hwnd) {
  if (hwnd && !IsWindow(hwnd)) return nullptr;
  return kWindowDC;
}

HDC WINAPI GetWindowDC(HWND hwnd) { return GetDC(hwnd); }

int WINAPI ReleaseDC(HWND, HDC dc) { return dc == kWindowDC ? 1 : 0; }
