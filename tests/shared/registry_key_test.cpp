#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include <windows.h>

#include "internal/registry_admin.h"
#include "shared/registry_key.h"
#include "support/temp_machine.h"

using testing_support::TempMachine;

namespace {

const wchar_t kBase[] = L"Software\\Korva Tests";

void CreateKey(HKEY root, const std::wstring& path) {
  RegistryKey key(root, KEY_ALL_ACCESS, true);
  ASSERT_TRUE(key.Open(path, true)) << "creating the key";
}

bool KeyExists(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

DWORD SubKeyCount(HKEY root, const std::wstring& path) {
  win32::RegistryKeyRecord record;
  EXPECT_EQ(ERROR_SUCCESS, win32::ReadRegistryKey(root, path, &record));
  return static_cast<DWORD>(record.subKeys.size());
}

void SetRaw(RegistryKey& key, const wchar_t* name, DWORD type, const void* data, size_t size) {
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.Current(), name, 0, type, static_cast<const BYTE*>(data),
                                          static_cast<DWORD>(size)));
}

}  // namespace

TEST(RegistryKeyPath, NormalizeMarksRelativePaths) {
  std::wstring path = L"a/b\\c/";
  EXPECT_TRUE(RegistryKey::NormalizePath(path));
  EXPECT_EQ(L"a\\b\\c", path);
  path = L"/a/b\\\\";
  EXPECT_FALSE(RegistryKey::NormalizePath(path));
  EXPECT_EQ(L"\\a\\b\\", path);  // only one trailing separator goes
  path = L"";
  EXPECT_TRUE(RegistryKey::NormalizePath(path));
}

TEST(RegistryKeyPath, SpellingsOfAPathReachTheSameKey) {
  TempMachine m;
  {
    RegistryKey writer(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true);
    ASSERT_TRUE(writer.Open(L"Software\\Korva Tests\\App", true));
    writer.SetString(L"Marker", L"here");
  }
  for (const wchar_t* spelling : {L"Software/Korva Tests/App", L"Software\\Korva Tests\\App\\",
                                  L"\\SOFTWARE\\korva tests\\app"}) {
    RegistryKey key(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true);
    ASSERT_TRUE(key.Open(spelling, false)) << spelling;
    EXPECT_EQ(L"here", key.QueryString(L"Marker")) << spelling;
  }

  RegistryKey key(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true);
  ASSERT_TRUE(key.Open(kBase, false));
  // Relative to the open key, and the path is joined to the open one.
  ASSERT_TRUE(key.Open(L"App", false));
  EXPECT_EQ(L"Software\\Korva Tests\\App", key.CurrentPath());
  EXPECT_EQ(L"here", key.QueryString(L"Marker"));
  // A leading backslash goes back to the root although a key is open.
  ASSERT_TRUE(key.Open(L"\\Software\\Korva Tests", false));
  EXPECT_EQ(L"Software\\Korva Tests", key.CurrentPath());
  // A failed open keeps the key that was open.
  HKEY before = key.Current();
  EXPECT_FALSE(key.Open(L"Missing", false));
  EXPECT_EQ(before, key.Current());
  EXPECT_EQ(L"Software\\Korva Tests", key.CurrentPath());
  // Create with an empty path opens the same key again and creates nothing.
  ASSERT_TRUE(key.Open(L"", true));
  EXPECT_NE(before, key.Current());
  EXPECT_EQ(L"Software\\Korva Tests", key.CurrentPath());
  EXPECT_EQ(1u, SubKeyCount(HKEY_LOCAL_MACHINE, kBase));
  key.Close();
  EXPECT_EQ(nullptr, key.Current());
  EXPECT_EQ(L"", key.CurrentPath());
}

