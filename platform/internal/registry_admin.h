// Administration of the machine's registry for tests and the registry viewer:
// reading keys whatever their access restriction and restricting keys.
// Platform-internal.
#pragma once
#include <string>
#include <vector>

#include <winreg.h>

namespace win32 {

// allowed_access of a key that nobody restricted.
constexpr DWORD kRegistryAccessAll = 0xFFFFFFFFu;

struct RegistryValueRecord {
  std::wstring name;  // "" is the key's default value
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct RegistryKeyRecord {
  std::wstring name;           // as created (case kept)
  DWORD allowedAccess = kRegistryAccessAll;
  std::vector<RegistryValueRecord> values;  // in the order they were first set
  std::vector<std::wstring> subKeys;        // in enumeration order
};

// Splits "HKLM\Software\X" (or HKEY_LOCAL_MACHINE, HKCU, HKEY_CURRENT_USER;
// "/" also separates) into its root and the path below it.
bool ParseRegistryPath(const std::wstring& fullPath, HKEY* root, std::wstring* subPath);

// Reads one key without any access check. ERROR_SUCCESS, ERROR_FILE_NOT_FOUND,
// ERROR_INVALID_HANDLE (not a root) or an I/O error.
LSTATUS ReadRegistryKey(HKEY root, const std::wstring& subPath, RegistryKeyRecord* out);

// Limits every later open of the key to the rights in `allowed` (KEY_* and
// standard rights); kRegistryAccessAll lifts the limit. Handles that are
// already open keep what they were granted.
LSTATUS SetRegistryKeyAccess(HKEY root, const std::wstring& subPath, DWORD allowed);

}  // namespace win32
