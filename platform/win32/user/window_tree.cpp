// Relations between windows and the walk of the window station.
#include <algorithm>

#include "internal/machine.h"
#include "win32/user/user_state.h"

using namespace win32::user;
using win32::station::WindowRecord;

namespace {

HWND SiblingOf(const std::vector<HWND>& list, HWND hwnd, UINT cmd) {
  if (list.empty()) return nullptr;
  if (cmd == GW_HWNDFIRST) return list.front();
  if (cmd == GW_HWNDLAST) return list.back();
  auto it = std::find(list.begin(), list.end(), hwnd);
  if (it == list.end()) return nullptr;
  if (cmd == GW_HWNDNEXT) return ++it == list.end() ? nullptr : *it;
  if (cmd == GW_HWNDPREV) return it == list.begin() ? nullptr : *--it;
  return nullptr;
}

std::vector<HWND> TopLevelOrder() {
  std::vector<HWND> order;
  for (const auto& r : win32::station::Snapshot()) order.push_back(r.hwnd);
  return order;
}

bool Matches(HWND hwnd, LPCWSTR className, LPCWSTR windowName) {
  if (className) {
    if (IS_INTRESOURCE(className)) return false;  // atoms of other processes mean nothing here
    wchar_t cls[256];
    GetClassNameW(hwnd, cls, 256);
    if (!win32::EqualsNoCase(cls, className)) return false;
  }
  if (windowName) {
    int length = GetWindowTextLengthW(hwnd);
    std::wstring title(static_cast<size_t>(length) + 1, L'\0');
    GetWindowTextW(hwnd, &title[0], length + 1);
    title.resize(static_cast<size_t>(length));
    if (!win32::EqualsNoCase(title, windowName)) return false;
  }
  return true;
}

std::vector<HWND> ChildrenOf(HWND parent) {
  auto w = Find(parent);
  if (!w) return {};
  std::lock_guard<std::mutex> lock(S().mutex);
  return w->children;
}

BOOL EnumDescendants(HWND parent, WNDENUMPROC proc, LPARAM lParam) {
  for (HWND child : ChildrenOf(parent)) {
    if (!proc(child, lParam)) return FALSE;
    if (!EnumDescendants(child, proc, lParam)) return FALSE;
  }
  return TRUE;
}

}  // namespace

HWND WINAPI GetDesktopWindow() { return DesktopHandle(); }

HWND WINAPI GetWindow(HWND hwnd, UINT cmd) {
  if (hwnd == GetDesktopWindow()) {
    if (cmd != GW_CHILD) return nullptr;
    auto order = TopLevelOrder();
    return order.empty() ? nullptr : order.front();
  }
  if (auto w = Find(hwnd)) {
    HWND parent, owner;
    {
      std::lock_guard<std::mutex> lock(S().mutex);
      if (cmd == GW_CHILD) return w->children.empty() ? nullptr : w->children.front();
      parent = w->parent;
      owner = w->owner;
    }
    if (cmd == GW_OWNER) return parent ? nullptr : owner;
    if (cmd == GW_ENABLEDPOPUP) return nullptr;
    if (parent) return SiblingOf(ChildrenOf(parent), hwnd, cmd);
    return SiblingOf(TopLevelOrder(), hwnd, cmd);
  }
  WindowRecord record;
  if (!win32::station::Find(hwnd, &record)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  if (cmd == GW_OWNER) return record.owner;
  if (cmd == GW_CHILD || cmd == GW_ENABLEDPOPUP) return nullptr;
  return SiblingOf(TopLevelOrder(), hwnd, cmd);
}

HWND WINAPI GetTopWindow(HWND hwnd) {
  return GetWindow(hwnd ? hwnd : GetDesktopWindow(), GW_CHILD);
}

HWND WINAPI GetParent(HWND hwnd) {
  if (auto w = Find(hwnd)) {
    std::lock_guard<std::mutex> lock(S().mutex);
    if (w->style & WS_CHILD) return w->parent;
    return (w->style & WS_POPUP) ? w->owner : nullptr;
  }
  WindowRecord record;
  if (!win32::station::Find(hwnd, &record)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  return (record.style & WS_POPUP) ? record.owner : nullptr;
}

HWND WINAPI SetParent(HWND child, HWND newParent) {
  if (newParent == GetDesktopWindow()) newParent = nullptr;
  auto w = FindOrFail(child);
  if (!w) return nullptr;
  HWND old;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    std::shared_ptr<Window> np;
    if (newParent) {
      np = FindLocked(newParent);
      if (!np) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
      }
      for (auto p = np; p; p = p->parent ? FindLocked(p->parent) : nullptr)
        if (p == w) {  // would make a cycle
          SetLastError(ERROR_INVALID_PARAMETER);
          return nullptr;
        }
    }
    old = w->parent;
    if (auto op = old ? FindLocked(old) : nullptr) {
      auto& kids = op->children;
      kids.erase(std::remove(kids.begin(), kids.end(), child), kids.end());
    }
    w->parent = newParent;
    if (np) {
      np->children.insert(np->children.begin(), child);
      w->owner = nullptr;
    } else {
      w->z = NewTopZ();
    }
  }
  Publish();
  return old ? old : GetDesktopWindow();
}

