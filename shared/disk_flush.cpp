#include "shared/disk_flush.h"

#include <list>

#include <boost/algorithm/string/predicate.hpp>

#include "shared/file_system.h"
#include "shared/text_convert.h"

namespace {

// Opening a volume for writing takes an administrator; anyone else flushes
// file by file.
bool FlushVolume(const std::wstring& device) {
  if (device.empty()) return false;
  HANDLE volume = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, 0, NULL);
  if (volume == INVALID_HANDLE_VALUE) return false;
  const bool flushed = FlushFileBuffers(volume) != FALSE;
  CloseHandle(volume);
  return flushed;
}

}  // namespace

std::wstring VolumeDeviceName(const std::wstring& path) {
  std::wstring local = path;
  if (boost::algorithm::starts_with(local, L"\\\\?\\")) local = local.substr(4);
  if (local.size() < 2 || local[1] != L':') return std::wstring();
  const WCHAR letter = local[0];
  if (!((letter >= L'A' && letter <= L'Z') || (letter >= L'a' && letter <= L'z'))) return std::wstring();
  return std::wstring(L"\\\\.\\") + letter + L":";
}

bool FlushTreeToDisk(const std::wstring& dir, const std::vector<std::wstring>& skipped, std::wstring* failed) {
  if (FlushVolume(VolumeDeviceName(dir))) return true;
  const std::wstring base = AddBackslash(dir);
  std::list<std::wstring> files;
  CollectFiles(dir, files, L"*.*");
  bool whole = true;
  DWORD error = ERROR_SUCCESS;
  for (const std::wstring& file : files) {
    bool skip = false;
    for (const std::wstring& folder : skipped) {
      skip = skip || boost::algorithm::istarts_with(file, AddBackslash(base + folder));
    }
    if (skip || FlushFileToDisk(file)) continue;
    if (whole) {
      error = GetLastError();
      if (failed != nullptr) *failed = file;
    }
    whole = false;
  }
  if (!whole) SetLastError(error);
  return whole;
}
