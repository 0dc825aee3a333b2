// Opening, creating, enumerating and deleting keys.
#include <cstring>

#include <windows.h>

#include "store.h"

using namespace win32::registry;

namespace {

// Longest name of one key.
constexpr size_t kMaxKeyNameChars = 255;

// The key that lpSubKey names below hKey: ERROR_FILE_NOT_FOUND when a key
// on the way is missing. `names` tells how many steps it took.
LSTATUS FindKey(Session& s, HKEY hKey, LPCWSTR lpSubKey, KeyHandle* base,
                std::vector<std::wstring>* names, KeyRow* row) {
  LSTATUS rc = ResolveHandle(s, hKey, 0, base);
  if (rc != ERROR_SUCCESS) return rc;
  if (!SplitKeyPath(lpSubKey, names)) return ERROR_BAD_PATHNAME;
  std::optional<KeyRow> current = s.Key(base->id);
  for (const std::wstring& name : *names) {
    current = s.Child(current->id, name);
    if (!current) return ERROR_FILE_NOT_FOUND;
  }
  *row = *current;
  return ERROR_SUCCESS;
}

LSTATUS DeleteKey(HKEY hKey, LPCWSTR lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LSTATUS {
    Session s(true);
    KeyHandle base;
    std::vector<std::wstring> names;
    KeyRow target;
    LSTATUS rc = FindKey(s, hKey, lpSubKey, &base, &names, &target);
    if (rc != ERROR_SUCCESS) return rc;
    // The roots stay; deleting the handle's own key needs DELETE on the handle.
    if (target.parent == 0 || !(target.allowed & DELETE)) return ERROR_ACCESS_DENIED;
    if (names.empty() && !(base.granted & DELETE)) return ERROR_ACCESS_DENIED;
    if (s.SubKeyCount(target.id) > 0) return ERROR_KEY_HAS_CHILDREN;
    s.DeleteKey(target.id);
    s.Touch(target.parent);
    s.Commit();
    return ERROR_SUCCESS;
  });
}

}  // namespace

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired,
                             PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  return Guarded([&]() -> LSTATUS {
    Session s(false);
    KeyHandle base;
    std::vector<std::wstring> names;
    KeyRow row;
    LSTATUS rc = FindKey(s, hKey, lpSubKey, &base, &names, &row);
    if (rc != ERROR_SUCCESS) return rc;
    REGSAM granted = 0;
    rc = GrantAccess(samDesired, row.allowed, &granted);
    if (rc != ERROR_SUCCESS) return rc;
    *phkResult = NewKeyHandle(KeyHandle{row.id, granted, s.Generation(), false});
    return ERROR_SUCCESS;
  });
}

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM samDesired,
                               const LPSECURITY_ATTRIBUTES, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
  if (!phkResult || !lpSubKey) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  return Guarded([&]() -> LSTATUS {
    Session s(true);
    KeyHandle base;
    LSTATUS rc = ResolveHandle(s, hKey, 0, &base);
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<std::wstring> names;
    if (!SplitKeyPath(lpSubKey, &names)) return ERROR_BAD_PATHNAME;
    for (const std::wstring& name : names)
      if (name.size() > kMaxKeyNameChars) return ERROR_INVALID_PARAMETER;
    std::optional<KeyRow> row = s.Key(base.id);
    bool created = false;
    for (const std::wstring& name : names) {
      std::optional<KeyRow> child = s.Child(row->id, name);
      if (!child) {
        // A new key needs the right to create sub-keys on its parent.
        bool parentIsBase = row->id == base.id;
        if (!(row->allowed & KEY_CREATE_SUB_KEY) ||
            (parentIsBase && !(base.granted & KEY_CREATE_SUB_KEY)))
          return ERROR_ACCESS_DENIED;
        s.Touch(row->id);
        child = s.Key(s.CreateChild(row->id, name));
        created = true;
      }
      row = child;
    }
    REGSAM granted = 0;
    rc = GrantAccess(samDesired, row->allowed, &granted);
    if (rc != ERROR_SUCCESS) return rc;
    s.Commit();
    *phkResult = NewKeyHandle(KeyHandle{row->id, granted, s.Generation(), false});
    if (lpdwDisposition)
      *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
  });
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  KeyHandle key;
  if (!LookupKeyHandle(hKey, &key)) return ERROR_INVALID_HANDLE;
  if (!key.predefined) ReleaseKeyHandle(hKey);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegFlushKey(HKEY hKey) {
  // Every change is committed durably by the call that made it.
  KeyHandle key;
  return LookupKeyHandle(hKey, &key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) { return DeleteKey(hKey, lpSubKey); }

LSTATUS WINAPI RegDeleteKeyExW(HKEY hKey, LPCWSTR lpSubKey, REGSAM, DWORD) {
  return DeleteKey(hKey, lpSubKey);
}

LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                             LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                             PFILETIME lpftLastWriteTime) {
  if (!lpName || !lpcchName || lpReserved) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LSTATUS {
    Session s(false);
    KeyHandle key;
    LSTATUS rc = ResolveHandle(s, hKey, KEY_ENUMERATE_SUB_KEYS, &key);
    if (rc != ERROR_SUCCESS) return rc;
    std::optional<KeyRow> sub = s.SubKeyAt(key.id, dwIndex);
    if (!sub) return ERROR_NO_MORE_ITEMS;
    if (!CopyName(sub->name, lpName, lpcchName)) return ERROR_MORE_DATA;
    if (lpClass && lpcchClass && *lpcchClass > 0) lpClass[0] = L'\0';
    if (lpcchClass) *lpcchClass = 0;
    if (lpftLastWriteTime) ToFileTime(sub->lastWrite, lpftLastWriteTime);
    return ERROR_SUCCESS;
  });
}

LSTATUS WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                                LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  if (lpReserved) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LSTATUS {
    Session s(false);
    KeyHandle key;
    LSTATUS rc = ResolveHandle(s, hKey, KEY_QUERY_VALUE, &key);
    if (rc != ERROR_SUCCESS) return rc;
    if (lpClass && lpcchClass && *lpcchClass > 0) lpClass[0] = L'\0';
    if (lpcchClass) *lpcchClass = 0;
    if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(s.SubKeyCount(key.id));
    if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = static_cast<DWORD>(s.MaxSubKeyLength(key.id));
    if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
    if (lpcValues) *lpcValues = static_cast<DWORD>(s.ValueCount(key.id));
    if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = static_cast<DWORD>(s.MaxValueNameLength(key.id));
    if (lpcbMaxValueLen) *lpcbMaxValueLen = static_cast<DWORD>(s.MaxValueSize(key.id));
    if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
    if (lpftLastWriteTime) ToFileTime(s.Key(key.id)->lastWrite, lpftLastWriteTime);
    return ERROR_SUCCESS;
  });
}
