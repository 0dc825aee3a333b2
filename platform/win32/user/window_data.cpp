// Per-window data: texts, class names, window longs, properties, owners.
// Windows of other processes answer from their station record.
#include <algorithm>

#include "internal/machine.h"
#include "win32/user/user_state.h"

#ifndef ERROR_INVALID_INDEX
#define ERROR_INVALID_INDEX 1413L
#endif

using namespace win32::user;
using win32::station::WindowRecord;

namespace {

bool Remote(HWND hwnd, WindowRecord* record) {
  if (!hwnd || IsLocalHandle(hwnd) || !win32::station::Find(hwnd, record)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  return true;
}

int CopyText(const std::wstring& text, LPWSTR buffer, int maxCount) {
  if (!buffer || maxCount <= 0) return 0;
  size_t n = std::min<size_t>(text.size(), static_cast<size_t>(maxCount - 1));
  std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n), buffer);
  buffer[n] = 0;
  return static_cast<int>(n);
}

// Atoms name properties as "#<number>".
std::wstring PropName(LPCWSTR name) {
  if (IS_INTRESOURCE(name)) return L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(name));
  return name;
}

bool SameThread(const std::shared_ptr<Window>& w) {
  std::lock_guard<std::mutex> lock(S().mutex);
  return w->tid == GetCurrentThreadId();
}

}  // namespace

