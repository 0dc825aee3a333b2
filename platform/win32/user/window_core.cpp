// Window objects: handles, classes, creation, destruction and procedures.
#include <algorithm>
#include <atomic>

#include "internal/machine.h"
#include "win32/user/user_state.h"

#ifndef ERROR_CANNOT_FIND_WND_CLASS
#define ERROR_CANNOT_FIND_WND_CLASS 1407L
#endif
#ifndef ERROR_TLW_WITH_WSCHILD
#define ERROR_TLW_WITH_WSCHILD 1406L
#endif
#ifndef ERROR_CLASS_HAS_WINDOWS
#define ERROR_CLASS_HAS_WINDOWS 1412L
#endif

namespace win32 {
namespace user {
namespace {

std::shared_ptr<WindowClass> SystemClass(const wchar_t* name, ATOM atom) {
  auto c = std::make_shared<WindowClass>();
  c->name = name;
  c->atom = atom;
  c->wc.cbSize = sizeof(WNDCLASSEXW);
  c->wc.lpfnWndProc = DefWindowProcW;
  c->system = true;
  return c;
}

bool IsAtom(LPCWSTR name) { return IS_INTRESOURCE(name); }

// A registered class by name or atom (State::mutex held); user classes
// shadow system classes of the same name.
std::shared_ptr<WindowClass> FindClassLocked(LPCWSTR name) {
  if (!name) return nullptr;
  std::shared_ptr<WindowClass> found;
  for (auto& c : S().classes) {
    bool match = IsAtom(name) ? c->atom == static_cast<ATOM>(reinterpret_cast<ULONG_PTR>(name))
                              : EqualsNoCase(c->name, name);
    if (match && (!found || found->system)) found = c;
  }
  return found;
}

std::atomic<int64_t> g_lastZ{0};

int64_t MonotonicNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Cascade for overlapped windows created at the default position.
int g_cascade = 0;

// Sends WM_NCDESTROY and forgets the window.
void FinalDestroy(HWND hwnd) {
  SendMessageW(hwnd, WM_NCDESTROY, 0, 0);
  std::lock_guard<std::mutex> lock(S().mutex);
  auto w = FindLocked(hwnd);
  if (!w) return;
  if (w->parent)
    if (auto p = FindLocked(w->parent)) {
      auto& kids = p->children;
      kids.erase(std::remove(kids.begin(), kids.end(), hwnd), kids.end());
    }
  S().windows.erase(hwnd);
}

// Descendants of hwnd, parents before their children (State::mutex held).
void CollectTree(HWND hwnd, std::vector<HWND>* out) {
  out->push_back(hwnd);
  if (auto w = FindLocked(hwnd))
    for (HWND c : w->children) CollectTree(c, out);
}

}  // namespace

State& S() {
  static State* state = [] {
    auto* s = new State();
    s->classes.push_back(SystemClass(L"#32770", 0x8002));
    s->classes.push_back(SystemClass(L"Button", 0xC017));
    s->classes.push_back(SystemClass(L"Static", 0xC019));
    s->classes.push_back(SystemClass(L"Edit", 0xC018));
    return s;
  }();
  return *state;
}

DWORD PidOfHandle(HWND hwnd) {
  return static_cast<DWORD>(reinterpret_cast<uintptr_t>(hwnd) >> kPidShift);
}

bool IsLocalHandle(HWND hwnd) { return hwnd && PidOfHandle(hwnd) == GetCurrentProcessId(); }

HWND NewHandleLocked() {
  const uintptr_t base = static_cast<uintptr_t>(GetCurrentProcessId()) << kPidShift;
  for (;;) {
    uint32_t n = S().nextHandle++ & ((1u << kPidShift) - 1);
    if (n == 0) continue;
    HWND h = reinterpret_cast<HWND>(base | n);
    if (!S().windows.count(h)) return h;
  }
}

HWND DesktopHandle() { return reinterpret_cast<HWND>(static_cast<uintptr_t>(0x10010)); }

std::shared_ptr<Window> FindLocked(HWND hwnd) {
  auto it = S().windows.find(hwnd);
  return it == S().windows.end() ? nullptr : it->second;
}

std::shared_ptr<Window> Find(HWND hwnd) {
  if (!hwnd) return nullptr;
  std::lock_guard<std::mutex> lock(S().mutex);
  return FindLocked(hwnd);
}

std::shared_ptr<Window> FindOrFail(HWND hwnd) {
  auto w = Find(hwnd);
  if (!w) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return w;
}

LRESULT CallProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  WNDPROC proc = nullptr;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    auto w = FindLocked(hwnd);
    if (!w) return 0;
    proc = w->proc;
  }
  return proc ? proc(hwnd, msg, wParam, lParam) : 0;
}

