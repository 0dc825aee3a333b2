#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

#include "internal/registry_admin.h"
#include "internal/registry_exports.h"
#include "support/temp_machine.h"

using testing_support::TempMachine;

namespace {

HKEY Create(HKEY base, const wchar_t* path, DWORD* disposition = nullptr) {
  HKEY key = nullptr;
  LSTATUS rc = RegCreateKeyExW(base, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                               nullptr, &key, disposition);
  EXPECT_EQ(ERROR_SUCCESS, rc) << "creating key";
  return key;
}

LSTATUS Open(HKEY base, const wchar_t* path, REGSAM access, HKEY* key) {
  return RegOpenKeyExW(base, path, 0, access, key);
}

void SetString(HKEY key, const wchar_t* name, const std::wstring& text) {
  ASSERT_EQ(ERROR_SUCCESS,
            RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR))));
}

void SetDword(HKEY key, const wchar_t* name, DWORD value) {
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, REG_DWORD,
                                          reinterpret_cast<const BYTE*>(&value), sizeof(value)));
}

std::wstring SubKeyName(HKEY key, DWORD index) {
  WCHAR name[256];
  DWORD length = 256;
  LSTATUS rc = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
  return rc == ERROR_SUCCESS ? std::wstring(name, length) : L"<" + std::to_wstring(rc) + L">";
}

}  // namespace

TEST(Registry, CreateOpenAndNamesIgnoreCaseButKeepIt) {
  TempMachine m;
  DWORD disposition = 0;
  HKEY created = Create(HKEY_LOCAL_MACHINE, L"Software\\Korva Test\\Deep\\", &disposition);
  EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
  RegCloseKey(created);
  HKEY again = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\korva test\\DEEP", &disposition);
  EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
  RegCloseKey(again);

  HKEY software = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open(HKEY_LOCAL_MACHINE, L"software", KEY_READ, &software));
  EXPECT_EQ(L"Korva Test", SubKeyName(software, 0));
  EXPECT_EQ(std::to_wstring(ERROR_NO_MORE_ITEMS), SubKeyName(software, 1).substr(1, 3));
  RegCloseKey(software);

  HKEY missing = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(HKEY_LOCAL_MACHINE, L"Software\\Nope", KEY_READ, &missing));
  EXPECT_EQ(nullptr, missing);
  // The two roots are separate trees.
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(HKEY_CURRENT_USER, L"Software\\Korva Test", KEY_READ, &missing));
  EXPECT_EQ(ERROR_BAD_PATHNAME, Open(HKEY_LOCAL_MACHINE, L"Software\\\\Korva Test", KEY_READ, &missing));
  // The file appears on first use.
  struct stat st {};
  EXPECT_EQ(0, stat((m.dir() + "/registry.db").c_str(), &st));
}

TEST(Registry, NamesAreLimitedAsOnWindows) {
  TempMachine m;
  HKEY base = Create(HKEY_CURRENT_USER, L"Software\\Limits");
  // A key's name holds 255 characters, a value's 16,383.
  RegCloseKey(Create(base, std::wstring(255, L'k').c_str()));
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegCreateKeyExW(base, (L"ok\\" + std::wstring(256, L'k')).c_str(), 0, nullptr,
                                                     0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(base, L"ok", KEY_READ, &key));
  DWORD one = 1;
  const BYTE* data = reinterpret_cast<const BYTE*>(&one);
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(base, std::wstring(16383, L'v').c_str(), 0, REG_DWORD, data, 4));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExW(base, std::wstring(16384, L'v').c_str(), 0, REG_DWORD, data, 4));
  RegCloseKey(base);
}

TEST(Registry, ValuesKeepTheirBytesAndReportSizes) {
  TempMachine m;
  HKEY key = Create(HKEY_CURRENT_USER, L"Software\\Values");
  SetString(key, L"Path", L"C:\\Program Files\\korva\\");
  SetDword(key, L"Count", 7);
  const BYTE blob[] = {0, 1, 2, 0xFF};
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"Blob", 0, REG_BINARY, blob, sizeof(blob)));
  ULONGLONG big = 0x1122334455667788ull;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"Big", 0, REG_QWORD,
                                          reinterpret_cast<const BYTE*>(&big), sizeof(big)));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, nullptr, 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(L"default"),
                                          8 * sizeof(WCHAR)));

  DWORD type = 0, size = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"PATH", nullptr, &type, nullptr, &size));
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ(24 * sizeof(WCHAR), size);

  WCHAR small[4];
  DWORD smallSize = sizeof(small);
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExW(key, L"Path", nullptr, &type,
                                              reinterpret_cast<BYTE*>(small), &smallSize));
  EXPECT_EQ(size, smallSize);

  std::vector<WCHAR> text(size / sizeof(WCHAR));
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"Path", nullptr, &type,
                                            reinterpret_cast<BYTE*>(text.data()), &size));
  EXPECT_EQ(std::wstring(L"C:\\Program Files\\korva\\"), text.data());

  DWORD count = 0;
  size = sizeof(count);
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"count", nullptr, &type,
                                            reinterpret_cast<BYTE*>(&count), &size));
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
  EXPECT_EQ(7u, count);

  BYTE readBlob[16] = {};
  size = sizeof(readBlob);
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"Blob", nullptr, &type, readBlob, &size));
  EXPECT_EQ(sizeof(blob), size);
  EXPECT_EQ(0, std::memcmp(blob, readBlob, sizeof(blob)));

  ULONGLONG readBig = 0;
  size = sizeof(readBig);
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"Big", nullptr, &type,
                                            reinterpret_cast<BYTE*>(&readBig), &size));
  EXPECT_EQ(static_cast<DWORD>(REG_QWORD), type);
  EXPECT_EQ(big, readBig);

  WCHAR def[16] = {};
  size = sizeof(def);
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"", nullptr, &type, reinterpret_cast<BYTE*>(def), &size));
  EXPECT_EQ(std::wstring(L"default"), def);

  // An empty REG_SZ of zero bytes is a value, not a missing one.
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"Empty", 0, REG_SZ, nullptr, 0));
  size = 99;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"Empty", nullptr, &type, nullptr, &size));
  EXPECT_EQ(0u, size);

  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key, L"None", nullptr, &type, nullptr, &size));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(key, L"count"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueW(key, L"Count"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key, L"Count", nullptr, &type, nullptr, &size));
  RegCloseKey(key);
}

