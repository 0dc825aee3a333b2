// Registry administration for tests and the viewer: reads keys past their
// access restriction and sets that restriction.
#include "internal/registry_admin.h"

#include "internal/machine.h"
#include "store.h"

namespace win32 {

using namespace registry;

namespace {

LSTATUS FindKey(Session& s, HKEY root, const std::wstring& subPath, KeyRow* row) {
  int64_t id = 0;
  if (root == HKEY_LOCAL_MACHINE) {
    id = kLocalMachineId;
  } else if (root == HKEY_CURRENT_USER) {
    id = kCurrentUserId;
  } else {
    return ERROR_INVALID_HANDLE;
  }
  std::vector<std::wstring> names;
  if (!SplitKeyPath(subPath.c_str(), &names)) return ERROR_BAD_PATHNAME;
  std::optional<KeyRow> current = s.Key(id);
  for (const std::wstring& name : names) {
    if (!current) break;
    current = s.Child(current->id, name);
  }
  if (!current) return ERROR_FILE_NOT_FOUND;
  *row = *current;
  return ERROR_SUCCESS;
}

}  // namespace

bool ParseRegistryPath(const std::wstring& fullPath, HKEY* root, std::wstring* subPath) {
  std::wstring path(fullPath);
  for (wchar_t& ch : path)
    if (ch == L'/') ch = L'\\';
  size_t slash = path.find(L'\\');
  std::wstring head = path.substr(0, slash);
  if (EqualsNoCase(head, L"HKLM") || EqualsNoCase(head, L"HKEY_LOCAL_MACHINE")) {
    *root = HKEY_LOCAL_MACHINE;
  } else if (EqualsNoCase(head, L"HKCU") || EqualsNoCase(head, L"HKEY_CURRENT_USER")) {
    *root = HKEY_CURRENT_USER;
  } else {
    return false;
  }
  *subPath = slash == std::wstring::npos ? std::wstring() : path.substr(slash + 1);
  return true;
}

LSTATUS ReadRegistryKey(HKEY root, const std::wstring& subPath, RegistryKeyRecord* out) {
  return Guarded([&]() -> LSTATUS {
    Session s(false);
    KeyRow row;
    LSTATUS rc = FindKey(s, root, subPath, &row);
    if (rc != ERROR_SUCCESS) return rc;
    RegistryKeyRecord record;
    record.name = row.name;
    record.allowedAccess = row.allowed;
    for (int64_t i = 0;; ++i) {
      std::optional<ValueRow> value = s.ValueAt(row.id, i);
      if (!value) break;
      record.values.push_back(RegistryValueRecord{value->name, value->type, value->data});
    }
    for (int64_t i = 0;; ++i) {
      std::optional<KeyRow> sub = s.SubKeyAt(row.id, i);
      if (!sub) break;
      record.subKeys.push_back(sub->name);
    }
    *out = std::move(record);
    return ERROR_SUCCESS;
  });
}

LSTATUS SetRegistryKeyAccess(HKEY root, const std::wstring& subPath, DWORD allowed) {
  return Guarded([&]() -> LSTATUS {
    Session s(true);
    KeyRow row;
    LSTATUS rc = FindKey(s, root, subPath, &row);
    if (rc != ERROR_SUCCESS) return rc;
    if (row.parent == 0) return ERROR_ACCESS_DENIED;  // the roots stay open
    s.SetAllowed(row.id, allowed);
    s.Commit();
    return ERROR_SUCCESS;
  });
}

}  // namespace win32
