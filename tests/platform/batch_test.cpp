#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "helpers/batch_run.h"
#include "support/stub_program.h"
#include "support/temp_machine.h"

using testing_support::HostExists;
using testing_support::InstallStub;
using testing_support::ReadHostFile;
using testing_support::TempMachine;
using testing_support::WriteHostFile;

using batch_testing::RunBatch;
using batch_testing::RunScript;
using batch_testing::StartThroughShell;
using batch_testing::WriteBatch;

namespace {

const char kInUse[] = "The process cannot access the file because it is being used by another process.\r\n";

// "%" doubled, as a path stands in a batch file.
std::wstring InBatch(const std::wstring& path) {
  std::wstring out;
  for (wchar_t c : path) out += c == L'%' ? L"%%" : std::wstring(1, c);
  return out;
}

void EndProgram(HANDLE process) {
  EXPECT_TRUE(TerminateProcess(process, 0));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(process, 5000));
  CloseHandle(process);
}

}  // namespace

// The updater's self-update batch file: it waits while the updater that
// wrote it runs (its image cannot be written), then copies the new files
// over the updater's folder, removes them, starts the new updater from its
// folder and deletes itself.
TEST(BatchFile, UpdateBatchWaitsForTheUpdaterThenReplacesAndRestartsIt) {
  TempMachine m;
  const std::wstring exeDir = L"C:\\Tools & Games ^ 100%\\Korva加速器\\update\\";
  const std::string exeDirHost = m.c() + "/Tools & Games ^ 100%/Korva加速器/update";
  const std::wstring source = L"C:\\Program Files (x86)\\Common Files\\korva\\update_update\\";
  const std::string work = m.c() + "/Program Files (x86)/Common Files/korva";
  InstallStub(exeDirHost + "/update.exe");
  const std::string oldImage = ReadHostFile(exeDirHost + "/update.exe");
  const std::string newImage = oldImage + "\n#updater 2\n";  // still a program
  WriteHostFile(work + "/update_update/update.exe", newImage);
  WriteHostFile(work + "/update_update/sub/new.dll", "new library");
  testing_support::MakeHostDirs(exeDirHost + "/sub");

  HANDLE updater = StartThroughShell(exeDir + L"update.exe", L"--stay", L"");
  ASSERT_NE(nullptr, updater);
  ASSERT_EQ(1u, testing_support::WaitForStubRuns(m, 1).size());

  const std::wstring dir = InBatch(exeDir);
  const std::wstring exe = L"\"" + dir + L"update.exe\"";
  WriteBatch(work + "/update.bat",
             L"ping -n 1 127.0>nul\r\n"
             L"set /a korva_wait=0\r\n"
             L":korva_wait\r\n"
             L"if not exist " + exe + L" goto korva_copy\r\n"
             L"copy /y /b " + exe + L"+nul " + exe + L" >nul 2>nul\r\n"
             L"if not errorlevel 1 goto korva_copy\r\n"
             L"set /a korva_wait+=1\r\n"
             L"if %korva_wait% geq 30 goto korva_copy\r\n"
             L"ping -n 2 127.0>nul\r\n"
             L"goto korva_wait\r\n"
             L":korva_copy\r\n"
             L"copy /y \"" + source + L"update.exe\" " + exe + L"\r\n"
             L"copy /y \"" + source + L"sub\\new.dll\" \"" + dir + L"sub\\new.dll\"\r\n"
             L"rd /s /q \"C:\\Program Files (x86)\\Common Files\\korva\\update_update\"\r\n"
             L"C:\r\n"
             L"cd \"" + dir + L"\"\r\n"
             L"\"" + dir + L"update.exe\"\r\n"
             L"ping -n 6 127.0>nul\r\n"
             L"del %0\r\n");
  HANDLE batch = StartThroughShell(L"C:\\Program Files (x86)\\Common Files\\korva\\update.bat", L"",
                                   L"C:\\Program Files (x86)\\Common Files\\korva");
  ASSERT_NE(nullptr, batch);

  // While the updater runs, the batch file waits and replaces nothing.
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(batch, 2500));
  EXPECT_EQ(oldImage, ReadHostFile(exeDirHost + "/update.exe"));
  EXPECT_FALSE(HostExists(exeDirHost + "/sub/new.dll"));
  EXPECT_EQ(1u, testing_support::StubRuns(m).size());

  EndProgram(updater);
  DWORD code = 0xBEEF;
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(batch, 30000));
  GetExitCodeProcess(batch, &code);
  CloseHandle(batch);
  EXPECT_EQ(0u, code);
  EXPECT_EQ(newImage, ReadHostFile(exeDirHost + "/update.exe"));
  EXPECT_EQ("new library", ReadHostFile(exeDirHost + "/sub/new.dll"));
  EXPECT_FALSE(HostExists(work + "/update_update"));
  EXPECT_FALSE(HostExists(work + "/update.bat"));
  auto runs = testing_support::StubRuns(m);
  ASSERT_EQ(2u, runs.size());
  EXPECT_EQ(0u, runs[1]["args"].size());
  EXPECT_EQ("C:\\Tools & Games ^ 100%\\Korva加速器\\update\\update.exe", runs[1]["windows_path"].asString());
  EXPECT_EQ("C:\\Tools & Games ^ 100%\\Korva加速器\\update", runs[1]["windows_cwd"].asString());
}

