#include "shared/system_helpers.h"

#include <cstdlib>
#include <cwchar>

#include <shlobj.h>
#include <iphlpapi.h>
#include <wininet.h>

namespace {
const WCHAR kCompatibilityAssistantKey[] =
    L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Compatibility Assistant\\Persisted";
}

HandleGuard::~HandleGuard() {
  if (*handle_ && *handle_ != INVALID_HANDLE_VALUE) CloseHandle(*handle_);
}

std::wstring GetShellFolder(int csidl) {
  WCHAR path[MAX_PATH] = {0};
  if (FAILED(SHGetFolderPathW(NULL, csidl, NULL, SHGFP_TYPE_CURRENT, path))) return std::wstring();
  return path;
}

ULONGLONG GetFreeDiskSpace(const std::wstring& path) {
  if (path.empty()) return 0;
  // Only drive-letter paths have a root this way.
  std::wstring root = path.substr(0, 1) + L":\\";
  ULARGE_INTEGER available, total, free;
  if (!GetDiskFreeSpaceExW(root.c_str(), &available, &total, &free)) return 0;
  return available.QuadPart;
}

bool SetCompatibilityAssistantFlag() {
  HKEY key = NULL;
  // Only an existing key is marked; the assistant creates it itself.
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kCompatibilityAssistantKey, 0, KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY,
                    &key) != ERROR_SUCCESS)
    return false;
  WCHAR program[MAX_PATH] = {0};
  GetModuleFileNameW(NULL, program, MAX_PATH);
  DWORD one = 1;
  LONG result = RegSetValueExW(key, program, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof(one));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

bool GetMacAddress(std::wstring& mac) {
  ULONG size = sizeof(IP_ADAPTER_INFO);
  PIP_ADAPTER_INFO adapters = static_cast<PIP_ADAPTER_INFO>(malloc(size));
  if (!adapters) return false;
  if (GetAdaptersInfo(adapters, &size) == ERROR_BUFFER_OVERFLOW) {
    free(adapters);
    adapters = static_cast<PIP_ADAPTER_INFO>(malloc(size));
    if (!adapters) return false;
  }
  bool found = false;
  if (GetAdaptersInfo(adapters, &size) == NO_ERROR) {
    for (PIP_ADAPTER_INFO adapter = adapters; adapter; adapter = adapter->Next) {
      if (adapter->Type != MIB_IF_TYPE_ETHERNET || adapter->AddressLength != 6) continue;
      WCHAR text[32] = {0};
      swprintf(text, sizeof(text) / sizeof(text[0]), L"%02X-%02X-%02X-%02X-%02X-%02X", adapter->Address[0],
               adapter->Address[1], adapter->Address[2], adapter->Address[3], adapter->Address[4],
               adapter->Address[5]);
      mac = text;
      found = true;
      break;
    }
  }
  free(adapters);
  return found;
}

bool IsNetworkConnected() {
  DWORD flags = 0;
  return InternetGetConnectedState(&flags, 0) != FALSE;
}
