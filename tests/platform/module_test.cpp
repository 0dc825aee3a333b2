#include <gtest/gtest.h>

#include <windows.h>
#include <winreg.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/temp_machine.h"

using testing_support::TempMachine;

namespace {
void CopyArchiveLibrary(const std::string& to) {
  std::filesystem::create_directories(std::filesystem::path(to).parent_path());
  std::filesystem::copy_file("/usr/lib/p7zip/7z.so", to);
}
}  // namespace

TEST(Modules, HostLibraryLoadsUnderItsWindowsName) {
  TempMachine m;
  CopyArchiveLibrary(m.c() + "/Tools/7z.dll");
  HMODULE module = LoadLibraryW(L"c:\\TOOLS\\7Z.DLL");
  ASSERT_NE(nullptr, module);
  EXPECT_NE(nullptr, GetProcAddress(module, "CreateObject"));
  EXPECT_NE(nullptr, GetProcAddress(module, "GetHashers"));
  EXPECT_EQ(nullptr, GetProcAddress(module, "NoSuchExport"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
  WCHAR path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(module, path, MAX_PATH), 0u);
  EXPECT_STREQ(L"C:\\Tools\\7z.dll", path);
  EXPECT_EQ(module, GetModuleHandleW(L"7z.dll"));

  // Loaded twice, freed twice; a third free is refused.
  EXPECT_EQ(module, LoadLibraryW(L"C:\\Tools\\7z.dll"));
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_FALSE(FreeLibrary(module));
  EXPECT_EQ(nullptr, GetModuleHandleW(L"7z.dll"));

  EXPECT_EQ(nullptr, LoadLibraryW(L"C:\\Tools\\missing.dll"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
  testing_support::WriteHostFile(m.c() + "/Tools/broken.dll", "not a library");
  EXPECT_EQ(nullptr, LoadLibraryW(L"C:\\Tools\\broken.dll"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_EXE_FORMAT), GetLastError());
}

TEST(Modules, BareNameIsFoundInTheCurrentDirectoryWithDefaultExtension) {
  TempMachine m;
  CopyArchiveLibrary(m.c() + "/Here/7z.dll");
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(m.c() + "/Here");
  HMODULE module = LoadLibraryW(L"7z");
  std::filesystem::current_path(previous);
  ASSERT_NE(nullptr, module);
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(nullptr, LoadLibraryW(L"7z"));
}

TEST(Modules, SystemModulesAreThePlatform) {
  TempMachine m;
  HMODULE advapi = GetModuleHandleW(L"ADVAPI32.DLL");
  ASSERT_NE(nullptr, advapi);
  EXPECT_EQ(advapi, LoadLibraryW(L"advapi32"));
  EXPECT_TRUE(FreeLibrary(advapi));  // never unloaded
  EXPECT_EQ(reinterpret_cast<void*>(&RegDeleteKeyExW),
            reinterpret_cast<void*>(GetProcAddress(advapi, "RegDeleteKeyExW")));
  EXPECT_EQ(nullptr, GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "RegDeleteKeyExW"));

  // A machine that hides the export behaves like an older system.
  m.WriteConfig(R"({"hide_exports": ["RegDeleteKeyExW"]})");
  EXPECT_EQ(nullptr, GetProcAddress(advapi, "RegDeleteKeyExW"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());

  WCHAR path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(advapi, path, MAX_PATH), 0u);
  EXPECT_STREQ(L"C:\\Windows\\System32\\advapi32.dll", path);
  ASSERT_GT(GetModuleFileNameW(GetModuleHandleW(nullptr), path, MAX_PATH), 0u);
  EXPECT_EQ(L"module_test", std::wstring(path).substr(std::wstring(path).rfind(L'\\') + 1));
  EXPECT_EQ(GetModuleHandleW(nullptr), GetModuleHandleW(L"module_test"));
}