TEST(Registry, EnumerationAndKeyInfo) {
  TempMachine m;
  HKEY key = Create(HKEY_LOCAL_MACHINE, L"Software\\Enum");
  for (const wchar_t* sub : {L"beta", L"Alpha", L"gamma-longest"}) RegCloseKey(Create(key, sub));
  SetString(key, L"First", L"1");
  SetString(key, L"SecondLonger", L"22");
  SetString(key, L"FIRST", L"333");  // the same value again keeps its name and place

  EXPECT_EQ(L"Alpha", SubKeyName(key, 0));
  EXPECT_EQ(L"beta", SubKeyName(key, 1));
  EXPECT_EQ(L"gamma-longest", SubKeyName(key, 2));

  WCHAR name[8];
  DWORD length = 8;  // "gamma-longest" does not fit
  EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExW(key, 2, name, &length, nullptr, nullptr, nullptr, nullptr));

  WCHAR valueName[32];
  DWORD nameLength = 32, type = 0, size = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegEnumValueW(key, 0, valueName, &nameLength, nullptr, &type, nullptr, &size));
  EXPECT_EQ(L"First", std::wstring(valueName, nameLength));
  EXPECT_EQ(4 * sizeof(WCHAR), size);
  nameLength = 32;
  ASSERT_EQ(ERROR_SUCCESS, RegEnumValueW(key, 1, valueName, &nameLength, nullptr, &type, nullptr, &size));
  EXPECT_EQ(L"SecondLonger", std::wstring(valueName, nameLength));
  nameLength = 32;
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumValueW(key, 2, valueName, &nameLength, nullptr, &type, nullptr, &size));

  DWORD subKeys = 0, maxSubKey = 0, values = 0, maxValueName = 0, maxValue = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, &maxSubKey,
                                            nullptr, &values, &maxValueName, &maxValue, nullptr,
                                            nullptr));
  EXPECT_EQ(3u, subKeys);
  EXPECT_EQ(13u, maxSubKey);
  EXPECT_EQ(2u, values);
  EXPECT_EQ(12u, maxValueName);
  EXPECT_EQ(4 * sizeof(WCHAR), maxValue);
  RegCloseKey(key);
}

TEST(Registry, DeletionRulesAndStaleHandles) {
  TempMachine m;
  HKEY parent = Create(HKEY_LOCAL_MACHINE, L"Software\\Del\\Child");
  HKEY del = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open(HKEY_LOCAL_MACHINE, L"Software\\Del", KEY_ALL_ACCESS, &del));
  EXPECT_EQ(ERROR_KEY_HAS_CHILDREN, RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\Del"));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"software\\del\\CHILD", KEY_WOW64_32KEY, 0));
  // The handle of a deleted key stays a handle but reaches nothing.
  EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExW(parent, L"x", 0, REG_BINARY, nullptr, 0));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(parent));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\Del\\Child"));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(del, L""));  // the handle's own key
  HKEY gone = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(HKEY_LOCAL_MACHINE, L"Software\\Del", KEY_READ, &gone));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(del));
  // A closed handle is no handle; a recreated key is a new key.
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(del));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegFlushKey(del));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExW(nullptr, L"Software", 0, KEY_READ, &gone));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(HKEY_LOCAL_MACHINE, L""));
}

