// GetModuleFileNameW: the running program's Windows path, or a loaded
// module's as the loader registered it.
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <windows.h>

#include "internal/files.h"
#include "internal/machine.h"

namespace win32 {
namespace {

std::mutex g_mutex;
std::map<HMODULE, std::wstring>& Modules() {
  static auto* modules = new std::map<HMODULE, std::wstring>();
  return *modules;
}

std::wstring ProgramPath() {
  std::vector<char> buffer(4096);
  ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return std::wstring();
  return ToWindowsPath(std::string(buffer.data(), static_cast<size_t>(n)));
}

}  // namespace

void RegisterModuleFileName(HMODULE module, const std::wstring& windowsPath) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Modules()[module] = windowsPath;
}

void UnregisterModuleFileName(HMODULE module) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Modules().erase(module);
}

}  // namespace win32

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
  std::wstring path;
  if (module) {
    std::lock_guard<std::mutex> lock(win32::g_mutex);
    auto it = win32::Modules().find(module);
    if (it == win32::Modules().end()) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    path = it->second;
  }
  if (path.empty()) path = win32::ProgramPath();
  if (path.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (!fileName || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // Too small a buffer gets the truncated path, terminated, and its size.
  if (path.size() >= size) {
    path.copy(fileName, size - 1);
    fileName[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  path.copy(fileName, path.size());
  fileName[path.size()] = 0;
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}