// start runs a program from the current folder and goes on at once, the
// errorlevel cleared; an IF before it, or before an errorlevel test, runs
// the rest of the line only when its file is there.
TEST(BatchFile, StartedProgramRunsOnWhileTheScriptGoesOn) {
  TempMachine m;
  const std::string dirHost = m.c() + "/Me^You & 50% off";
  InstallStub(dirHost + "/launch.exe");
  WriteHostFile(dirHost + "/launch.exe.stay", "");  // it runs until its file goes
  const std::wstring dir = L"C:\\Me^You & 50%% off\\";
  const std::wstring launcher = L"\"" + dir + L"launch.exe\"", gone = L"\"" + dir + L"gone.exe\"";
  WriteBatch(m.c() + "/batch/start.bat",
             L"@echo off\r\n"
             L"cd \"" + dir + L"\"\r\n"
             L"copy /y C:\\missing C:\\x >nul 2>nul\r\n"
             L"if exist " + launcher + L" start \"\" " + launcher + L"\r\n"
             L"echo [%errorlevel%]>C:\\out.txt\r\n"
             L"if exist " + gone + L" start \"\" " + gone + L"\r\n"
             L"copy /y C:\\missing C:\\x >nul 2>nul\r\n"
             L"if exist " + gone + L" if errorlevel 1 echo never>>C:\\out.txt\r\n"
             L"if exist " + launcher + L" if errorlevel 1 echo nested>>C:\\out.txt\r\n");

  EXPECT_EQ(1u, RunBatch(L"C:\\batch\\start.bat", L"", L"C:\\batch", 10000));
  EXPECT_EQ("[0]\r\nnested\r\n", ReadHostFile(m.c() + "/out.txt"));
  const auto runs = testing_support::WaitForStubRuns(m, 1);
  ASSERT_EQ(1u, runs.size());
  EXPECT_EQ("C:\\Me^You & 50% off\\launch.exe", runs[0]["windows_path"].asString());
  EXPECT_EQ("C:\\Me^You & 50% off", runs[0]["windows_cwd"].asString());
  EXPECT_EQ(0u, runs[0]["args"].size());
  EXPECT_EQ(0, kill(runs[0]["pid"].asInt(), 0)) << "the program did not run on";
  std::filesystem::remove(dirHost + "/launch.exe");  // it ends by itself
}

