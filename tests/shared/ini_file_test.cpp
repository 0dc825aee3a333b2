#include <gtest/gtest.h>

#include <list>
#include <string>

#include <windows.h>

#include "shared/ini_file.h"
#include "shared/log_writer.h"
#include "support/temp_machine.h"

using testing_support::HostExists;
using testing_support::ReadHostFile;
using testing_support::TempMachine;
using testing_support::WriteHostFile;

namespace {

const std::string kLogWindowsPath = "C:\\test.log";

// A machine whose log goes to C:\test.log.
class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override { SetLogPath(kLogWindowsPath); }
  std::string Log() const {
    return HostExists(m_.c() + "/test.log") ? ReadHostFile(m_.c() + "/test.log") : std::string();
  }
  TempMachine m_;
};

std::list<std::wstring> Lines(std::initializer_list<const wchar_t*> lines) {
  return std::list<std::wstring>(lines.begin(), lines.end());
}

}  // namespace

TEST_F(IniFileTest, ReadRefusesMissingAndMalformedFilesAndKeepsTheTree) {
  WriteHostFile(m_.c() + "/good.ini", "[S]\r\na=1\r\nb = 2\r\n; a comment\r\n");
  WriteHostFile(m_.c() + "/dup.ini", "[S]\na=1\na=2\n");
  WriteHostFile(m_.c() + "/bad.ini", "[S]\na=1\nthis line means nothing\n");
  IniFile ini;
  ASSERT_TRUE(ini.Read(L"C:\\good.ini"));
  EXPECT_EQ(Lines({L"a=1", L"b=2"}), ini.GetSection(L"S"));

  EXPECT_FALSE(ini.Read(L"C:\\missing.ini"));
  EXPECT_EQ("", Log());  // a missing file is no failure worth a line

  EXPECT_FALSE(ini.Read(L"C:\\dup.ini"));
  EXPECT_FALSE(ini.Read(L"C:\\bad.ini"));
  std::string log = Log();
  EXPECT_NE(std::string::npos, log.find("    failed to read ini files: C:\\dup.ini \xA1\xA3\r\n")) << log;
  EXPECT_NE(std::string::npos, log.find("    failed to read ini files: C:\\bad.ini \xA1\xA3\r\n")) << log;
  EXPECT_EQ(Lines({L"a=1", L"b=2"}), ini.GetSection(L"S"));
  EXPECT_TRUE(ini.GetSection(L"Absent").empty());
}

TEST_F(IniFileTest, UpdatesKeepTheOrderOfSectionsAndEntries) {
  WriteHostFile(m_.c() + "/rec.dat", "[First]\nx=1\n[Second]\na=1\nb=2\n");
  IniFile ini;
  ASSERT_TRUE(ini.Read(L"C:\\rec.dat"));
  ini.SetSection(L"Second");
  ini.SetValue(L"a", L"changed");
  ini.SetValue(L"c", L"");
  ini.SetSection(L"Third");
  ini.SetValue(L"z", L"last");
  EXPECT_EQ(Lines({L"a=changed", L"b=2", L"c="}), ini.GetSection(L"Second"));
  ASSERT_TRUE(ini.Write(L"C:\\rec.dat"));
  EXPECT_EQ("[First]\r\nx=1\r\n[Second]\r\na=changed\r\nb=2\r\nc=\r\n[Third]\r\nz=last\r\n",
            ReadHostFile(m_.c() + "/rec.dat"));
}

TEST_F(IniFileTest, PathLikeAndNonAsciiKeysRoundTrip) {
  const std::list<std::wstring> entries = Lines({
      L"bin/cleanup.exe;/quiet=EXECUTE",
      L"bin/tool.exe;=EXECUTE",
      L"C:\\Users\\Public\\Desktop\\Korva.lnk=LNK",
      L"version.2.3.1=dots",
      L"C:\\程序\\桌面\\快捷方式.lnk=链接",
  });
  IniFile ini;
  ini.SetSection(L"5D2A7E41-3C86-4B19-9F07-A1E4C6B3D852");
  for (const std::wstring& line : entries) {
    size_t eq = line.find(L'=');
    ini.SetValue(line.substr(0, eq), line.substr(eq + 1));
  }
  ASSERT_TRUE(ini.Write(L"C:\\ProgramData\\korva\\new\\KorvaInstall.dat"));  // directory missing

  std::string bytes = ReadHostFile(m_.c() + "/ProgramData/korva/new/KorvaInstall.dat");
  EXPECT_NE(std::string::npos, bytes.find("C:\\\xE7\xA8\x8B\xE5\xBA\x8F\\"));  // keys are UTF-8
  IniFile reread;
  ASSERT_TRUE(reread.Read(L"C:\\ProgramData\\korva\\new\\KorvaInstall.dat"));
  EXPECT_EQ(entries, reread.GetSection(L"5D2A7E41-3C86-4B19-9F07-A1E4C6B3D852"));
}

TEST_F(IniFileTest, PathsOutsideTheAnsiCodePageFailWithTheirLogLines) {
  // Thai has no place in the default code page (936): the narrow path holds "?".
  testing_support::MakeHostDirs(m_.c() + "/ini");
  WriteHostFile(m_.c() + "/ini/\xE0\xB8\x81.ini", "[S]\na=1\n");
  IniFile ini;
  EXPECT_FALSE(ini.Read(L"C:\\ini\\\u0E01.ini"));
  ini.SetSection(L"S");
  ini.SetValue(L"k", L"v");
  EXPECT_FALSE(ini.Write(L"C:\\ini\\\u0E01\u0E02.ini"));
  std::string log = Log();
  EXPECT_NE(std::string::npos, log.find("failed to read ini files: C:\\ini\\?.ini \xA1\xA3\r\n")) << log;
  EXPECT_NE(std::string::npos, log.find("failed to save ini files: C:\\ini\\??.ini\r\n")) << log;
}

TEST_F(IniFileTest, ATreeTheFormatCannotHoldLeavesTheFileAlone) {
  IniFile ini;
  ini.SetSection(L"S");
  ini.SetValue(L"good", L"1");
  ASSERT_TRUE(ini.Write(L"C:\\keep.ini"));
  const std::string before = ReadHostFile(m_.c() + "/keep.ini");
  ini.SetValue(L"a|b", L"nested");  // "|" separates tree levels: three levels deep
  EXPECT_FALSE(ini.Write(L"C:\\keep.ini"));
  EXPECT_NE(std::string::npos, Log().find("failed to save ini files: C:\\keep.ini\r\n"));
  EXPECT_EQ(before, ReadHostFile(m_.c() + "/keep.ini"));
}