TEST(RegistryKeyRead, OpenForReadFallsBackToWhatTheKeyGrants) {
  TempMachine m;
  const std::wstring queryOnly = std::wstring(kBase) + L"\\QueryOnly";
  const std::wstring noNotify = std::wstring(kBase) + L"\\NoNotify";
  const std::wstring open = std::wstring(kBase) + L"\\Open";
  for (const std::wstring& path : {queryOnly, noNotify, open}) CreateKey(HKEY_LOCAL_MACHINE, path);
  ASSERT_EQ(ERROR_SUCCESS, win32::SetRegistryKeyAccess(HKEY_LOCAL_MACHINE, queryOnly, KEY_QUERY_VALUE));
  ASSERT_EQ(ERROR_SUCCESS, win32::SetRegistryKeyAccess(HKEY_LOCAL_MACHINE, noNotify,
                                                       STANDARD_RIGHTS_READ | KEY_QUERY_VALUE |
                                                           KEY_ENUMERATE_SUB_KEYS));

  RegistryKey full(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true);
  ASSERT_TRUE(full.OpenForRead(open));
  EXPECT_EQ(static_cast<REGSAM>(KEY_ALL_ACCESS), full.Access());

  RegistryKey second(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS | KEY_WOW64_32KEY, true);
  ASSERT_TRUE(second.OpenForRead(noNotify));
  EXPECT_EQ(static_cast<REGSAM>(0x20009 | KEY_WOW64_32KEY), second.Access());

  RegistryKey third(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS | KEY_WOW64_64KEY, true);
  ASSERT_TRUE(third.OpenForRead(queryOnly));
  EXPECT_EQ(static_cast<REGSAM>(KEY_QUERY_VALUE | KEY_WOW64_64KEY), third.Access());
  EXPECT_EQ(queryOnly, third.CurrentPath());
  // The narrowed mask stays: a later Open gets a key it cannot write.
  ASSERT_TRUE(third.Open(L"\\" + open, false));
  third.SetString(L"Value", L"text");
  RegistryKey check(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true);
  ASSERT_TRUE(check.Open(open, false));
  EXPECT_EQ(L"", check.QueryString(L"Value"));

  // A key that does not open leaves the wrapper as it was.
  EXPECT_FALSE(second.OpenForRead(L"\\Software\\Missing"));
  EXPECT_EQ(noNotify, second.CurrentPath());
  EXPECT_EQ(static_cast<REGSAM>(0x20009 | KEY_WOW64_32KEY), second.Access());

  HKEY sub = full.OpenSubKey(L"\\" + noNotify);
  ASSERT_NE(nullptr, sub);
  RegCloseKey(sub);
  EXPECT_EQ(nullptr, full.OpenSubKey(L"\\" + queryOnly));  // enumeration is not granted
  EXPECT_EQ(open, full.CurrentPath());
}

TEST(RegistryKeyRead, QueryStringReadsOnlyStringValuesUpToTheBufferSize) {
  TempMachine m;
  RegistryKey key(HKEY_CURRENT_USER, KEY_ALL_ACCESS, true);
  EXPECT_EQ(L"", key.QueryString(L"Anything"));  // no key open
  ASSERT_TRUE(key.Open(kBase, true));

  const std::wstring fits(8191, L'x');  // 8192 characters with the terminator
  const std::wstring tooLong(8192, L'y');
  key.SetString(L"Fits", fits);
  key.SetString(L"TooLong", tooLong);
  key.SetString(L"Empty", L"");
  key.SetString(L"Wide", L"C:\\程序\\korva\\");
  EXPECT_EQ(fits, key.QueryString(L"Fits"));
  EXPECT_EQ(L"", key.QueryString(L"TooLong"));
  EXPECT_EQ(L"", key.QueryString(L"Empty"));
  EXPECT_EQ(L"C:\\程序\\korva\\", key.QueryString(L"wide"));

  const wchar_t expand[] = L"%ProgramFiles%";
  SetRaw(key, L"Expand", REG_EXPAND_SZ, expand, sizeof(expand));
  DWORD number = 42;
  SetRaw(key, L"Number", REG_DWORD, &number, sizeof(number));
  const BYTE bytes[] = {1, 2, 3};
  SetRaw(key, L"Bytes", REG_BINARY, bytes, sizeof(bytes));
  ULONGLONG quad = 7;
  SetRaw(key, L"Quad", REG_QWORD, &quad, sizeof(quad));
  // Text stored without its terminator is read to the end of the data.
  const WCHAR bare[] = {L'a', L'b'};
  SetRaw(key, L"Bare", REG_SZ, bare, sizeof(bare));
  EXPECT_EQ(L"", key.QueryString(L"Expand"));
  EXPECT_EQ(L"", key.QueryString(L"Number"));
  EXPECT_EQ(L"", key.QueryString(L"Missing"));
  EXPECT_EQ(L"ab", key.QueryString(L"Bare"));

  struct Expected {
    const wchar_t* name;
    RegistryValueKind kind;
    DWORD size;
  };
  for (const Expected& e : {Expected{L"Fits", kRegistryKindString, 8192 * sizeof(WCHAR)},
                            Expected{L"Empty", kRegistryKindString, sizeof(WCHAR)},
                            Expected{L"Expand", kRegistryKindExpandString, sizeof(expand)},
                            Expected{L"Number", kRegistryKindDword, 4},
                            Expected{L"Bytes", kRegistryKindBinary, 3},
                            Expected{L"Quad", kRegistryKindOther, 8}}) {
    RegistryValueKind kind = kRegistryKindOther;
    DWORD size = 0;
    EXPECT_TRUE(key.QueryValueInfo(e.name, &kind, &size)) << e.name;
    EXPECT_EQ(e.kind, kind) << e.name;
    EXPECT_EQ(e.size, size) << e.name;
  }
  RegistryValueKind kind = kRegistryKindString;
  DWORD size = 5;
  EXPECT_FALSE(key.QueryValueInfo(L"Missing", &kind, &size));
  EXPECT_EQ(kRegistryKindOther, kind);
  EXPECT_EQ(0u, size);
}

