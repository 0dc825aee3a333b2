#include "shared/program_dirs.h"

#include <mutex>
#include <vector>

#include <windows.h>

#include "shared/file_system.h"
#include "shared/text_convert.h"

std::wstring GetTempDir() {
  static std::mutex mutex;
  static std::wstring cached;
  std::lock_guard<std::mutex> lock(mutex);
  if (!cached.empty()) return cached;
  std::wstring dir;
  DWORD needed = GetTempPathW(0, nullptr);
  if (needed > 0) {
    std::vector<WCHAR> buffer(needed + 1, 0);
    if (GetTempPathW(needed, buffer.data()) != 0) dir = buffer.data();
  }
  if (!dir.empty()) dir = AddBackslash(dir);
  cached = dir;
  return cached;
}

std::wstring GetModuleDir() {
  WCHAR path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return GetParentDirectory(path);
}