int64_t NewTopZ() {
  int64_t now = MonotonicNanos();
  int64_t last = g_lastZ.load();
  int64_t next;
  do {
    next = std::max(now, last + 1);
  } while (!g_lastZ.compare_exchange_weak(last, next));
  return next;
}

int64_t NewBottomZ() { return -NewTopZ(); }

std::vector<station::WindowRecord> LocalRecordsLocked() {
  std::vector<station::WindowRecord> records;
  const DWORD pid = GetCurrentProcessId();
  for (auto& entry : S().windows) {
    const Window& w = *entry.second;
    if (!w.topLevel() || w.destroying) continue;
    station::WindowRecord r;
    r.hwnd = w.handle;
    r.pid = pid;
    r.tid = w.tid;
    r.className = w.cls->name;
    r.title = w.title;
    r.style = w.style;
    r.exStyle = w.exStyle;
    r.rect = w.rect;
    r.owner = w.owner;
    r.z = w.z;
    for (auto& p : w.props) r.props.emplace_back(p.first, reinterpret_cast<ULONG_PTR>(p.second));
    records.push_back(std::move(r));
  }
  return records;
}

}  // namespace user
}  // namespace win32

using namespace win32::user;

// ---- classes -------------------------------------------------------------------

namespace {

// The fields WNDCLASSW and WNDCLASSEXW share, either way.
template <class From, class To>
void CopyClassFields(const From& from, To* to) {
  to->style = from.style;
  to->lpfnWndProc = from.lpfnWndProc;
  to->cbClsExtra = from.cbClsExtra;
  to->cbWndExtra = from.cbWndExtra;
  to->hInstance = from.hInstance;
  to->hIcon = from.hIcon;
  to->hCursor = from.hCursor;
  to->hbrBackground = from.hbrBackground;
  to->lpszMenuName = from.lpszMenuName;
  to->lpszClassName = from.lpszClassName;
}

ULONG_PTR* ClassLongSlot(WNDCLASSEXW* wc, int index) {
  static_assert(sizeof(HICON) == sizeof(ULONG_PTR), "handles are pointer-sized");
  switch (index) {
    case GCLP_HICON: return reinterpret_cast<ULONG_PTR*>(&wc->hIcon);
    case GCLP_HICONSM: return reinterpret_cast<ULONG_PTR*>(&wc->hIconSm);
    case GCLP_HCURSOR: return reinterpret_cast<ULONG_PTR*>(&wc->hCursor);
  }
  return nullptr;
}

}  // namespace