TEST(Registry, RestrictedKeysGrantOnlyWhatTheyAllow) {
  TempMachine m;
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, L"Software\\Locked\\Inner"));
  ASSERT_EQ(ERROR_SUCCESS,
            win32::SetRegistryKeyAccess(HKEY_LOCAL_MACHINE, L"Software\\Locked", KEY_QUERY_VALUE));

  HKEY key = nullptr;
  EXPECT_EQ(ERROR_ACCESS_DENIED, Open(HKEY_LOCAL_MACHINE, L"Software\\Locked", KEY_READ, &key));
  EXPECT_EQ(ERROR_ACCESS_DENIED, Open(HKEY_LOCAL_MACHINE, L"Software\\Locked", 0x20009, &key));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Locked", 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &key, nullptr));
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, L"Software\\LockedLeaf"));
  ASSERT_EQ(ERROR_SUCCESS, win32::SetRegistryKeyAccess(HKEY_LOCAL_MACHINE, L"Software\\LockedLeaf",
                                                       KEY_READ));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\LockedLeaf"));
  ASSERT_EQ(ERROR_SUCCESS,
            Open(HKEY_LOCAL_MACHINE, L"Software\\Locked", KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key));
  // The handle carries only what it was granted.
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExW(key, L"x", 0, REG_BINARY, nullptr, 0));
  WCHAR name[16];
  DWORD length = 16;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr));
  HKEY inner = nullptr;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExW(key, L"New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                                 &inner, nullptr));
  // Keys below are not restricted by their parent.
  ASSERT_EQ(ERROR_SUCCESS, Open(key, L"Inner", KEY_ALL_ACCESS, &inner));
  RegCloseKey(inner);
  RegCloseKey(key);

  win32::RegistryKeyRecord record;
  ASSERT_EQ(ERROR_SUCCESS, win32::ReadRegistryKey(HKEY_LOCAL_MACHINE, L"software\\LOCKED", &record));
  EXPECT_EQ(static_cast<DWORD>(KEY_QUERY_VALUE), record.allowedAccess);
  ASSERT_EQ(1u, record.subKeys.size());

  ASSERT_EQ(ERROR_SUCCESS, win32::SetRegistryKeyAccess(HKEY_LOCAL_MACHINE, L"Software\\Locked",
                                                       win32::kRegistryAccessAll));
  EXPECT_EQ(ERROR_SUCCESS, Open(HKEY_LOCAL_MACHINE, L"Software\\Locked", KEY_ALL_ACCESS, &key));
  RegCloseKey(key);
}

TEST(Registry, ExportsCanBeHiddenByTheMachine) {
  TempMachine m;
  EXPECT_EQ(reinterpret_cast<void*>(&RegDeleteKeyExW), win32::RegistryExport("RegDeleteKeyExW"));
  EXPECT_EQ(nullptr, win32::RegistryExport("RegNoSuchCall"));
  m.WriteConfig(R"({"hide_exports":["RegDeleteKeyExW"]})");
  EXPECT_EQ(nullptr, win32::RegistryExport("RegDeleteKeyExW"));
  EXPECT_EQ(reinterpret_cast<void*>(&RegDeleteKeyW), win32::RegistryExport("RegDeleteKeyW"));
}

TEST(Registry, EachMachineHasItsOwnRegistry) {
  HKEY fromFirst = nullptr;
  {
    TempMachine first;
    fromFirst = Create(HKEY_CURRENT_USER, L"Software\\OnlyHere");
    TempMachine second;
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(HKEY_CURRENT_USER, L"Software\\OnlyHere", KEY_READ, &key));
    // A handle of another machine's registry reaches nothing here.
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegSetValueExW(fromFirst, L"x", 0, REG_BINARY, nullptr, 0));
  }
  RegCloseKey(fromFirst);
}

TEST(Registry, AKilledWriterLeavesWhatItReportedAndNoPartialKeys) {
  TempMachine m;
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, L"Software\\Crash"));
  int pipeFds[2];
  ASSERT_EQ(0, pipe(pipeFds));
  pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    close(pipeFds[0]);
    for (int i = 0;; ++i) {
      // Each key comes with its sub-key in one call: both or neither.
      std::wstring path = L"Software\\Crash\\K" + std::to_wstring(i) + L"\\Deep";
      HKEY key = nullptr;
      if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          &key, nullptr) != ERROR_SUCCESS ||
          RegSetValueExW(key, L"i", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i), sizeof(i)) !=
              ERROR_SUCCESS)
        _exit(1);
      RegCloseKey(key);
      if (write(pipeFds[1], &i, sizeof(i)) != sizeof(i)) _exit(2);
    }
  }
  close(pipeFds[1]);
  int reported = -1;
  for (int n; reported < 40 && read(pipeFds[0], &n, sizeof(n)) == sizeof(n);) reported = n;
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(pipeFds[0]);
  ASSERT_GE(reported, 40);

  HKEY crash = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open(HKEY_LOCAL_MACHINE, L"Software\\Crash", KEY_READ, &crash));
  DWORD subKeys = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(crash, nullptr, nullptr, nullptr, &subKeys, nullptr,
                                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_GT(subKeys, static_cast<DWORD>(reported));  // every reported write is there
  for (DWORD i = 0; i < subKeys; ++i) {
    HKEY deep = nullptr;
    std::wstring path = L"K" + std::to_wstring(i) + L"\\Deep";
    ASSERT_EQ(ERROR_SUCCESS, Open(crash, path.c_str(), KEY_READ, &deep)) << i;
    RegCloseKey(deep);
  }
  RegCloseKey(crash);
  // The registry goes on working after the crash.
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, L"Software\\Crash\\After"));
}
