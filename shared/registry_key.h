// One registry key at a time below a fixed root: open or create it, read and
// write string values, delete a key with everything below it.
#pragma once
#include <string>

#include <windows.h>

// Kind of a stored value as QueryValueInfo reports it.
enum RegistryValueKind : DWORD {
  kRegistryKindOther = 0,  // any other type, or the query failed
  kRegistryKindString = 1,
  kRegistryKindExpandString = 2,
  kRegistryKindDword = 3,
  kRegistryKindBinary = 4,
};

// Paths are key names separated by backslashes ("/" works too). A path that
// starts with a backslash is resolved below the root; any other path below
// the open key, or below the root when none is open.
class RegistryKey {
 public:
  RegistryKey(HKEY root, REGSAM access, bool noFlushOnClose);
  ~RegistryKey();
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // Turns "/" into "\" and drops one trailing backslash; true when relative.
  static bool NormalizePath(std::wstring& path);

  bool Open(const std::wstring& path, bool create);
  // Opens for reading with the first of KEY_READ, read+enumerate, query-only
  // that the key grants; a narrowed mask stays for later opens.
  bool OpenForRead(const std::wstring& path);
  // A read handle on the key without making it the open key; the caller
  // closes it with RegCloseKey. Null when the key does not open.
  HKEY OpenSubKey(const std::wstring& path);

  bool QueryValueInfo(const std::wstring& name, RegistryValueKind* kind, DWORD* size);
  // The REG_SZ value of the open key; empty for anything else.
  std::wstring QueryString(const std::wstring& name);
  void SetString(const std::wstring& name, const std::wstring& text);

  // Deletes the key and every key below it.
  bool DeleteTree(const std::wstring& path);

  void Attach(HKEY handle, const std::wstring& path);
  void Close();

  HKEY Current() const { return current_; }
  const std::wstring& CurrentPath() const { return currentPath_; }
  REGSAM Access() const { return access_; }

 private:
  // Where a path leads: the key it is resolved below and the path to pass on.
  struct Target {
    HKEY base;
    std::wstring path;
    bool relative;
  };
  Target Resolve(const std::wstring& path) const;
  // currentPath of a key reached through `target` from the open key.
  std::wstring PathOf(const Target& target) const;

  HKEY root_;
  HKEY current_ = nullptr;
  std::wstring currentPath_;
  REGSAM access_;
  bool noFlushOnClose_;
};
