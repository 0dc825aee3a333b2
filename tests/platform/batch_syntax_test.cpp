// How the batch interpreter reads lines: % expansion first, then quotes,
// carets, separators and redirections; labels, GOTO, SET /A and IF; COPY's
// joins and in-place appends; files held by another process.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "helpers/batch_run.h"
#include "support/temp_machine.h"

using batch_testing::RunScript;
using testing_support::HostExists;
using testing_support::MakeHostDirs;
using testing_support::ReadHostFile;
using testing_support::TempMachine;
using testing_support::WriteHostFile;

namespace {

const char kNotRecognized[] = " is not recognized as an internal or external command,\r\n"
                              "operable program or batch file.\r\n";
const char kInUse[] = "The process cannot access the file because it is being used by another process.\r\n";

}  // namespace

TEST(BatchSyntax, PercentExpansionComesFirstAndDropsWhatIsNotThere) {
  TempMachine m;
  auto run = RunScript(m,
                       L"@echo off\r\n"
                       L"set Name=korva\r\n"
                       L"echo [%name%] [%NAME%] [%undefined%] [100%%] [50%]\r\n"
                       L"echo [%1] [%~1] [%2] [%*] [%9]\r\n"
                       L"echo [%~dp0] [%~nx0] [%~n0] [%~x0] [%~f0]\r\n"
                       L"echo [%errorlevel%] [%cd%] [a%b]\r\n"
                       // Expanded before the line is split: the & inside the value separates.
                       L"set v=p^&echo q\r\n"
                       L"echo %v%\r\n"
                       L"echo %~q0\r\n"
                       L"echo never\r\n",
                       "'two words' x");
  EXPECT_EQ("[korva] [korva] [] [100%] [50]\r\n"
            "[\"two words\"] [two words] [x] [\"two words\" x] []\r\n"
            "[C:\\batch\\] [t.bat] [t] [.bat] [C:\\batch\\t.bat]\r\n"
            "[0] [C:\\batch] [ab]\r\n"
            "p\r\n"
            "q\r\n",
            run.out);
  // A modifier the command processor does not know ends the script.
  EXPECT_EQ(0u, run.err.find("The following usage of the path operator in batch-parameter substitution is invalid: "
                             "%~q0"))
      << run.err;
  EXPECT_EQ(1, run.code);
}

TEST(BatchSyntax, CaretsQuotesAndSeparators) {
  TempMachine m;
  auto run = RunScript(m,
                       L"@echo off\r\n"
                       L"echo one & echo two\r\n"
                       L"echo a^&b \"c&d\" \"e^f\" g^^h i^>j\r\n"
                       // A caret at the end joins the next line and escapes its first character.
                       L"echo x^\r\n"
                       L"&y\r\n"
                       L"rem hidden & echo hidden too\r\n"
                       L":: a comment & echo hidden\r\n"
                       L"echo \"open & quote\r\n"
                       L"echo ok&& echo and-ran\r\n"
                       L"nosuch 2>nul && echo and-skipped\r\n"
                       L"nosuch 2>nul || echo or-ran\r\n"
                       L"echo ok|| echo or-skipped\r\n"
                       // && binds tighter than ||.
                       L"nosuch 2>nul || echo b && echo c\r\n"
                       L"echo done || echo b && echo c\r\n");
  EXPECT_EQ("one \r\n"
            "two\r\n"
            "a&b \"c&d\" \"e^f\" g^h i>j\r\n"
            "x&y\r\n"
            "\"open & quote\r\n"
            "ok\r\n"
            "and-ran\r\n"
            "or-ran\r\n"
            "ok\r\n"
            "b \r\n"
            "c\r\n"
            "done \r\n",
            run.out);
  EXPECT_EQ("", run.err);
}

TEST(BatchSyntax, RedirectionsBelongToTheirCommand) {
  TempMachine m;
  MakeHostDirs(m.c() + "/out");
  auto run = RunScript(m,
                       L"@echo off\r\n"
                       L"echo first >C:\\out\\a.txt & echo second>C:\\out\\b.txt\r\n"
                       L"echo third>>C:\\out\\a.txt\r\n"
                       L"nosuch 2>C:\\out\\err.txt\r\n"
                       L"echo to-err 1>&2\r\n"
                       L"echo quiet >nul\r\n"
                       L"echo shown 2>nul\r\n"
                       L"(echo g1 & echo g2) >C:\\out\\g.txt\r\n"
                       L"echo \"a > b\" > \"C:\\out\\q q.txt\"\r\n");
  // The blanks before and after the redirection both stay.
  EXPECT_EQ("first  \r\nthird\r\n", ReadHostFile(m.c() + "/out/a.txt"));
  EXPECT_EQ("second\r\n", ReadHostFile(m.c() + "/out/b.txt"));
  EXPECT_EQ(std::string("'nosuch'") + kNotRecognized, ReadHostFile(m.c() + "/out/err.txt"));
  EXPECT_EQ("g1 \r\ng2\r\n", ReadHostFile(m.c() + "/out/g.txt"));
  EXPECT_EQ("\"a > b\" \r\n", ReadHostFile(m.c() + "/out/q q.txt"));
  EXPECT_EQ("shown \r\n", run.out);
  EXPECT_EQ("to-err \r\n", run.err);
}