// Windows refuses to write, replace or delete a running program's image;
// the commands fail with its messages and leave the file as it was.
TEST(BatchFile, RunningProgramIsNeitherOverwrittenNorDeleted) {
  TempMachine m;
  const std::string exe = m.c() + "/Prog/korva.exe";
  InstallStub(exe);
  const std::string image = ReadHostFile(exe);
  WriteHostFile(m.c() + "/new.exe", "new image");
  HANDLE program = StartThroughShell(L"C:\\Prog\\korva.exe", L"--stay", L"");
  ASSERT_NE(nullptr, program);
  ASSERT_EQ(1u, testing_support::WaitForStubRuns(m, 1).size());

  const std::wstring script = L"@echo off\r\n"
                              L"copy /y /b C:\\Prog\\korva.exe+nul C:\\Prog\\korva.exe >nul\r\n"
                              L"echo [%errorlevel%]\r\n"
                              L"copy /y C:\\new.exe C:\\Prog\\korva.exe || echo copy-failed\r\n"
                              L"echo x >>C:\\Prog\\korva.exe || echo redirect-failed\r\n"
                              L"del C:\\Prog\\korva.exe\r\n"
                              L"rd /s /q C:\\Prog\r\n";
  auto run = RunScript(m, script);
  EXPECT_EQ("[1]\r\n        0 file(s) copied.\r\ncopy-failed\r\nredirect-failed\r\n",
            run.out);
  EXPECT_EQ(std::string(kInUse) + kInUse + kInUse +
                "C:\\Prog\\korva.exe\r\nAccess is denied.\r\n"
                "C:\\Prog\\korva.exe - Access is denied.\r\nThe directory is not empty.\r\n",
            run.err);
  EXPECT_EQ(image, ReadHostFile(exe));

  // Once it has ended, the same lines go through.
  EndProgram(program);
  run = RunScript(m, script);
  EXPECT_EQ("[0]\r\n        1 file(s) copied.\r\n", run.out);
  EXPECT_EQ("", run.err);
  EXPECT_FALSE(HostExists(m.c() + "/Prog"));
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

// Read-only files as the command processor and its attrib program treat
// them: copy onto one and del without /f are refused and leave it as it
// was, a copy carries the flag, attrib changes or shows it, and rd /s takes
// read-only files and folders with the rest.
TEST(BatchFile, ReadOnlyFiles) {
  TempMachine m;
  WriteHostFile(m.c() + "/ro/held.txt", "old");
  WriteHostFile(m.c() + "/ro/src.txt", "new");
  WriteHostFile(m.c() + "/ro/tree/deep/f.txt", "f");
  for (const wchar_t* path : {L"C:\\ro\\held.txt", L"C:\\ro\\tree\\deep\\f.txt", L"C:\\ro\\tree\\deep"})
    ASSERT_TRUE(SetFileAttributesW(path, FILE_ATTRIBUTE_READONLY));
  auto run = batch_testing::RunScript(m,
                                      L"@echo off\r\n"
                                      L"copy /y C:\\ro\\src.txt C:\\ro\\held.txt >nul 2>nul\r\n"
                                      L"echo onto(%errorlevel%)\r\n"
                                      L"del C:\\ro\\held.txt 2>nul\r\n"
                                      L"if exist C:\\ro\\held.txt echo kept\r\n"
                                      L"copy /y C:\\ro\\held.txt C:\\ro\\copy.txt >nul\r\n"
                                      L"attrib C:\\ro\\copy.txt\r\n"
                                      L"attrib -r \"C:\\ro\\held.txt\"\r\n"
                                      L"copy /y C:\\ro\\src.txt C:\\ro\\held.txt >nul\r\n"
                                      L"echo cleared(%errorlevel%)\r\n"
                                      L"attrib +r C:\\ro\\src.txt\r\n"
                                      L"attrib -r C:\\ro\\missing.txt\r\n"
                                      L"del /f C:\\ro\\copy.txt\r\n"
                                      L"rd /s /q C:\\ro\\tree\r\n"
                                      L"echo rd(%errorlevel%)\r\n");
  EXPECT_EQ("onto(1)\r\n"
            "kept\r\n"
            "     R       C:\\ro\\copy.txt\r\n"
            "cleared(0)\r\n"
            "File not found - C:\\ro\\missing.txt\r\n"
            "rd(0)\r\n",
            run.out);
  EXPECT_EQ("new", ReadHostFile(m.c() + "/ro/held.txt"));
  EXPECT_EQ(0u, GetFileAttributesW(L"C:\\ro\\held.txt") & FILE_ATTRIBUTE_READONLY);
  EXPECT_NE(0u, GetFileAttributesW(L"C:\\ro\\src.txt") & FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(HostExists(m.c() + "/ro/copy.txt"));
  EXPECT_FALSE(HostExists(m.c() + "/ro/tree"));
}

// Hidden and system files as the command processor treats them: copy does
// not go over a hidden or system file, attrib changes nothing on one unless
// told about its hidden or system flag in the same command, and del passes
// them by unless /a asks for them.
TEST(BatchFile, HiddenAndSystemFiles) {
  TempMachine m;
  for (const char* name : {"h.txt", "s.txt", "hr.txt", "hs.txt", "plain.txt"})
    WriteHostFile(m.c() + "/hs/" + name, "old");
  WriteHostFile(m.c() + "/hs/src.txt", "new");
  ASSERT_TRUE(SetFileAttributesW(L"C:\\hs\\h.txt", FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(SetFileAttributesW(L"C:\\hs\\s.txt", FILE_ATTRIBUTE_SYSTEM));
  ASSERT_TRUE(SetFileAttributesW(L"C:\\hs\\hr.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(SetFileAttributesW(L"C:\\hs\\hs.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  auto run = batch_testing::RunScript(m,
                                      L"@echo off\r\n"
                                      L"copy /y C:\\hs\\src.txt C:\\hs\\h.txt >nul\r\n"
                                      L"echo hidden(%errorlevel%)\r\n"
                                      L"copy /y /a C:\\hs\\src.txt C:\\hs\\s.txt >nul\r\n"
                                      L"echo system(%errorlevel%)\r\n"
                                      L"attrib -r C:\\hs\\hr.txt\r\n"
                                      L"attrib -r C:\\hs\\hs.txt\r\n"
                                      L"attrib -r -h C:\\hs\\hs.txt\r\n"
                                      L"attrib +r C:\\hs\\h.txt\r\n"
                                      L"attrib C:\\hs\\h.txt\r\n"
                                      L"attrib C:\\hs\\hr.txt\r\n"
                                      L"attrib C:\\hs\\hs.txt\r\n"
                                      L"attrib -r -h -s C:\\hs\\hr.txt\r\n"
                                      L"copy /y C:\\hs\\src.txt C:\\hs\\hr.txt >nul\r\n"
                                      L"echo cleared(%errorlevel%)\r\n"
                                      L"del C:\\hs\\h.txt\r\n"
                                      L"del C:\\hs\\*.txt\r\n"
                                      L"if exist C:\\hs\\h.txt if exist C:\\hs\\s.txt "
                                      L"if exist C:\\hs\\hs.txt echo kept\r\n"
                                      L"if not exist C:\\hs\\hr.txt if not exist C:\\hs\\plain.txt echo deleted\r\n"
                                      L"del /a:h C:\\hs\\*.txt\r\n"
                                      L"if not exist C:\\hs\\h.txt if not exist C:\\hs\\hs.txt "
                                      L"if exist C:\\hs\\s.txt echo hidden deleted\r\n"
                                      L"del /a C:\\hs\\s.txt\r\n"
                                      L"if not exist C:\\hs\\s.txt echo all deleted\r\n");
  EXPECT_EQ("hidden(1)\r\n"
            "system(1)\r\n"
            "Not resetting hidden file - C:\\hs\\hr.txt\r\n"
            "Not resetting system file - C:\\hs\\hs.txt\r\n"
            "Not resetting system file - C:\\hs\\hs.txt\r\n"
            "Not resetting hidden file - C:\\hs\\h.txt\r\n"
            "    H        C:\\hs\\h.txt\r\n"
            "    HR       C:\\hs\\hr.txt\r\n"
            "   SH        C:\\hs\\hs.txt\r\n"
            "cleared(0)\r\n"
            "kept\r\n"
            "deleted\r\n"
            "hidden deleted\r\n"
            "all deleted\r\n",
            run.out);
  EXPECT_EQ("Access is denied.\r\n"
            "Access is denied.\r\n"
            "Could Not Find C:\\hs\\h.txt\r\n",
            run.err);
  EXPECT_FALSE(HostExists(m.c() + "/hs/src.txt"));
}
