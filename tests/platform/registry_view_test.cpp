#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include <windows.h>

#include "support/temp_machine.h"

using testing_support::TempMachine;

namespace {

struct ToolRun {
  int exitCode;
  std::string output;  // standard output and error together
};

ToolRun Regview(const std::string& arguments) {
  std::string command = std::string(KORVA_BUILD_DIR) + "/platform/tools/regview " + arguments + " 2>&1";
  ToolRun run{-1, ""};
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return run;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0) run.output.append(buffer, got);
  int status = pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

void Seed() {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Korva\\Sub", 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  DWORD number = 5;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"Number", 0, REG_DWORD,
                                          reinterpret_cast<const BYTE*>(&number), sizeof(number)));
  RegCloseKey(key);
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Korva", 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  const std::wstring text = L"C:\\Program Files\\korva\\";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"InstallLocation", 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(text.c_str()),
                                          static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR))));
  RegCloseKey(key);
}

}  // namespace

TEST(RegistryView, ListsExportsAndRestrictsKeys) {
  TempMachine m;
  Seed();
  ToolRun list = Regview("list 'HKLM\\software\\KORVA'");
  EXPECT_EQ(0, list.exitCode);
  EXPECT_NE(std::string::npos, list.output.find("InstallLocation  REG_SZ  \"C:\\Program Files\\korva\\\""))
      << list.output;
  EXPECT_NE(std::string::npos, list.output.find("sub-keys: 1\n  Sub\n")) << list.output;

  ToolRun exported = Regview("export HKEY_LOCAL_MACHINE/Software");
  EXPECT_EQ(0, exported.exitCode);
  size_t korva = exported.output.find("[HKEY_LOCAL_MACHINE\\Software\\Korva]\n");
  size_t sub = exported.output.find("[HKEY_LOCAL_MACHINE\\Software\\Korva\\Sub]\nNumber  REG_DWORD  0x00000005");
  EXPECT_NE(std::string::npos, korva) << exported.output;
  EXPECT_NE(std::string::npos, sub) << exported.output;
  EXPECT_LT(korva, sub);

  EXPECT_EQ(0, Regview("restrict 'HKLM\\Software\\Korva' 0x1").exitCode);
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Korva", 0, KEY_READ, &key));
  EXPECT_NE(std::string::npos, Regview("list HKLM\\\\Software\\\\Korva").output.find("[access 0x00000001]"));
  EXPECT_EQ(0, Regview("restrict HKLM/Software/Korva all").exitCode);
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Korva", 0, KEY_READ, &key));
  RegCloseKey(key);
}

TEST(RegistryView, CreateMakesEveryLevel) {
  TempMachine m;
  EXPECT_EQ(0, Regview("create 'HKCU\\Software\\A\\B C\\D'").exitCode);
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, L"software\\a\\b c\\d", 0, KEY_READ, &key));
  RegCloseKey(key);
  EXPECT_EQ(0, Regview("create HKCU/Software/A").exitCode);  // an existing key is fine
  EXPECT_EQ(1, Regview("create HKXY/Software").exitCode);
}

TEST(RegistryView, FailuresHaveTheirOwnExitCodes) {
  TempMachine m;
  ToolRun missing = Regview("list 'HKCU\\Software\\Nothing'");
  EXPECT_EQ(2, missing.exitCode);
  EXPECT_NE(std::string::npos, missing.output.find("key not found: HKCU\\Software\\Nothing"));
  EXPECT_EQ(2, Regview("export HKLM/Nothing").exitCode);
  EXPECT_EQ(2, Regview("restrict HKLM/Nothing 1").exitCode);
  EXPECT_EQ(1, Regview("list HKXY\\\\Software").exitCode);
  EXPECT_EQ(1, Regview("restrict HKLM/Software lots").exitCode);
  EXPECT_EQ(1, Regview("").exitCode);
}
