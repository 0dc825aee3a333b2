// The folder browser: a modal window answered through the automation tool.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <map>

#include <shlobj.h>

#include "internal/machine.h"
#include "internal/unicode.h"
#include "win32/user/user_state.h"

namespace {

const wchar_t kBrowserTitle[] = L"浏览文件夹";
const wchar_t kBrowserProp[] = L"BrowseForFolder";

struct Browser {
  bool done = false;
  bool chosen = false;
  std::wstring path;
};

std::mutex g_mutex;
std::map<HWND, Browser*>& Browsers() {
  static auto* browsers = new std::map<HWND, Browser*>();
  return *browsers;
}

// C:/x/ -> C:\x; a drive root keeps its backslash (C:\).
std::wstring NormalizeFolder(std::wstring path) {
  for (auto& c : path)
    if (c == L'/') c = L'\\';
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  if (path.size() == 2 && path[1] == L':') path += L'\\';
  return path;
}

// The folder as the shell names it (the case of the names on disk), or ""
// when there is no such folder.
std::wstring ExistingFolder(const std::wstring& path) {
  std::string host;
  DWORD error = 0;
  if (!win32::ToHostPath(path, &host, &error)) return L"";
  struct stat st{};
  if (stat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return L"";
  return NormalizeFolder(win32::ToWindowsPath(host));
}

// One item holding the whole path, then the terminating empty item.
PIDLIST_ABSOLUTE MakeItemList(const std::wstring& path) {
  const size_t textBytes = (path.size() + 1) * sizeof(WCHAR);
  const size_t itemBytes = sizeof(USHORT) + textBytes;
  if (itemBytes > 0xFFFF) return nullptr;
  auto* block = static_cast<BYTE*>(calloc(1, itemBytes + sizeof(USHORT)));
  if (!block) return nullptr;
  USHORT cb = static_cast<USHORT>(itemBytes);
  memcpy(block, &cb, sizeof(cb));
  memcpy(block + sizeof(USHORT), path.c_str(), textBytes);
  return reinterpret_cast<PIDLIST_ABSOLUTE>(block);
}

}  // namespace

namespace win32 {
namespace user {

bool BrowserCommand(HWND hwnd, const std::string& command, const std::vector<std::string>& args,
                    std::string* reply, bool* known) {
  *known = command == "browse-answer" || command == "browse-cancel";
  if (!*known) return false;
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = Browsers().find(hwnd);
  if (it == Browsers().end()) {
    *reply = "not found: " + station::FormatHandle(hwnd) + " is not a folder browser";
    return false;
  }
  Browser* browser = it->second;
  // The browser's loop looks at its state after each message.
  PostMessageW(hwnd, WM_NULL, 0, 0);
  if (command == "browse-cancel") {
    browser->done = true;
    return true;
  }
  if (args.size() != 1) {
    *reply = "browse-answer takes one folder";
    return false;
  }
  std::wstring path = ExistingFolder(NormalizeFolder(Utf8ToWide(args[0])));
  if (path.empty()) {
    *reply = "not found: no folder " + args[0];
    return false;
  }
  browser->path = path;
  browser->chosen = true;
  browser->done = true;
  return true;
}

}  // namespace user
}  // namespace win32

PIDLIST_ABSOLUTE WINAPI SHBrowseForFolderW(LPBROWSEINFOW bi) {
  if (!bi) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HWND owner = bi->hwndOwner && IsWindow(bi->hwndOwner) ? bi->hwndOwner : nullptr;
  const int width = 320, height = 420;
  int sw = GetSystemMetrics(SM_CXSCREEN), sh = GetSystemMetrics(SM_CYSCREEN);
  HWND hwnd = CreateWindowExW(WS_EX_DLGMODALFRAME, L"#32770", kBrowserTitle,
                              WS_POPUP | WS_CAPTION | WS_SYSMENU, (sw - width) / 2, (sh - height) / 2,
                              width, height, owner, nullptr, nullptr, nullptr);
  if (!hwnd) return nullptr;
  Browser browser;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    Browsers()[hwnd] = &browser;
  }
  SetPropW(hwnd, kBrowserProp, reinterpret_cast<HANDLE>(1));
  const bool ownerWasEnabled = owner && IsWindowEnabled(owner) && GetWindowThreadProcessId(owner, nullptr) == GetCurrentThreadId();
  if (ownerWasEnabled) EnableWindow(owner, FALSE);
  ShowWindow(hwnd, SW_SHOW);

  bool quit = false;
  WPARAM quitCode = 0;
  MSG msg;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      if (browser.done) break;
    }
    if (!IsWindow(hwnd)) break;  // closed some other way: a cancel
    BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      quit = true;
      quitCode = msg.wParam;
      break;
    }
    if (got == -1) break;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    Browsers().erase(hwnd);
  }
  if (ownerWasEnabled) EnableWindow(owner, TRUE);
  if (IsWindow(hwnd)) DestroyWindow(hwnd);
  if (owner && ownerWasEnabled && IsWindowVisible(owner)) SetActiveWindow(owner);
  // The enclosing loop must end too.
  if (quit) PostQuitMessage(static_cast<int>(quitCode));
  if (!browser.chosen) return nullptr;

  if (bi->pszDisplayName) {
    size_t slash = browser.path.find_last_of(L'\\');
    std::wstring name = browser.path.size() == 3 ? browser.path : browser.path.substr(slash + 1);
    wcsncpy(bi->pszDisplayName, name.c_str(), MAX_PATH - 1);
    bi->pszDisplayName[MAX_PATH - 1] = 0;
  }
  return MakeItemList(browser.path);
}

BOOL WINAPI SHGetPathFromIDListW(PCIDLIST_ABSOLUTE pidl, LPWSTR path) {
  if (!pidl || !path) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  path[0] = 0;
  USHORT cb;
  memcpy(&cb, pidl, sizeof(cb));
  if (cb < sizeof(USHORT) + sizeof(WCHAR)) return FALSE;
  const size_t chars = (cb - sizeof(USHORT)) / sizeof(WCHAR);
  std::wstring text(chars, L'\0');
  memcpy(&text[0], reinterpret_cast<const BYTE*>(pidl) + sizeof(USHORT), chars * sizeof(WCHAR));
  text.resize(wcsnlen(text.c_str(), chars));
  if (text.empty() || text.size() >= MAX_PATH) return FALSE;
  wcscpy(path, text.c_str());
  return TRUE;
}

void WINAPI ILFree(PIDLIST_ABSOLUTE pidl) { free(pidl); }
