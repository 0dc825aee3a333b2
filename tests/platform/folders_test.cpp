#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include <windows.h>
#include <shlobj.h>

#include "internal/machine.h"
#include "support/temp_machine.h"

using testing_support::HostExists;
using testing_support::TempMachine;

namespace {

std::wstring Folder(int csidl) {
  WCHAR path[MAX_PATH] = L"junk";
  HRESULT hr = SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
  return SUCCEEDED(hr) ? std::wstring(path) : L"!" + std::wstring(path);
}

}  // namespace

TEST(Folders, StandardFoldersExistOnDriveC) {
  TempMachine m;
  m.WriteConfig(R"({"user": "Lin"})");
  EXPECT_EQ(L"C:\\Program Files (x86)\\Common Files", Folder(CSIDL_PROGRAM_FILES_COMMON));
  EXPECT_EQ(L"C:\\Users\\Public\\Desktop", Folder(CSIDL_COMMON_DESKTOPDIRECTORY));
  EXPECT_EQ(L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs", Folder(CSIDL_COMMON_PROGRAMS));
  EXPECT_EQ(L"C:\\Users\\Lin\\AppData\\Roaming", Folder(CSIDL_APPDATA));
  EXPECT_TRUE(HostExists(m.c() + "/Program Files (x86)/Common Files"));
  EXPECT_TRUE(HostExists(m.c() + "/Users/Public/Desktop"));
  EXPECT_TRUE(HostExists(m.c() + "/ProgramData/Microsoft/Windows/Start Menu/Programs"));
  EXPECT_TRUE(HostExists(m.c() + "/Users/Lin/AppData/Roaming"));
  EXPECT_EQ(L"!", Folder(0x7777));  // unknown: failure and an empty path

  WCHAR temp[MAX_PATH] = {};
  DWORD needed = GetTempPathW(0, nullptr);
  std::wstring expected = L"C:\\Users\\Lin\\AppData\\Local\\Temp\\";
  EXPECT_EQ(expected.size() + 1, needed);
  EXPECT_EQ(needed, GetTempPathW(static_cast<DWORD>(expected.size()), temp));  // no room for the NUL
  EXPECT_EQ(expected.size(), GetTempPathW(MAX_PATH, temp));
  EXPECT_EQ(expected, temp);
  EXPECT_TRUE(HostExists(m.c() + "/Users/Lin/AppData/Local/Temp"));
}

TEST(Folders, CreateDirectoryWithAllLevels) {
  TempMachine m;
  EXPECT_EQ(ERROR_SUCCESS, SHCreateDirectoryExW(nullptr, L"C:\\x\\y/z", nullptr));
  EXPECT_TRUE(HostExists(m.c() + "/x/y/z"));
  EXPECT_EQ(ERROR_ALREADY_EXISTS, SHCreateDirectoryExW(nullptr, L"c:\\X\\Y", nullptr));
  EXPECT_EQ(ERROR_SUCCESS, SHCreateDirectoryExW(nullptr, L"C:\\X\\new", nullptr));
  EXPECT_TRUE(HostExists(m.c() + "/x/new"));
  testing_support::WriteHostFile(m.c() + "/file", "");
  EXPECT_EQ(ERROR_FILE_EXISTS, SHCreateDirectoryExW(nullptr, L"C:\\file", nullptr));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, SHCreateDirectoryExW(nullptr, L"C:\\file\\below", nullptr));
  EXPECT_EQ(ERROR_BAD_PATHNAME, SHCreateDirectoryExW(nullptr, L"relative\\dir", nullptr));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, SHCreateDirectoryExW(nullptr, L"Q:\\dir", nullptr));
  EXPECT_EQ(ERROR_BAD_NETPATH, SHCreateDirectoryExW(nullptr, L"\\\\server\\share\\dir", nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_NETPATH), GetLastError());
}

TEST(Folders, DiskFreeSpaceFromTheMachineOrTheHost) {
  TempMachine m;
  ULARGE_INTEGER available, total, free;
  ASSERT_TRUE(GetDiskFreeSpaceExW(L"C:\\", &available, &total, &free));
  EXPECT_GT(total.QuadPart, 0u);
  EXPECT_GE(free.QuadPart, available.QuadPart);

  testing_support::MakeHostDirs(m.dir() + "/d/games");
  m.WriteConfig(R"({"drives": {"C": {"free_bytes": 1048576}, "d": {"free_bytes": 5000000000, "total_bytes": 9000000000}}})");
  ASSERT_TRUE(GetDiskFreeSpaceExW(L"C:\\", &available, &total, &free));
  EXPECT_EQ(1048576u, available.QuadPart);
  EXPECT_EQ(1048576u, free.QuadPart);
  ASSERT_TRUE(GetDiskFreeSpaceExW(L"d:\\games\\", &available, nullptr, nullptr));
  EXPECT_EQ(5000000000u, available.QuadPart);
  ASSERT_TRUE(GetDiskFreeSpaceExW(L"D:\\", nullptr, &total, nullptr));
  EXPECT_EQ(9000000000u, total.QuadPart);

  EXPECT_FALSE(GetDiskFreeSpaceExW(L"E:\\", &available, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  EXPECT_FALSE(GetDiskFreeSpaceExW(L"\\:\\", &available, nullptr, nullptr));
  EXPECT_FALSE(GetDiskFreeSpaceExW(L"\\\\server\\share\\", &available, nullptr, nullptr));
}

TEST(Folders, CurrentDirectoryAndModuleName) {
  TempMachine m;
  testing_support::MakeHostDirs(m.c() + "/Work Dir");
  char before[4096] = {};
  ASSERT_NE(nullptr, getcwd(before, sizeof(before)));
  ASSERT_TRUE(SetCurrentDirectoryW(L"c:\\work dir"));
  WCHAR buffer[MAX_PATH] = {};
  EXPECT_EQ(11u, GetCurrentDirectoryW(MAX_PATH, buffer));
  EXPECT_EQ(std::wstring(L"C:\\Work Dir"), buffer);
  EXPECT_EQ(12u, GetCurrentDirectoryW(3, buffer));
  // Relative paths now start there.
  HANDLE file = CreateFileW(L"rel.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  CloseHandle(file);
  EXPECT_TRUE(HostExists(m.c() + "/Work Dir/rel.txt"));
  EXPECT_FALSE(SetCurrentDirectoryW(L"C:\\Work Dir\\rel.txt"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DIRECTORY), GetLastError());
  EXPECT_FALSE(SetCurrentDirectoryW(L"C:\\nothing"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  ASSERT_EQ(0, chdir(before));

  char exe[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof(exe) - 1), 0);
  std::wstring expected = win32::ToWindowsPath(exe);
  EXPECT_EQ(L"Z:\\", expected.substr(0, 3));
  EXPECT_EQ(expected.size(), GetModuleFileNameW(nullptr, buffer, MAX_PATH));
  EXPECT_EQ(expected, buffer);
  WCHAR small[8] = {};
  EXPECT_EQ(8u, GetModuleFileNameW(nullptr, small, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(expected.substr(0, 7), small);
}
