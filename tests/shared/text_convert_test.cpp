#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include <windows.h>
#include <shlobj.h>

#include "internal/machine.h"
#include "shared/product_constants.h"
#include "shared/program_dirs.h"
#include "shared/text_convert.h"
#include "shared/utc_time.h"
#include "support/far_time_zone.h"
#include "support/temp_machine.h"

using testing_support::TempMachine;

TEST(TextConvert, EmptyInputsGiveEmptyResults) {
  TempMachine m;
  EXPECT_EQ("", WideToAnsi(L""));
  EXPECT_EQ(L"", AnsiToWide(""));
  EXPECT_EQ(L"", Utf8ToWide(""));
  EXPECT_EQ("", WideToUtf8(L""));
  EXPECT_EQ("", AnsiToUtf8(""));
}

TEST(TextConvert, AnsiIsGbkAndUtf8RoundTrips) {
  TempMachine m;
  const std::wstring text = L"韩版 korva 安装 \x20AC";
  std::string ansi = WideToAnsi(text);
  EXPECT_EQ(text, AnsiToWide(ansi));
  EXPECT_EQ(WideToUtf8(text), AnsiToUtf8(ansi));
  EXPECT_EQ("\xE5\xAE\x89\xE8\xA3\x85", AnsiToUtf8("\xB0\xB2\xD7\xB0"));

  // Outside the code page: the default character; UTF-8 keeps everything.
  const std::wstring foreign = L"x\x0E01y\x00C5" + std::wstring(1, static_cast<WCHAR>(0x1F600));
  EXPECT_EQ("x?y??", WideToAnsi(foreign));
  EXPECT_EQ(foreign, Utf8ToWide(WideToUtf8(foreign)));
  EXPECT_EQ(L"a\xFFFD" L"b", Utf8ToWide("a\xC3" "b"));

  // Conversion stops at an embedded NUL.
  EXPECT_EQ("ab", WideToAnsi(std::wstring(L"ab\0cd", 5)));
  EXPECT_EQ(L"ab", Utf8ToWide(std::string("ab\0cd", 5)));
}

TEST(TextConvert, Cp1252Machine) {
  TempMachine m;
  m.WriteConfig(R"({"acp": 1252})");
  EXPECT_EQ("caf\xE9", WideToAnsi(L"café"));
  EXPECT_EQ("?", WideToAnsi(L"安"));
  EXPECT_EQ("caf\xC3\xA9", AnsiToUtf8("caf\xE9"));
}

TEST(TextConvert, BackslashHelpersAndTheirLimits) {
  EXPECT_EQ(L"C:\\dir\\", AddBackslash(L"C:\\dir"));
  EXPECT_EQ(L"C:\\dir\\", AddBackslash(L"C:\\dir\\"));
  EXPECT_EQ(L"C:\\dir", RemoveBackslash(L"C:\\dir\\"));
  EXPECT_EQ(L"C:\\dir", RemoveBackslash(L"C:\\dir"));
  EXPECT_EQ(L"C:\\", RemoveBackslash(L"C:\\"));
  EXPECT_EQ(L"", AddBackslash(L""));

  // 258 characters still take a backslash; 259 cannot (no room for the
  // terminator), and 260 or more pass through untouched.
  std::wstring p258 = L"C:\\" + std::wstring(255, L'a');
  std::wstring p259 = p258 + L"b";
  std::wstring p260 = p259 + L"\\";
  EXPECT_EQ(p258 + L"\\", AddBackslash(p258));
  EXPECT_EQ(p259, AddBackslash(p259));
  EXPECT_EQ(p260, RemoveBackslash(p260));
  EXPECT_EQ(p259, RemoveBackslash(p259 + L"\\").substr(0, 259));
  std::wstring p300 = L"C:\\" + std::wstring(296, L'a') + L"\\";
  EXPECT_EQ(p300, RemoveBackslash(p300));
  EXPECT_EQ(p300 + L"x", AddBackslash(p300 + L"x").substr(0, 301));
  EXPECT_EQ(301u, AddBackslash(p300 + L"x").size());
}

// Both stamps show UTC, told apart from local time by a zone half a day away.
TEST(TextConvert, UtcStamps) {
  testing_support::FarTimeZone zone;
  const time_t before = time(nullptr);
  std::wstring date = GetUtcDate();
  std::wstring stamp = GetUtcTimestamp();
  const time_t after = time(nullptr);
  using testing_support::Clock;
  EXPECT_TRUE(testing_support::ShowsTimeWithin(WideToUtf8(date), "%Y-%m-%d", Clock::kUtc, before, after))
      << WideToUtf8(date);
  EXPECT_TRUE(testing_support::ShowsTimeWithin(WideToUtf8(stamp), "%Y%m%d%H%M%S", Clock::kUtc, before, after))
      << WideToUtf8(stamp);
}

TEST(TextConvert, TempAndModuleDirectories) {
  TempMachine m;
  std::wstring temp = GetTempDir();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(L'\\', temp.back());
  DWORD attributes = GetFileAttributesW(temp.c_str());
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(temp, GetTempDir());

  char exe[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof(exe) - 1), 0);
  std::string host = exe;
  EXPECT_EQ(win32::ToWindowsPath(host.substr(0, host.rfind('/'))) + L"\\", GetModuleDir());
}

TEST(ProductConstants, JoinAsTheProgramsJoinThem) {
  TempMachine m;
  EXPECT_EQ(L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{5D2A7E41-3C86-4B19-9F07-A1E4C6B3D852}",
            std::wstring(kUninstallRegKey) + kProductGuid);
  EXPECT_EQ(L"更新文件解压失败", std::wstring(kUpdateResultTexts[3]));
  EXPECT_EQ(L"其他错误", std::wstring(kInstallResultTexts[10]));
  // A forward-slash fragment joined to a backslash directory is a usable path.
  std::wstring dir = L"C:\\Program Files (x86)\\korva\\";
  ASSERT_EQ(0, SHCreateDirectoryExW(nullptr, (dir + L"resources\\cplus-module").c_str(), nullptr));
  HANDLE file = CreateFileW((dir + kModuleSubdir + kUpdateConfigFile).c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  CloseHandle(file);
  EXPECT_TRUE(testing_support::HostExists(m.c() + "/Program Files (x86)/korva/resources/cplus-module/update.json"));
}
