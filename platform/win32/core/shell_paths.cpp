// Path helpers of shlwapi: pure text, except PathFileExistsW.
#include <cwchar>
#include <cwctype>

#include <windows.h>
#include <shlwapi.h>

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\'; }

bool IsDriveSpec(LPCWSTR path) {
  return path[0] && path[1] == L':' && iswalpha(static_cast<wint_t>(path[0]));
}

}  // namespace

LPWSTR WINAPI PathAddBackslashW(LPWSTR path) {
  if (!path) return nullptr;
  size_t length = wcslen(path);
  if (length > 0 && !IsSeparator(path[length - 1])) {
    // The backslash and the terminator must fit in MAX_PATH characters.
    if (length + 1 >= MAX_PATH) return nullptr;
    path[length++] = L'\\';
    path[length] = 0;
  }
  return path + length;
}

LPWSTR WINAPI PathRemoveBackslashW(LPWSTR path) {
  if (!path) return nullptr;
  size_t length = wcslen(path);
  if (length == 0) return path;
  LPWSTR last = path + length - 1;
  if (IsSeparator(*last) && !PathIsRootW(path)) *last = 0;
  return last;
}

BOOL WINAPI PathRemoveFileSpecW(LPWSTR path) {
  if (!path || !*path) return FALSE;
  LPWSTR start = path;
  // Keep a UNC server prefix, a drive and a root backslash.
  if (IsSeparator(path[0]) && IsSeparator(path[1])) {
    start = path + 2;
  } else if (IsDriveSpec(path)) {
    start = path + 2;
    if (IsSeparator(*start)) ++start;
  } else if (IsSeparator(path[0])) {
    start = path + 1;
  }
  LPWSTR cut = nullptr;
  for (LPWSTR p = start; *p; ++p)
    if (IsSeparator(*p)) cut = p;
  if (!cut) {
    if (!*start) return FALSE;  // only a root is left
    *start = 0;
    return TRUE;
  }
  *cut = 0;
  return TRUE;
}

BOOL WINAPI PathFileExistsW(LPCWSTR path) {
  if (!path) return FALSE;
  return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

BOOL WINAPI PathIsRootW(LPCWSTR path) {
  if (!path || !*path) return FALSE;
  if (IsSeparator(path[0])) {
    if (!path[1]) return TRUE;  // "\"
    if (!IsSeparator(path[1])) return FALSE;
    // "\\server" or "\\server\share", nothing further.
    int separators = 0;
    for (LPCWSTR p = path + 2; *p; ++p)
      if (IsSeparator(*p) && ++separators > 1) return FALSE;
    return TRUE;
  }
  return IsDriveSpec(path) && IsSeparator(path[2]) && !path[3];
}