// Quoted, "&", "^" and a doubled "%" are the folder's own; unquoted, "&"
// ends the command and "^" goes.
TEST(BatchSyntax, PathsWithAmpersandCaretAndPercent) {
  TempMachine m;
  WriteHostFile(m.c() + "/A & B ^ 100%/src.txt", "payload");
  MakeHostDirs(m.c() + "/Tools & Games/korva/update");
  auto run = RunScript(m,
                       L"@echo off\r\n"
                       L"cd \"C:\\A & B ^ 100%%\\\"\r\n"
                       L"echo \"%cd%\"\r\n"
                       L"copy /y \"C:\\A & B ^ 100%%\\src.txt\" \"dst ^&.txt\" >nul\r\n"
                       L"type \"dst ^&.txt\"\r\n"
                       L"echo.\r\n"
                       L"cd C:\\Tools & Games\\korva\\update\\\r\n"
                       L"echo [%errorlevel%] \"%cd%\"\r\n"
                       L"md C:\\c^d\r\n"
                       L"cd C:\\c^d\r\n"
                       L"echo [%cd%]\r\n");
  EXPECT_EQ("\"C:\\A & B ^ 100%\"\r\n"
            "payload\r\n"
            "[9009] \"C:\\A & B ^ 100%\"\r\n"
            "[C:\\cd]\r\n",
            run.out);
  EXPECT_EQ("The system cannot find the path specified.\r\n'Games\\korva\\update\\'" + std::string(kNotRecognized),
            run.err);
  EXPECT_EQ("payload", ReadHostFile(m.c() + "/A & B ^ 100%/dst ^&.txt"));
}

TEST(BatchSyntax, LabelsGotoSetAAndIf) {
  TempMachine m;
  auto run = RunScript(m,
                       L"@echo off\r\n"
                       L"set /a n=0\r\n"
                       L"set /a total=0\r\n"
                       L":LOOP\r\n"
                       L"set /a n+=1\r\n"
                       L"set /a total+=n*2\r\n"
                       L"if %n% lss 5 goto loop\r\n"
                       L"echo [%n%] [%total%]\r\n"
                       L"goto :Done\r\n"
                       L"echo skipped\r\n"
                       L":done\r\n"
                       L"set /a x=(2+3)*4-10/3, y=0x10+010, z=-x%%7\r\n"
                       L"set /a w=x\r\n"
                       L"set /a w-=20\r\n"
                       L"echo [%x%] [%y%] [%z%] [%w%]\r\n"
                       L"set /a q=1/0\r\n"
                       L"echo [%errorlevel%] [%q%]\r\n"
                       L"if 10 gtr 9 echo numeric\r\n"
                       L"if \"10\" gtr \"9\" echo text-skipped\r\n"
                       L"if /i Korva==KORVA echo same\r\n"
                       L"if korva==KORVA echo case-skipped\r\n"
                       L"if not errorlevel 2 echo below-2\r\n"
                       L"if errorlevel 1 echo at-least-1\r\n"
                       L"if 1==2 echo no1 & echo no2\r\n"
                       L"if 1==1 echo yes1 & echo yes2\r\n"
                       L"if exist C:\\batch\\t.bat (echo exists) else (echo missing)\r\n"
                       L"if exist \"C:\\no such\" (echo exists) else echo missing & echo too\r\n"
                       L"if defined N echo defined\r\n"
                       L"if not defined nothing echo undefined\r\n"
                       L"goto :eof\r\n"
                       L"echo after-eof\r\n");
  EXPECT_EQ("[5] [30]\r\n"
            "[17] [24] [-3] [-3]\r\n"
            "[1] []\r\n"
            "numeric\r\n"
            "same\r\n"
            "below-2\r\n"
            "at-least-1\r\n"
            "yes1 \r\n"
            "yes2\r\n"
            "exists\r\n"
            "missing \r\n"
            "too\r\n"
            "defined\r\n"
            "undefined\r\n",
            run.out);
  EXPECT_EQ("Divide by zero error.\r\n", run.err);

  // A missing label ends the script.
  run = RunScript(m, L"@echo off\r\necho before\r\ngoto nowhere\r\necho after\r\n:nowhere2\r\n");
  EXPECT_EQ("before\r\n", run.out);
  EXPECT_EQ("The system cannot find the batch label specified - nowhere\r\n", run.err);
  EXPECT_EQ(1, run.code);
}

