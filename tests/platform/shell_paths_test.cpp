#include <gtest/gtest.h>

#include <string>

#include <windows.h>
#include <shlwapi.h>

#include "support/temp_machine.h"

namespace {

std::wstring Apply(const std::wstring& path, BOOL (*fn)(LPWSTR), BOOL* result = nullptr) {
  WCHAR buffer[MAX_PATH] = {};
  path.copy(buffer, path.size());
  BOOL r = fn(buffer);
  if (result) *result = r;
  return buffer;
}

std::wstring RemoveBackslash(const std::wstring& path) {
  WCHAR buffer[MAX_PATH] = {};
  path.copy(buffer, path.size());
  PathRemoveBackslashW(buffer);
  return buffer;
}

}  // namespace

TEST(ShellPaths, AddBackslashAtTheLimit) {
  WCHAR buffer[MAX_PATH] = L"C:\\dir";
  LPWSTR end = PathAddBackslashW(buffer);
  EXPECT_EQ(std::wstring(L"C:\\dir\\"), buffer);
  ASSERT_NE(nullptr, end);
  EXPECT_EQ(0, *end);
  EXPECT_EQ(buffer + 7, end);
  EXPECT_EQ(buffer + 7, PathAddBackslashW(buffer));  // already there

  std::wstring p258 = L"C:\\" + std::wstring(255, L'x');
  p258.copy(buffer, p258.size());
  buffer[258] = 0;
  EXPECT_NE(nullptr, PathAddBackslashW(buffer));
  EXPECT_EQ(L'\\', buffer[258]);
  EXPECT_EQ(0, buffer[259]);
  buffer[258] = L'y';
  EXPECT_EQ(nullptr, PathAddBackslashW(buffer));  // 259 + backslash + NUL would not fit
  EXPECT_EQ(0, buffer[259]);
}

TEST(ShellPaths, RemoveBackslashKeepsRoots) {
  EXPECT_EQ(L"C:\\dir", RemoveBackslash(L"C:\\dir\\"));
  EXPECT_EQ(L"C:\\dir", RemoveBackslash(L"C:\\dir"));
  EXPECT_EQ(L"C:\\", RemoveBackslash(L"C:\\"));
  EXPECT_EQ(L"\\", RemoveBackslash(L"\\"));
  EXPECT_EQ(L"C:\\a\\", RemoveBackslash(L"C:\\a\\\\"));  // one at a time
  WCHAR buffer[MAX_PATH] = L"C:\\dir";
  EXPECT_EQ(buffer + 5, PathRemoveBackslashW(buffer));
}

TEST(ShellPaths, RemoveFileSpec) {
  BOOL changed = FALSE;
  EXPECT_EQ(L"C:\\a", Apply(L"C:\\a\\b.txt", PathRemoveFileSpecW, &changed));
  EXPECT_TRUE(changed);
  EXPECT_EQ(L"C:\\", Apply(L"C:\\a", PathRemoveFileSpecW));
  EXPECT_EQ(L"C:\\", Apply(L"C:\\", PathRemoveFileSpecW, &changed));
  EXPECT_FALSE(changed);
  EXPECT_EQ(L"C:\\a", Apply(L"C:\\a\\", PathRemoveFileSpecW));
  EXPECT_EQ(L"", Apply(L"name.txt", PathRemoveFileSpecW, &changed));
  EXPECT_TRUE(changed);
  EXPECT_EQ(L"\\", Apply(L"\\top", PathRemoveFileSpecW));
  EXPECT_EQ(L"\\\\server", Apply(L"\\\\server\\share", PathRemoveFileSpecW));
}

TEST(ShellPaths, RootsAndExistence) {
  EXPECT_TRUE(PathIsRootW(L"C:\\"));
  EXPECT_TRUE(PathIsRootW(L"\\"));
  EXPECT_TRUE(PathIsRootW(L"\\\\server"));
  EXPECT_TRUE(PathIsRootW(L"\\\\server\\share"));
  EXPECT_FALSE(PathIsRootW(L"\\\\server\\share\\dir"));
  EXPECT_FALSE(PathIsRootW(L"C:"));
  EXPECT_FALSE(PathIsRootW(L"C:\\a"));
  EXPECT_FALSE(PathIsRootW(L""));

  testing_support::TempMachine m;
  testing_support::WriteHostFile(m.c() + "/Dir/File.txt", "");
  EXPECT_TRUE(PathFileExistsW(L"c:\\dir\\file.TXT"));
  EXPECT_TRUE(PathFileExistsW(L"C:\\DIR"));
  EXPECT_FALSE(PathFileExistsW(L"C:\\dir\\other.txt"));
  EXPECT_FALSE(PathFileExistsW(L"Q:\\dir"));
}
