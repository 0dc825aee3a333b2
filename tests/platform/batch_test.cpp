#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <string>

#include "support/stub_program.h"
#include "support/temp_machine.h"

using testing_support::HostExists;
using testing_support::InstallStub;
using testing_support::ReadHostFile;
using testing_support::TempMachine;
using testing_support::WriteHostFile;

namespace {

// Batch files are ANSI text with CR LF line ends.
void WriteBatch(const std::string& hostPath, const std::wstring& text) {
  int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, bytes.data(), n, nullptr, nullptr);
  bytes.resize(static_cast<size_t>(n - 1));
  WriteHostFile(hostPath, bytes);
}

// Runs a batch file through the shell and waits for the interpreter.
DWORD RunBatch(const std::wstring& file, const std::wstring& parameters, const std::wstring& directory,
               DWORD timeoutMs = 30000) {
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"runas";
  info.lpFile = file.c_str();
  info.lpParameters = parameters.c_str();
  info.lpDirectory = directory.c_str();
  info.nShow = SW_HIDE;
  if (!ShellExecuteExW(&info) || !info.hProcess) return 0xDEAD;
  DWORD code = 0xBEEF;
  if (WaitForSingleObject(info.hProcess, timeoutMs) == WAIT_OBJECT_0) GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hProcess);
  return code;
}

}  // namespace

// The updater's self-update script: copy the new files over its directory,
// remove them, start the new updater from its directory, delete itself.
TEST(BatchFile, SelfUpdateScriptReplacesFilesStartsProgramAndDeletesItself) {
  TempMachine m;
  const std::string work = m.c() + "/Program Files (x86)/Common Files/korva";
  const std::string exeDir = m.c() + "/Korva加速器/update";
  InstallStub(exeDir + "/update.exe");
  WriteHostFile(exeDir + "/DuiLib_u.dll", "old library");
  WriteHostFile(exeDir + "/skin/skin.zip", "old skin");
  InstallStub(work + "/update_update/update.exe");
  WriteHostFile(work + "/update_update/DuiLib_u.dll", "new library");
  WriteHostFile(work + "/update_update/skin/skin.zip", "new skin");

  const std::wstring src = L"C:\\Program Files (x86)\\Common Files\\korva\\update_update\\";
  const std::wstring dst = L"C:\\Korva加速器\\update\\";
  WriteBatch(work + "/update.bat",
             L"ping -n 1 127.0>nul\r\n"
             L"copy /y \"" + src + L"DuiLib_u.dll\" \"" + dst + L"DuiLib_u.dll\"\r\n"
             L"copy /y \"" + src + L"skin\\skin.zip\" \"" + dst + L"skin\\skin.zip\"\r\n"
             L"copy /y \"" + src + L"update.exe\" \"" + dst + L"update.exe\"\r\n"
             L"rd /s /q \"C:\\Program Files (x86)\\Common Files\\korva\\update_update\"\r\n"
             L"C:\r\n"
             L"cd " + dst + L"\r\n"
             L"\"" + dst + L"update.exe\"\r\n"
             L"ping -n 2 127.0>nul\r\n"
             L"del %0\r\n");

  EXPECT_EQ(0u, RunBatch(L"C:\\Program Files (x86)\\Common Files\\korva\\update.bat", L"",
                         L"C:\\Program Files (x86)\\Common Files\\korva"));
  EXPECT_EQ("new library", ReadHostFile(exeDir + "/DuiLib_u.dll"));
  EXPECT_EQ("new skin", ReadHostFile(exeDir + "/skin/skin.zip"));
  EXPECT_FALSE(HostExists(work + "/update_update"));
  EXPECT_FALSE(HostExists(work + "/update.bat"));
  auto runs = testing_support::StubRuns(m);
  ASSERT_EQ(1u, runs.size());
  EXPECT_EQ("C:\\Korva加速器\\update\\update.exe", runs[0]["windows_path"].asString());
  EXPECT_EQ("C:\\Korva加速器\\update", runs[0]["windows_cwd"].asString());
}

TEST(BatchFile, CommandsRedirectionsDirectoriesAndStart) {
  TempMachine m;
  WriteHostFile(m.c() + "/src/f.txt", "payload");
  WriteHostFile(m.c() + "/src/tree/a.txt", "A");
  WriteHostFile(m.c() + "/src/tree/sub/b.txt", "B");
  InstallStub(m.c() + "/Prog/korva.exe");
  testing_support::MakeHostDirs(m.c() + "/out");
  testing_support::MakeHostDirs(m.dir() + "/d");  // drive D:
  WriteBatch(m.c() + "/scripts/run.cmd",
             L"@echo off\r\n"
             L"rem a comment\r\n"
             L":: another\r\n"
             L"set WHO=korva\r\n"
             L"echo first %1 %WHO% 100%%>C:\\out\\log.txt\r\n"
             L"echo second>>C:\\out\\log.txt\r\n"
             L"md C:\\out\\a\\b\r\n"
             L"cd /d C:\\OUT\\a\r\n"
             L"copy /y C:\\src\\f.txt b\r\n"
             L"copy /y C:\\src\\f.txt C:\\missing\\f.txt 2>nul\r\n"
             L"echo level(%ERRORLEVEL%)>>C:\\out\\log.txt\r\n"
             L"xcopy /y /e /i C:\\src\\tree C:\\out\\tree\r\n"
             L"D:\r\n"
             L"md sub\r\n"
             L"cd C:\\out\r\n"
             L"echo %CD%>>C:\\out\\log.txt\r\n"
             L"C:\r\n"
             L"echo %CD%>>log.txt\r\n"
             L"start \"\" /d C:\\out\\a \"C:\\Prog\\korva.exe\" --tray \"two words\"\r\n"
             L"del C:\\out\\a\\b\\f.txt\r\n"
             L"exit /b 3\r\n"
             L"echo never>>C:\\out\\log.txt\r\n");

  EXPECT_EQ(3u, RunBatch(L"C:\\scripts\\run.cmd", L"\"arg one\"", L"C:\\scripts"));
  EXPECT_EQ("first \"arg one\" korva 100%\r\nsecond\r\nlevel(1)\r\nD:\\\r\nC:\\out\r\n",
            ReadHostFile(m.c() + "/out/log.txt"));
  EXPECT_FALSE(HostExists(m.c() + "/out/a/b/f.txt"));
  EXPECT_TRUE(HostExists(m.c() + "/out/a/b"));
  EXPECT_EQ("A", ReadHostFile(m.c() + "/out/tree/a.txt"));
  EXPECT_EQ("B", ReadHostFile(m.c() + "/out/tree/sub/b.txt"));
  EXPECT_TRUE(HostExists(m.dir() + "/d/sub"));
  EXPECT_FALSE(HostExists(m.c() + "/missing"));

  auto runs = testing_support::WaitForStubRuns(m, 1);
  ASSERT_EQ(1u, runs.size());
  EXPECT_EQ("C:\\out\\a", runs[0]["windows_cwd"].asString());
  ASSERT_EQ(2u, runs[0]["args"].size());
  EXPECT_EQ("two words", runs[0]["args"][1].asString());
}