TEST(BatchSyntax, CopyJoinsFilesAndAppendsInPlace) {
  TempMachine m;
  const std::string dir = m.c() + "/batch";
  WriteHostFile(dir + "/a.bin", std::string("AB\x1a" "CD"));
  WriteHostFile(dir + "/b.bin", "EF");
  WriteHostFile(dir + "/x.exe", std::string("program\0bytes", 13));
  auto run = RunScript(m,
                       L"@echo off\r\n"
                       L"copy /b a.bin+b.bin joined.bin >nul\r\n"
                       L"copy a.bin + b.bin text.txt >nul\r\n"
                       L"copy /y /b x.exe+nul x.exe >nul\r\n"
                       L"echo [%errorlevel%]\r\n"
                       L"copy /y /b missing.exe+nul missing.exe >nul\r\n"
                       L"echo [%errorlevel%]\r\n"
                       // A copy that succeeds clears the errorlevel, whole or joined.
                       L"copy /y b.bin c.bin >nul\r\n"
                       L"echo [%errorlevel%]\r\n"
                       L"copy missing.bin c.bin >nul 2>nul\r\n"
                       L"copy /y /b x.exe+nul x.exe >nul\r\n"
                       L"echo [%errorlevel%]\r\n"
                       L"copy x.exe x.exe\r\n"
                       L"copy nul empty.txt >nul\r\n");
  EXPECT_EQ(std::string("AB\x1a" "CDEF"), ReadHostFile(dir + "/joined.bin"));
  // Joining defaults to text: each source ends at Ctrl-Z, the result gets one.
  EXPECT_EQ("ABEF\x1a", ReadHostFile(dir + "/text.txt"));
  EXPECT_EQ(std::string("program\0bytes", 13), ReadHostFile(dir + "/x.exe"));
  EXPECT_TRUE(HostExists(dir + "/empty.txt"));
  EXPECT_EQ("", ReadHostFile(dir + "/empty.txt"));
  EXPECT_FALSE(HostExists(dir + "/missing.exe"));
  EXPECT_EQ("[0]\r\n"
            "[1]\r\n"
            "[0]\r\n"
            "[0]\r\n"
            "        0 file(s) copied.\r\n",
            run.out);
  EXPECT_EQ("The system cannot find the file specified.\r\nThe file cannot be copied onto itself.\r\n", run.err);

  run = RunScript(m, L"copy /b x.exe+b.bin x.exe >nul\r\n");
  EXPECT_EQ(std::string("program\0bytesEF", 15), ReadHostFile(dir + "/x.exe"));
}

// A file another process holds without sharing refuses the copy, the in-place
// append and the redirection (whose command then does not run), as on Windows.
TEST(BatchSyntax, FileHeldByAnotherProcessRefusesCopiesAndRedirections) {
  TempMachine m;
  WriteHostFile(m.c() + "/held.txt", "kept");
  WriteHostFile(m.c() + "/src.txt", "new");
  HANDLE held = CreateFileW(L"C:\\held.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  auto run = RunScript(m,
                       L"@echo off\r\n"
                       L"echo x >C:\\held.txt || echo redirect-failed\r\n"
                       L"copy /y C:\\src.txt C:\\held.txt || echo copy-failed\r\n"
                       L"copy /y /b C:\\held.txt+nul C:\\held.txt >nul\r\n"
                       L"echo [%errorlevel%]\r\n"
                       L"del C:\\held.txt || echo del-failed\r\n");
  CloseHandle(held);
  EXPECT_EQ("redirect-failed\r\n"
            "        0 file(s) copied.\r\n"
            "copy-failed\r\n"
            "[1]\r\n"
            "del-failed\r\n",
            run.out);
  EXPECT_EQ(std::string(kInUse) + kInUse + kInUse + "C:\\held.txt\r\n" + kInUse, run.err);
  EXPECT_EQ("kept", ReadHostFile(m.c() + "/held.txt"));
}