HWND WINAPI GetAncestor(HWND hwnd, UINT flags) {
  if (!IsWindow(hwnd) || hwnd == GetDesktopWindow()) return nullptr;
  auto w = Find(hwnd);
  if (!w) {  // a top-level window of another process
    if (flags == GA_PARENT) return GetDesktopWindow();
    return hwnd;
  }
  std::lock_guard<std::mutex> lock(S().mutex);
  if (flags == GA_PARENT) return w->parent ? w->parent : GetDesktopWindow();
  auto root = w;
  while (root->parent)
    if (auto p = FindLocked(root->parent)) root = p; else break;
  if (flags == GA_ROOT) return root->handle;
  while (root->owner)
    if (auto o = FindLocked(root->owner)) root = o; else break;
  return root->handle;
}

BOOL WINAPI IsChild(HWND parent, HWND hwnd) {
  std::lock_guard<std::mutex> lock(S().mutex);
  auto w = FindLocked(hwnd);
  while (w && (w->style & WS_CHILD) && w->parent) {
    if (w->parent == parent) return TRUE;
    w = FindLocked(w->parent);
  }
  return FALSE;
}

HWND WINAPI FindWindowExW(HWND parent, HWND childAfter, LPCWSTR className, LPCWSTR windowName) {
  std::vector<HWND> candidates;
  if (!parent || parent == GetDesktopWindow()) {
    candidates = TopLevelOrder();
  } else if (parent == HWND_MESSAGE) {
    std::lock_guard<std::mutex> lock(S().mutex);
    for (auto& entry : S().windows)
      if (entry.second->messageOnly) candidates.push_back(entry.first);
  } else {
    if (!Find(parent)) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
    candidates = ChildrenOf(parent);
  }
  auto it = candidates.begin();
  if (childAfter) {
    it = std::find(candidates.begin(), candidates.end(), childAfter);
    if (it == candidates.end()) return nullptr;
    ++it;
  }
  for (; it != candidates.end(); ++it)
    if (Matches(*it, className, windowName)) return *it;
  SetLastError(ERROR_NOT_FOUND);
  return nullptr;
}

HWND WINAPI FindWindowW(LPCWSTR className, LPCWSTR windowName) {
  return FindWindowExW(nullptr, nullptr, className, windowName);
}

BOOL WINAPI EnumWindows(WNDENUMPROC proc, LPARAM lParam) {
  if (!proc) return FALSE;
  for (HWND hwnd : TopLevelOrder())
    if (!proc(hwnd, lParam)) return FALSE;
  return TRUE;
}

BOOL WINAPI EnumChildWindows(HWND parent, WNDENUMPROC proc, LPARAM lParam) {
  if (!proc) return FALSE;
  if (!parent || parent == GetDesktopWindow()) {
    for (HWND hwnd : TopLevelOrder()) {
      if (!proc(hwnd, lParam)) return FALSE;
      if (!EnumDescendants(hwnd, proc, lParam)) return FALSE;
    }
    return TRUE;
  }
  return EnumDescendants(parent, proc, lParam);
}
