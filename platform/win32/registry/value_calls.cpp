// Reading, writing, enumerating and deleting values.
#include <cstring>
#include <cwchar>

#include <windows.h>

#include "store.h"

using namespace win32::registry;

namespace {

std::wstring ValueName(LPCWSTR name) { return name ? std::wstring(name) : std::wstring(); }

// Hands out a value's type and data the way both query calls do: the size is
// reported always, the data only when the buffer holds it.
LSTATUS CopyValue(const ValueRow& value, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpType) *lpType = value.type;
  DWORD size = static_cast<DWORD>(value.data.size());
  if (lpData) {
    if (*lpcbData < size) {
      *lpcbData = size;
      return ERROR_MORE_DATA;
    }
    if (size) std::memcpy(lpData, value.data.data(), size);
  }
  if (lpcbData) *lpcbData = size;
  return ERROR_SUCCESS;
}

}  // namespace

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LSTATUS {
    Session s(false);
    KeyHandle key;
    LSTATUS rc = ResolveHandle(s, hKey, KEY_QUERY_VALUE, &key);
    if (rc != ERROR_SUCCESS) return rc;
    std::optional<ValueRow> value = s.Value(key.id, ValueName(lpValueName));
    if (!value) return ERROR_FILE_NOT_FOUND;
    return CopyValue(*value, lpType, lpData, lpcbData);
  });
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType,
                              const BYTE* lpData, DWORD cbData) {
  if (!lpData && cbData) return ERROR_NOACCESS;
  // Value names hold at most 16,383 characters.
  if (lpValueName && std::wcslen(lpValueName) > 16383) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LSTATUS {
    Session s(true);
    KeyHandle key;
    LSTATUS rc = ResolveHandle(s, hKey, KEY_SET_VALUE, &key);
    if (rc != ERROR_SUCCESS) return rc;
    s.SetValue(key.id, ValueName(lpValueName), dwType, lpData, cbData);
    s.Touch(key.id);
    s.Commit();
    return ERROR_SUCCESS;
  });
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  return Guarded([&]() -> LSTATUS {
    Session s(true);
    KeyHandle key;
    LSTATUS rc = ResolveHandle(s, hKey, KEY_SET_VALUE, &key);
    if (rc != ERROR_SUCCESS) return rc;
    if (!s.DeleteValue(key.id, ValueName(lpValueName))) return ERROR_FILE_NOT_FOUND;
    s.Touch(key.id);
    s.Commit();
    return ERROR_SUCCESS;
  });
}

LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
    return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LSTATUS {
    Session s(false);
    KeyHandle key;
    LSTATUS rc = ResolveHandle(s, hKey, KEY_QUERY_VALUE, &key);
    if (rc != ERROR_SUCCESS) return rc;
    std::optional<ValueRow> value = s.ValueAt(key.id, dwIndex);
    if (!value) return ERROR_NO_MORE_ITEMS;
    if (!CopyName(value->name, lpValueName, lpcchValueName)) return ERROR_MORE_DATA;
    return CopyValue(*value, lpType, lpData, lpcbData);
  });
}
