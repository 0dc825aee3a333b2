#include <vector>

#include <windows.h>

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile) {
  if (!fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  int length = MultiByteToWideChar(CP_ACP, 0, fileName, -1, nullptr, 0);
  if (length <= 0) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  std::vector<WCHAR> wide(static_cast<size_t>(length));
  MultiByteToWideChar(CP_ACP, 0, fileName, -1, wide.data(), length);
  return CreateFileW(wide.data(), desiredAccess, shareMode, securityAttributes, creationDisposition,
                     flagsAndAttributes, templateFile);
}