ATOM WINAPI RegisterClassExW(const WNDCLASSEXW* wc) {
  if (!wc || !wc->lpszClassName || IsAtom(wc->lpszClassName) || !*wc->lpszClassName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> lock(S().mutex);
  auto existing = FindClassLocked(wc->lpszClassName);
  if (existing && !existing->system) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  auto c = std::make_shared<WindowClass>();
  c->name = wc->lpszClassName;
  c->atom = S().nextAtom++;
  c->wc = *wc;
  c->wc.lpszClassName = nullptr;  // the caller's string need not outlive the call
  c->wc.lpszMenuName = nullptr;
  S().classes.push_back(c);
  return c->atom;
}

ATOM WINAPI RegisterClassW(const WNDCLASSW* wc) {
  if (!wc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  WNDCLASSEXW ex{};
  ex.cbSize = sizeof(ex);
  CopyClassFields(*wc, &ex);
  return RegisterClassExW(&ex);
}

BOOL WINAPI UnregisterClassW(LPCWSTR className, HINSTANCE) {
  std::lock_guard<std::mutex> lock(S().mutex);
  auto c = FindClassLocked(className);
  if (!c || c->system) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  for (auto& w : S().windows)
    if (w.second->cls == c) {
      SetLastError(ERROR_CLASS_HAS_WINDOWS);
      return FALSE;
    }
  auto& classes = S().classes;
  classes.erase(std::remove(classes.begin(), classes.end(), c), classes.end());
  return TRUE;
}

BOOL WINAPI GetClassInfoExW(HINSTANCE, LPCWSTR className, LPWNDCLASSEXW wc) {
  if (!wc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(S().mutex);
  auto c = FindClassLocked(className);
  if (!c) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  *wc = c->wc;
  wc->cbSize = sizeof(WNDCLASSEXW);
  wc->lpszClassName = c->name.c_str();  // lives as long as the class
  return c->atom;
}

BOOL WINAPI GetClassInfoW(HINSTANCE instance, LPCWSTR className, LPWNDCLASSW wc) {
  WNDCLASSEXW ex{};
  if (!wc || !GetClassInfoExW(instance, className, &ex)) return FALSE;
  CopyClassFields(ex, wc);
  return TRUE;
}

ULONG_PTR WINAPI GetClassLongPtrW(HWND hwnd, int index) {
  auto w = FindOrFail(hwnd);
  if (!w) return 0;
  std::lock_guard<std::mutex> lock(S().mutex);
  if (index == GCL_STYLE) return w->cls->wc.style;
  if (ULONG_PTR* slot = ClassLongSlot(&w->cls->wc, index)) return *slot;
  SetLastError(ERROR_INVALID_PARAMETER);
  return 0;
}

ULONG_PTR WINAPI SetClassLongPtrW(HWND hwnd, int index, LONG_PTR value) {
  auto w = FindOrFail(hwnd);
  if (!w) return 0;
  std::lock_guard<std::mutex> lock(S().mutex);
  ULONG_PTR old = 0;
  if (index == GCL_STYLE) {
    old = w->cls->wc.style;
    w->cls->wc.style = static_cast<UINT>(value);
    return old;
  }
  if (ULONG_PTR* slot = ClassLongSlot(&w->cls->wc, index)) {
    old = *slot;
    *slot = static_cast<ULONG_PTR>(value);
    return old;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return 0;
}

// ---- creation and destruction ---------------------------------------------------

HWND WINAPI CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style,
                            int x, int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, LPVOID param) {
  const bool child = (style & WS_CHILD) != 0;
  const bool messageOnly = parent == HWND_MESSAGE;
  if (messageOnly) parent = nullptr;
  if (parent == GetDesktopWindow()) parent = nullptr;
  auto w = std::make_shared<Window>();
  w->queue = CurrentQueue();
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    w->cls = FindClassLocked(className);
    if (!w->cls) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    if (child && !parent) {
      SetLastError(ERROR_TLW_WITH_WSCHILD);
      return nullptr;
    }
    std::shared_ptr<Window> p;
    if (parent && IsLocalHandle(parent)) {
      p = FindLocked(parent);
      if (!p) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
      }
    } else if (child) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);  // children of other processes' windows
      return nullptr;
    }
    if (child) {
      w->parent = parent;
    } else if (p) {
      // The owner of a top-level window is the parent's top-level window.
      while (p->parent) p = FindLocked(p->parent);
      w->owner = p->handle;
    } else {
      w->owner = parent;  // a window of another process
    }

    int sw = 1920, sh = 1080;
    ScreenSize(&sw, &sh);
    if (!child && !(style & WS_POPUP)) {
      style |= WS_CLIPSIBLINGS | WS_CAPTION;
      if (x == CW_USEDEFAULT) {
        x = y = 26 * (g_cascade++ % 10);
      }
      if (width == CW_USEDEFAULT) {
        width = sw * 3 / 4;
        height = sh * 3 / 4;
      }
    } else {
      if (x == CW_USEDEFAULT) x = y = 0;
      if (width == CW_USEDEFAULT) width = height = 0;
    }
    if (y == CW_USEDEFAULT) y = 0;
    if (height == CW_USEDEFAULT) height = 0;

    w->handle = NewHandleLocked();
    w->tid = GetCurrentThreadId();
    w->proc = w->cls->wc.lpfnWndProc;
    w->title = windowName && !IsAtom(windowName) ? windowName : L"";
    w->style = style & ~WS_VISIBLE;  // shown below, once created
    w->exStyle = exStyle;
    w->messageOnly = messageOnly;
    w->instance = instance;
    w->id = reinterpret_cast<LONG_PTR>(menu);
    w->rect = RECT{x, y, x + std::max(0, width), y + std::max(0, height)};
    w->normalRect = w->rect;
    w->dirty = true;
    if (!child) w->z = NewTopZ();
    S().windows[w->handle] = w;
    if (p && child) p->children.insert(p->children.begin(), w->handle);
  }
  HWND hwnd = w->handle;

  CREATESTRUCTW cs{};
  cs.lpCreateParams = param;
  cs.hInstance = instance;
  cs.hMenu = menu;
  cs.hwndParent = parent;
  cs.cx = width;
  cs.cy = height;
  cs.x = x;
  cs.y = y;
  cs.style = static_cast<LONG>(style);
  cs.lpszName = windowName;
  cs.lpszClass = className;
  cs.dwExStyle = exStyle;

  MINMAXINFO mmi{};
  SendMessageW(hwnd, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&mmi));
  if (!SendMessageW(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs))) {
    FinalDestroy(hwnd);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  RECT client = w->rect;
  SendMessageW(hwnd, WM_NCCALCSIZE, FALSE, reinterpret_cast<LPARAM>(&client));
  if (SendMessageW(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
    DestroyWindow(hwnd);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!IsWindow(hwnd)) return nullptr;
  Publish();
  RECT r{};
  GetClientRect(hwnd, &r);
  SendMessageW(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(r.right, r.bottom));
  SendMessageW(hwnd, WM_MOVE, 0, MAKELPARAM(x, y));
  if (style & WS_VISIBLE) ShowWindow(hwnd, child ? SW_SHOWNA : SW_SHOW);
  return IsWindow(hwnd) ? hwnd : nullptr;
}

BOOL WINAPI DestroyWindow(HWND hwnd) {
  auto w = Find(hwnd);
  if (!w) {
    SetLastError(IsWindow(hwnd) ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  std::vector<HWND> owned;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    if (w->tid != GetCurrentThreadId()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (w->destroying) return TRUE;
    w->destroying = true;
    w->style &= ~WS_VISIBLE;
    for (auto& entry : S().windows)
      if (entry.second->owner == hwnd && !entry.second->destroying) owned.push_back(entry.first);
  }
  Publish();
  for (HWND o : owned) DestroyWindow(o);

  // WM_DESTROY goes to the window before its children.
  SendMessageW(hwnd, WM_DESTROY, 0, 0);
  std::vector<HWND> tree;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    CollectTree(hwnd, &tree);
    for (HWND h : tree)
      if (auto d = FindLocked(h)) d->destroying = true;
  }
  for (size_t i = 1; i < tree.size(); ++i) SendMessageW(tree[i], WM_DESTROY, 0, 0);

  auto q = CurrentQueue();
  for (HWND h : tree) {
    RemoveTimersOf(h);
    if (q->focus == h) q->focus = nullptr;
    if (q->active == h) q->active = nullptr;
    if (q->capture == h) q->capture = nullptr;
  }
  // WM_NCDESTROY goes to the children first, the window last.
  for (auto it = tree.rbegin(); it != tree.rend(); ++it) FinalDestroy(*it);
  Publish();
  return TRUE;
}

BOOL WINAPI IsWindow(HWND hwnd) {
  if (!hwnd) return FALSE;
  if (hwnd == GetDesktopWindow()) return TRUE;
  if (IsLocalHandle(hwnd)) return Find(hwnd) ? TRUE : FALSE;
  win32::station::WindowRecord record;
  return win32::station::Find(hwnd, &record) ? TRUE : FALSE;
}

// ---- procedures --------------------------------------------------------------

LRESULT WINAPI CallWindowProcW(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return proc ? proc(hwnd, msg, wParam, lParam) : 0;
}

LRESULT WINAPI DefWindowProcW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_NCCREATE:
      return TRUE;
    case WM_CLOSE:
      DestroyWindow(hwnd);
      return 0;
    case WM_NCHITTEST:
      return HTCLIENT;
    case WM_NCACTIVATE:
      return TRUE;
    case WM_MOUSEACTIVATE:
      return MA_ACTIVATE;
    case WM_ACTIVATE:
      if (LOWORD(wParam) != WA_INACTIVE && !HIWORD(wParam)) SetFocus(hwnd);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      BeginPaint(hwnd, &ps);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_SETTEXT: {
      auto w = Find(hwnd);
      if (!w) return FALSE;
      {
        std::lock_guard<std::mutex> lock(S().mutex);
        w->title = lParam ? reinterpret_cast<LPCWSTR>(lParam) : L"";
      }
      Publish();
      return TRUE;
    }
    case WM_GETTEXTLENGTH: {
      auto w = Find(hwnd);
      if (!w) return 0;
      std::lock_guard<std::mutex> lock(S().mutex);
      return static_cast<LRESULT>(w->title.size());
    }
    case WM_GETTEXT: {
      auto w = Find(hwnd);
      auto* buffer = reinterpret_cast<LPWSTR>(lParam);
      if (!w || !buffer || wParam == 0) return 0;
      std::lock_guard<std::mutex> lock(S().mutex);
      size_t n = std::min<size_t>(w->title.size(), wParam - 1);
      std::copy(w->title.begin(), w->title.begin() + static_cast<std::ptrdiff_t>(n), buffer);
      buffer[n] = 0;
      return static_cast<LRESULT>(n);
    }
    case WM_SETICON:
    case WM_GETICON: {
      auto w = Find(hwnd);
      if (!w) return 0;
      std::lock_guard<std::mutex> lock(S().mutex);
      HICON& slot = wParam == ICON_BIG ? w->iconBig : w->iconSmall;
      HICON old = slot;
      if (msg == WM_SETICON) slot = reinterpret_cast<HICON>(lParam);
      return reinterpret_cast<LRESULT>(old);
    }
    case WM_SYSCOMMAND:
      switch (wParam & 0xFFF0) {
        case SC_CLOSE: SendMessageW(hwnd, WM_CLOSE, 0, 0); break;
        case SC_MINIMIZE: ShowWindow(hwnd, SW_MINIMIZE); break;
        case SC_MAXIMIZE: ShowWindow(hwnd, SW_MAXIMIZE); break;
        case SC_RESTORE: ShowWindow(hwnd, SW_RESTORE); break;
      }
      return 0;
    case WM_WINDOWPOSCHANGED: {
      auto* wp = reinterpret_cast<const WINDOWPOS*>(lParam);
      if (!wp) return 0;
      RECT r{};
      GetClientRect(hwnd, &r);
      if (!(wp->flags & SWP_NOMOVE)) {
        POINT origin{0, 0};
        ClientToScreen(hwnd, &origin);
        if (HWND parent = GetAncestor(hwnd, GA_PARENT)) ScreenToClient(parent, &origin);
        SendMessageW(hwnd, WM_MOVE, 0, MAKELPARAM(origin.x, origin.y));
      }
      if (!(wp->flags & SWP_NOSIZE)) {
        WPARAM kind = IsIconic(hwnd) ? SIZE_MINIMIZED : IsZoomed(hwnd) ? SIZE_MAXIMIZED : SIZE_RESTORED;
        SendMessageW(hwnd, WM_SIZE, kind, MAKELPARAM(r.right, r.bottom));
      }
      return 0;
    }
  }
  return 0;
}