BOOL WINAPI SetWindowTextW(HWND hwnd, LPCWSTR text) {
  if (!Find(hwnd)) {
    SetLastError(IsWindow(hwnd) ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return SendMessageW(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) ? TRUE : FALSE;
}

int WINAPI GetWindowTextW(HWND hwnd, LPWSTR buffer, int maxCount) {
  if (buffer && maxCount > 0) buffer[0] = 0;
  if (auto w = Find(hwnd)) {
    // Only the owning thread asks the procedure; others read the title as the
    // system keeps it, so a busy thread cannot block them.
    if (SameThread(w))
      return static_cast<int>(
          SendMessageW(hwnd, WM_GETTEXT, static_cast<WPARAM>(std::max(maxCount, 0)),
                       reinterpret_cast<LPARAM>(buffer)));
    std::wstring title;
    {
      std::lock_guard<std::mutex> lock(S().mutex);
      title = w->title;
    }
    return CopyText(title, buffer, maxCount);
  }
  WindowRecord record;
  if (!Remote(hwnd, &record)) return 0;
  return CopyText(record.title, buffer, maxCount);
}

int WINAPI GetWindowTextLengthW(HWND hwnd) {
  if (auto w = Find(hwnd)) {
    if (SameThread(w)) return static_cast<int>(SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0));
    std::lock_guard<std::mutex> lock(S().mutex);
    return static_cast<int>(w->title.size());
  }
  WindowRecord record;
  if (!Remote(hwnd, &record)) return 0;
  return static_cast<int>(record.title.size());
}

int WINAPI GetClassNameW(HWND hwnd, LPWSTR buffer, int maxCount) {
  if (auto w = Find(hwnd)) {
    std::wstring name;
    {
      std::lock_guard<std::mutex> lock(S().mutex);
      name = w->cls->name;
    }
    return CopyText(name, buffer, maxCount);
  }
  WindowRecord record;
  if (!Remote(hwnd, &record)) return 0;
  return CopyText(record.className, buffer, maxCount);
}

DWORD WINAPI GetWindowThreadProcessId(HWND hwnd, LPDWORD processId) {
  if (auto w = Find(hwnd)) {
    if (processId) *processId = GetCurrentProcessId();
    std::lock_guard<std::mutex> lock(S().mutex);
    return w->tid;
  }
  WindowRecord record;
  if (!Remote(hwnd, &record)) return 0;
  if (processId) *processId = record.pid;
  return record.tid;
}

LONG_PTR WINAPI GetWindowLongPtrW(HWND hwnd, int index) {
  auto w = Find(hwnd);
  if (!w) {
    WindowRecord record;
    if (!Remote(hwnd, &record)) return 0;
    switch (index) {
      case GWL_STYLE: return static_cast<LONG_PTR>(record.style);
      case GWL_EXSTYLE: return static_cast<LONG_PTR>(record.exStyle);
      case GWLP_HWNDPARENT: return reinterpret_cast<LONG_PTR>(record.owner);
    }
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  std::lock_guard<std::mutex> lock(S().mutex);
  switch (index) {
    case GWL_STYLE: return static_cast<LONG_PTR>(w->style);
    case GWL_EXSTYLE: return static_cast<LONG_PTR>(w->exStyle);
    case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(w->proc);
    case GWLP_HINSTANCE: return reinterpret_cast<LONG_PTR>(w->instance);
    case GWLP_HWNDPARENT: return reinterpret_cast<LONG_PTR>(w->parent ? w->parent : w->owner);
    case GWLP_USERDATA: return w->userData;
    case GWLP_ID: return w->id;
  }
  SetLastError(ERROR_INVALID_INDEX);
  return 0;
}

LONG_PTR WINAPI SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value) {
  auto w = Find(hwnd);
  if (!w) {
    SetLastError(IsWindow(hwnd) ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (index == GWL_STYLE || index == GWL_EXSTYLE) {
    DWORD old;
    {
      std::lock_guard<std::mutex> lock(S().mutex);
      old = index == GWL_STYLE ? w->style : w->exStyle;
    }
    struct {
      DWORD styleOld;
      DWORD styleNew;
    } change{old, static_cast<DWORD>(value)};
    SendMessageW(hwnd, WM_STYLECHANGING, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&change));
    HWND notify = nullptr;
    {
      std::lock_guard<std::mutex> lock(S().mutex);
      DWORD& field = index == GWL_STYLE ? w->style : w->exStyle;
      field = change.styleNew;
      if (index == GWL_STYLE && ((old ^ field) & WS_VISIBLE)) {
        w->dirty = true;
        ++w->paintGeneration;
      }
      notify = w->handle;
    }
    WakeQueue(w->queue);
    Publish();
    SendMessageW(notify, WM_STYLECHANGED, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&change));
    return static_cast<LONG_PTR>(old);
  }
  std::lock_guard<std::mutex> lock(S().mutex);
  LONG_PTR old = 0;
  switch (index) {
    case GWLP_WNDPROC:
      old = reinterpret_cast<LONG_PTR>(w->proc);
      w->proc = reinterpret_cast<WNDPROC>(value);
      return old;
    case GWLP_HINSTANCE:
      old = reinterpret_cast<LONG_PTR>(w->instance);
      w->instance = reinterpret_cast<HINSTANCE>(value);
      return old;
    case GWLP_HWNDPARENT:
      if (w->parent) break;  // children keep their parent; SetParent moves them
      old = reinterpret_cast<LONG_PTR>(w->owner);
      w->owner = reinterpret_cast<HWND>(value);
      return old;
    case GWLP_USERDATA:
      old = w->userData;
      w->userData = value;
      return old;
    case GWLP_ID:
      old = w->id;
      w->id = value;
      return old;
  }
  SetLastError(ERROR_INVALID_INDEX);
  return 0;
}

LONG WINAPI GetWindowLongW(HWND hwnd, int index) {
  return static_cast<LONG>(GetWindowLongPtrW(hwnd, index));
}

LONG WINAPI SetWindowLongW(HWND hwnd, int index, LONG value) {
  return static_cast<LONG>(SetWindowLongPtrW(hwnd, index, value));
}

BOOL WINAPI SetPropW(HWND hwnd, LPCWSTR name, HANDLE data) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto w = Find(hwnd);
  if (!w) {
    SetLastError(IsWindow(hwnd) ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  const std::wstring key = PropName(name);
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    auto it = std::find_if(w->props.begin(), w->props.end(),
                           [&](const auto& p) { return win32::EqualsNoCase(p.first, key); });
    if (it != w->props.end())
      it->second = data;
    else
      w->props.emplace_back(key, data);
  }
  Publish();
  return TRUE;
}

HANDLE WINAPI GetPropW(HWND hwnd, LPCWSTR name) {
  if (!name) return nullptr;
  const std::wstring key = PropName(name);
  if (auto w = Find(hwnd)) {
    std::lock_guard<std::mutex> lock(S().mutex);
    for (auto& p : w->props)
      if (win32::EqualsNoCase(p.first, key)) return p.second;
    return nullptr;
  }
  WindowRecord record;
  if (!Remote(hwnd, &record)) return nullptr;
  for (auto& p : record.props)
    if (win32::EqualsNoCase(p.first, key)) return reinterpret_cast<HANDLE>(p.second);
  return nullptr;
}

HANDLE WINAPI RemovePropW(HWND hwnd, LPCWSTR name) {
  auto w = Find(hwnd);
  if (!w || !name) return nullptr;
  const std::wstring key = PropName(name);
  HANDLE data = nullptr;
  bool removed = false;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    auto it = std::find_if(w->props.begin(), w->props.end(),
                           [&](const auto& p) { return win32::EqualsNoCase(p.first, key); });
    if (it != w->props.end()) {
      data = it->second;
      w->props.erase(it);
      removed = true;
    }
  }
  if (removed) Publish();
  return data;
}