TEST(RegistryKeyDelete, DeleteTreeRemovesNestedKeys) {
  TempMachine m;
  const std::wstring tree = std::wstring(kBase) + L"\\Tree";
  for (const wchar_t* sub : {L"\\A\\A1\\A11", L"\\A\\A2", L"\\B", L"\\C\\C1"})
    CreateKey(HKEY_LOCAL_MACHINE, tree + sub);
  CreateKey(HKEY_LOCAL_MACHINE, std::wstring(kBase) + L"\\Sibling");

  RegistryKey key(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true);
  ASSERT_TRUE(key.Open(kBase, false));
  HKEY open = key.Current();
  EXPECT_TRUE(key.DeleteTree(L"Tree/"));  // relative to the open key
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, tree));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kBase) + L"\\Sibling"));
  // The open key is untouched and still usable.
  EXPECT_EQ(open, key.Current());
  key.SetString(L"After", L"yes");
  EXPECT_EQ(L"yes", key.QueryString(L"After"));

  EXPECT_FALSE(key.DeleteTree(L"Tree"));  // gone already
  // An empty path would mean the open key or the whole root: refused.
  EXPECT_FALSE(key.DeleteTree(L""));
  EXPECT_FALSE(key.DeleteTree(L"/"));
  RegistryKey rootLevel(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true);
  EXPECT_FALSE(rootLevel.DeleteTree(L"\\"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kBase) + L"\\Sibling"));
}

TEST(RegistryKeyDelete, AnUndeletableSubKeyKeepsItsAncestors) {
  TempMachine m;
  const std::wstring tree = std::wstring(kBase) + L"\\Tree";
  for (const wchar_t* sub : {L"\\A\\Locked", L"\\A\\Free", L"\\B"}) CreateKey(HKEY_LOCAL_MACHINE, tree + sub);
  ASSERT_EQ(ERROR_SUCCESS, win32::SetRegistryKeyAccess(HKEY_LOCAL_MACHINE, tree + L"\\A\\Locked", KEY_READ));

  RegistryKey key(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true);
  EXPECT_FALSE(key.DeleteTree(tree));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, tree + L"\\A\\Locked"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, tree + L"\\A\\Free"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, tree + L"\\B"));
}

TEST(RegistryKeyDelete, WorksWithoutRegDeleteKeyEx) {
  TempMachine m;
  m.WriteConfig(R"({"hide_exports": ["RegDeleteKeyExW"]})");
  ASSERT_EQ(nullptr, GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "RegDeleteKeyExW"));
  const std::wstring tree = std::wstring(kBase) + L"\\Old";
  CreateKey(HKEY_CURRENT_USER, tree + L"\\X\\Y");
  CreateKey(HKEY_CURRENT_USER, tree + L"\\Z");
  RegistryKey key(HKEY_CURRENT_USER, KEY_ALL_ACCESS | KEY_WOW64_32KEY, true);
  EXPECT_TRUE(key.DeleteTree(L"\\" + tree));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, tree));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kBase));
}

namespace {

// Runs in a forked child: writes `count` values into shared keys and reads
// each back at once. Returns the number of failures.
int WriteAndReadBack(const std::wstring& writer, int count) {
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    RegistryKey key(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true);
    std::wstring path = std::wstring(kBase) + L"\\Shared\\K" + std::to_wstring(i % 5);
    if (!key.Open(path, true)) {
      ++failures;
      continue;
    }
    std::wstring name = writer + L"_" + std::to_wstring(i);
    key.SetString(name, name + L"=" + std::to_wstring(i * 7));
    if (key.QueryString(name) != name + L"=" + std::to_wstring(i * 7)) ++failures;
  }
  return failures;
}

}  // namespace

TEST(RegistryKeyProcesses, ConcurrentWritersLoseNothingAndChangesPersist) {
  TempMachine m;
  CreateKey(HKEY_LOCAL_MACHINE, kBase);  // the parent has used the registry before forking
  const int kCount = 150;
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    ASSERT_NE(-1, children[c]);
    if (children[c] == 0) _exit(std::min(WriteAndReadBack(L"w" + std::to_wstring(c), kCount), 100));
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "failures in a writer";
  }
  // What the children wrote is there for this process, all of it.
  for (int c = 0; c < 2; ++c) {
    for (int i = 0; i < kCount; ++i) {
      RegistryKey key(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true);
      ASSERT_TRUE(key.OpenForRead(std::wstring(kBase) + L"\\Shared\\K" + std::to_wstring(i % 5)));
      std::wstring name = L"w" + std::to_wstring(c) + L"_" + std::to_wstring(i);
      EXPECT_EQ(name + L"=" + std::to_wstring(i * 7), key.QueryString(name));
    }
  }
  EXPECT_EQ(5u, SubKeyCount(HKEY_LOCAL_MACHINE, std::wstring(kBase) + L"\\Shared"));
}
