#include "shared/registry_key.h"

#include <algorithm>
#include <vector>

namespace {

// KEY_READ without KEY_NOTIFY: the second try of OpenForRead.
const REGSAM kReadAndEnumerate = STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;
// QueryString reads at most this many characters, terminator included.
const DWORD kMaxStringChars = 8192;

typedef LSTATUS(WINAPI* RegDeleteKeyExFn)(HKEY, LPCWSTR, REGSAM, DWORD);

// Older systems lack RegDeleteKeyExW, so it is looked up on every call.
RegDeleteKeyExFn FindRegDeleteKeyEx() {
  HMODULE advapi = GetModuleHandleW(L"advapi32.dll");
  if (!advapi) return nullptr;
  FARPROC proc = GetProcAddress(advapi, "RegDeleteKeyExW");
  return reinterpret_cast<RegDeleteKeyExFn>(reinterpret_cast<void*>(proc));
}

RegistryValueKind KindOf(DWORD type) {
  switch (type) {
    case REG_SZ: return kRegistryKindString;
    case REG_EXPAND_SZ: return kRegistryKindExpandString;
    case REG_DWORD: return kRegistryKindDword;
    case REG_BINARY: return kRegistryKindBinary;
    default: return kRegistryKindOther;
  }
}

}  // namespace

RegistryKey::RegistryKey(HKEY root, REGSAM access, bool noFlushOnClose)
    : root_(root), access_(access), noFlushOnClose_(noFlushOnClose) {}

RegistryKey::~RegistryKey() { Close(); }

bool RegistryKey::NormalizePath(std::wstring& path) {
  if (path.empty()) return true;
  std::replace(path.begin(), path.end(), L'/', L'\\');
  if (path.back() == L'\\') path.pop_back();
  return path.empty() || path[0] != L'\\';
}

RegistryKey::Target RegistryKey::Resolve(const std::wstring& path) const {
  std::wstring normalized(path);
  bool relative = NormalizePath(normalized);
  if (!relative) normalized.erase(0, 1);
  return Target{relative && current_ ? current_ : root_, normalized, relative};
}

std::wstring RegistryKey::PathOf(const Target& target) const {
  if (!target.relative || !current_ || currentPath_.empty()) return target.path;
  if (target.path.empty()) return currentPath_;  // the open key itself
  return currentPath_ + L"\\" + target.path;
}

bool RegistryKey::Open(const std::wstring& path, bool create) {
  Target target = Resolve(path);
  HKEY key = nullptr;
  LSTATUS rc;
  if (create && !target.path.empty()) {
    DWORD disposition = 0;
    rc = RegCreateKeyExW(target.base, target.path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                         access_, nullptr, &key, &disposition);
  } else {
    rc = RegOpenKeyExW(target.base, target.path.c_str(), 0, access_, &key);
  }
  if (rc != ERROR_SUCCESS) return false;
  Attach(key, PathOf(target));
  return true;
}

bool RegistryKey::OpenForRead(const std::wstring& path) {
  Target target = Resolve(path);
  const REGSAM wow = access_ & KEY_WOW64_RES;
  const REGSAM masks[] = {KEY_READ, kReadAndEnumerate, KEY_QUERY_VALUE};
  for (size_t i = 0; i < sizeof(masks) / sizeof(masks[0]); ++i) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(target.base, target.path.c_str(), 0, wow | masks[i], &key) != ERROR_SUCCESS)
      continue;
    // A key that grants less narrows the wrapper for the rest of its life.
    if (i > 0) access_ = wow | masks[i];
    Attach(key, PathOf(target));
    return true;
  }
  return false;
}

HKEY RegistryKey::OpenSubKey(const std::wstring& path) {
  Target target = Resolve(path);
  HKEY key = nullptr;
  if (RegOpenKeyExW(target.base, target.path.c_str(), 0, (access_ & KEY_WOW64_RES) | kReadAndEnumerate,
                    &key) != ERROR_SUCCESS)
    return nullptr;
  return key;
}

bool RegistryKey::QueryValueInfo(const std::wstring& name, RegistryValueKind* kind, DWORD* size) {
  *kind = kRegistryKindOther;
  *size = 0;
  DWORD type = REG_NONE;
  DWORD bytes = 0;
  if (RegQueryValueExW(current_, name.c_str(), nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS)
    return false;
  *kind = KindOf(type);
  *size = bytes;
  return true;
}

std::wstring RegistryKey::QueryString(const std::wstring& name) {
  RegistryValueKind kind;
  DWORD size = 0;
  if (!QueryValueInfo(name, &kind, &size) || size == 0) return std::wstring();
  // A value larger than the buffer fails the read with ERROR_MORE_DATA.
  std::vector<WCHAR> buffer(kMaxStringChars, L'\0');
  DWORD bytes = std::min<DWORD>(size, kMaxStringChars * sizeof(WCHAR));
  DWORD type = REG_NONE;
  if (RegQueryValueExW(current_, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                       &bytes) != ERROR_SUCCESS ||
      type != REG_SZ)
    return std::wstring();
  size_t chars = bytes / sizeof(WCHAR);
  return std::wstring(buffer.data(), std::find(buffer.data(), buffer.data() + chars, L'\0'));
}

void RegistryKey::SetString(const std::wstring& name, const std::wstring& text) {
  RegSetValueExW(current_, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

bool RegistryKey::DeleteTree(const std::wstring& path) {
  Target target = Resolve(path);
  // Nothing left of the path would mean the open key or the whole root.
  if (target.path.empty()) return false;

  if (HKEY handle = OpenSubKey(path)) {
    // The sub-keys' relative names resolve below handle while it is current.
    struct Restore {
      RegistryKey* self;
      HKEY saved;
      HKEY handle;
      ~Restore() {
        self->current_ = saved;
        RegCloseKey(handle);
      }
    } restore{this, current_, handle};
    current_ = handle;

    DWORD subKeys = 0;
    DWORD longest = 0;
    if (RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &subKeys, &longest, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
      std::vector<WCHAR> name(longest + 1);
      // From the last index down, so that deleting one does not move the rest.
      for (DWORD index = subKeys; index-- > 0;) {
        DWORD length = longest + 1;
        if (RegEnumKeyExW(handle, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) ==
            ERROR_SUCCESS)
          DeleteTree(std::wstring(name.data(), length));
      }
    }
  }

  RegDeleteKeyExFn deleteKeyEx = FindRegDeleteKeyEx();
  LSTATUS rc = deleteKeyEx ? deleteKeyEx(target.base, target.path.c_str(), access_ & KEY_WOW64_RES, 0)
                           : RegDeleteKeyW(target.base, target.path.c_str());
  return rc == ERROR_SUCCESS;
}

void RegistryKey::Attach(HKEY handle, const std::wstring& path) {
  Close();
  current_ = handle;
  currentPath_ = path;
}

void RegistryKey::Close() {
  if (!current_) return;
  if (!noFlushOnClose_) RegFlushKey(current_);
  RegCloseKey(current_);
  current_ = nullptr;
  currentPath_.clear();
}
