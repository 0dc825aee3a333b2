#include <gtest/gtest.h>

#include <windows.h>

#include "internal/machine.h"
#include "support/temp_machine.h"

using testing_support::TempMachine;

TEST(PathMapping, DrivesCaseAndSeparators) {
  TempMachine m;
  testing_support::MakeHostDirs(m.c() + "/Program Files/Korva");
  std::string host;
  DWORD err = 0;
  ASSERT_TRUE(win32::ToHostPath(L"c:/PROGRAM FILES\\korva\\new.txt", &host, &err));
  EXPECT_EQ(m.c() + "/Program Files/Korva/new.txt", host);
  ASSERT_TRUE(win32::ToHostPath(L"C:\\a\\.\\b\\..\\c", &host, &err));
  EXPECT_EQ(m.c() + "/a/c", host);
  ASSERT_TRUE(win32::ToHostPath(L"\\\\?\\C:\\x", &host, &err));
  EXPECT_EQ(m.c() + "/x", host);
}

TEST(PathMapping, HostRootIsDriveZAndMapsBack) {
  TempMachine m;
  std::string host;
  DWORD err = 0;
  ASSERT_TRUE(win32::ToHostPath(L"Z:\\tmp", &host, &err));
  EXPECT_EQ("/tmp", host);
  EXPECT_EQ(L"Z:\\usr\\lib", win32::ToWindowsPath("/usr/lib"));
  EXPECT_EQ(L"C:\\Windows\\x.dll", win32::ToWindowsPath(m.c() + "/Windows/x.dll"));
}

TEST(PathMapping, UnknownDrivesAndUncPathsFail) {
  TempMachine m;
  std::string host;
  DWORD err = 0;
  EXPECT_FALSE(win32::ToHostPath(L"Q:\\nothing", &host, &err));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), err);
  EXPECT_FALSE(win32::ToHostPath(L"\\\\server\\share\\x", &host, &err));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_NETPATH), err);
  EXPECT_FALSE(win32::ToHostPath(L"C:\\a|b", &host, &err));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), err);
  testing_support::MakeHostDirs(m.dir() + "/d");
  EXPECT_TRUE(win32::ToHostPath(L"D:\\data", &host, &err));
  EXPECT_EQ(m.dir() + "/d/data", host);
}
