#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "internal/process_cmdline.h"
#include "internal/process_images.h"
#include "support/stub_program.h"
#include "support/temp_machine.h"

using testing_support::InstallStub;
using testing_support::StubRuns;
using testing_support::TempMachine;
using testing_support::WaitForStubRuns;
using testing_support::WaitUntil;

namespace {

bool Listed(DWORD pid, std::wstring* exeName = nullptr) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  bool found = false;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == pid) {
      found = true;
      if (exeName) *exeName = entry.szExeFile;
    }
  }
  CloseHandle(snapshot);
  return found;
}

bool ProcEntryGone(DWORD pid) { return !testing_support::HostExists("/proc/" + std::to_string(pid)); }

INT_PTR Code(HINSTANCE result) { return reinterpret_cast<INT_PTR>(result); }

}  // namespace

TEST(ShellExecute, StartsProgramInItsDirectoryWithWindowsArguments) {
  TempMachine m;
  InstallStub(m.c() + "/Program Files/Korva/korva.exe");
  testing_support::MakeHostDirs(m.c() + "/Work Dir");
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"runas";
  info.lpFile = L"c:\\PROGRAM FILES\\korva\\KORVA.EXE";
  info.lpParameters = L"-a \"two words\"  3\\\"x \"c:\\dir\\\\\" \"\"";
  info.lpDirectory = L"C:\\work dir";
  info.nShow = SW_HIDE;
  ASSERT_TRUE(ShellExecuteExW(&info));
  EXPECT_GT(Code(info.hInstApp), 32);
  ASSERT_NE(nullptr, info.hProcess);
  ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(info.hProcess, 10000));
  DWORD exitCode = 99;
  ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &exitCode));
  EXPECT_EQ(0u, exitCode);
  const DWORD pid = GetProcessId(info.hProcess);
  CloseHandle(info.hProcess);

  auto runs = StubRuns(m);
  ASSERT_EQ(1u, runs.size());
  EXPECT_EQ(static_cast<int>(pid), runs[0]["pid"].asInt());
  EXPECT_EQ("C:\\Program Files\\Korva\\korva.exe", runs[0]["windows_path"].asString());
  EXPECT_EQ("C:\\Work Dir", runs[0]["windows_cwd"].asString());
  EXPECT_EQ(m.c() + "/Program Files/Korva/korva.exe", runs[0]["path"].asString());
  Json::Value args = runs[0]["args"];
  ASSERT_EQ(5u, args.size());
  EXPECT_EQ("-a", args[0].asString());
  EXPECT_EQ("two words", args[1].asString());
  EXPECT_EQ("3\"x", args[2].asString());
  EXPECT_EQ("c:\\dir\\", args[3].asString());
  EXPECT_EQ("", args[4].asString());
  // The program was reaped: no zombie stays behind.
  EXPECT_TRUE(WaitUntil([&] { return ProcEntryGone(pid); }, 3000));
}

TEST(ShellExecute, ProgramWithoutDirectoryFindsRelativeNameThere) {
  TempMachine m;
  InstallStub(m.c() + "/Prog/launch.exe");
  EXPECT_GT(Code(ShellExecuteW(nullptr, nullptr, L"launch", nullptr, L"C:\\Prog", SW_SHOW)), 32);
  auto runs = WaitForStubRuns(m, 1);
  ASSERT_EQ(1u, runs.size());
  EXPECT_EQ("launch.exe", runs[0]["name"].asString());
  EXPECT_EQ(0u, runs[0]["args"].size());
}

TEST(ShellExecute, FailuresGiveTheShellCodes) {
  TempMachine m;
  testing_support::WriteHostFile(m.c() + "/docs/readme.txt", "text");
  testing_support::WriteHostFile(m.c() + "/docs/fake.exe", "not a program");
  EXPECT_EQ(SE_ERR_FNF, Code(ShellExecuteW(nullptr, L"open", L"C:\\docs\\missing.exe", nullptr, nullptr, SW_SHOW)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ(SE_ERR_PNF, Code(ShellExecuteW(nullptr, L"open", L"C:\\nodir\\x.exe", nullptr, nullptr, SW_SHOW)));
  EXPECT_EQ(SE_ERR_NOASSOC, Code(ShellExecuteW(nullptr, L"open", L"C:\\docs\\readme.txt", nullptr, nullptr, SW_SHOW)));
  EXPECT_EQ(SE_ERR_NOASSOC, Code(ShellExecuteW(nullptr, L"print", L"C:\\docs\\fake.exe", nullptr, nullptr, SW_SHOW)));
  EXPECT_LE(Code(ShellExecuteW(nullptr, L"open", L"C:\\docs\\fake.exe", nullptr, nullptr, SW_SHOW)), 32);
  EXPECT_LE(Code(ShellExecuteW(nullptr, L"open", L"C:\\docs\\fake.exe", nullptr, L"C:\\nodir", SW_SHOW)), 32);

  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpFile = L"C:\\docs\\missing.exe";
  EXPECT_FALSE(ShellExecuteExW(&info));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ(SE_ERR_FNF, Code(info.hInstApp));
  EXPECT_EQ(nullptr, info.hProcess);
  info.cbSize = 8;
  EXPECT_FALSE(ShellExecuteExW(&info));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(ShellExecute, UrlsGoToTheMachinesOpenerOrAreRecorded) {
  TempMachine m;
  EXPECT_GT(Code(ShellExecuteW(nullptr, L"open", L"https://www.example.com/官网?a=1", nullptr, nullptr,
                               SW_SHOWMAXIMIZED)),
            32);
  EXPECT_GT(Code(ShellExecuteW(nullptr, nullptr, L"HTTP://example.com/", nullptr, nullptr, SW_SHOW)), 32);
  EXPECT_EQ("https://www.example.com/官网?a=1\nHTTP://example.com/\n",
            testing_support::ReadHostFile(m.dir() + "/opened-urls.txt"));

  const std::string opener = m.dir() + "/browser";
  InstallStub(opener);
  chmod(opener.c_str(), 0755);
  m.WriteConfig("{\"url_opener\": \"" + opener + "\"}");
  EXPECT_GT(Code(ShellExecuteW(nullptr, L"open", L"https://korva.example/", nullptr, nullptr, SW_SHOW)), 32);
  auto runs = WaitForStubRuns(m, 1);
  ASSERT_EQ(1u, runs.size());
  ASSERT_EQ(1u, runs[0]["args"].size());
  EXPECT_EQ("https://korva.example/", runs[0]["args"][0].asString());
}

TEST(Processes, RunningProgramIsListedByFileNameAndEndsWhenTerminated) {
  TempMachine m;
  const std::string exe = m.c() + "/Program Files/Korva/korva.exe";
  InstallStub(exe);
  testing_support::WriteHostFile(exe + ".stay", "");
  ASSERT_GT(Code(ShellExecuteW(nullptr, L"open", L"C:\\Program Files\\Korva\\korva.exe", nullptr, nullptr, SW_SHOW)),
            32);
  auto runs = WaitForStubRuns(m, 1);
  ASSERT_EQ(1u, runs.size());
  const DWORD pid = static_cast<DWORD>(runs[0]["pid"].asInt());

  std::wstring name;
  ASSERT_TRUE(Listed(pid, &name));
  EXPECT_EQ(L"korva.exe", name);
  EXPECT_TRUE(win32::IsRunningImage(exe));

  HANDLE waitOnly = OpenProcess(SYNCHRONIZE, FALSE, pid);
  ASSERT_NE(nullptr, waitOnly);
  EXPECT_FALSE(TerminateProcess(waitOnly, 1));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(waitOnly, 50));

  HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
  ASSERT_NE(nullptr, process);
  DWORD exitCode = 0;
  ASSERT_TRUE(GetExitCodeProcess(process, &exitCode));
  EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), exitCode);
  ASSERT_TRUE(TerminateProcess(process, 7));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(process, 5000));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(waitOnly, 5000));
  ASSERT_TRUE(GetExitCodeProcess(process, &exitCode));
  EXPECT_EQ(7u, exitCode);
  EXPECT_FALSE(TerminateProcess(process, 7));  // already ended
  CloseHandle(process);
  CloseHandle(waitOnly);

  EXPECT_FALSE(Listed(pid));
  EXPECT_FALSE(win32::IsRunningImage(exe));
  EXPECT_FALSE(win32::IsRunningImage(m.c() + "/missing.exe"));
}

TEST(Processes, EveryHandleSeesATerminationThroughAnother) {
  TempMachine m;
  const std::string exe = m.c() + "/korva.exe";
  InstallStub(exe);
  testing_support::WriteHostFile(exe + ".stay", "");
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpFile = L"C:\\korva.exe";
  info.nShow = SW_HIDE;
  ASSERT_TRUE(ShellExecuteExW(&info));
  auto runs = WaitForStubRuns(m, 1);
  ASSERT_EQ(1u, runs.size());

  // Ended by id, as a program ends another; the starter's handle is the
  // same process: ended at once, with the code given.
  HANDLE opened = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, GetProcessId(info.hProcess));
  ASSERT_NE(nullptr, opened);
  ASSERT_TRUE(TerminateProcess(opened, 7));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(opened, 5000));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(info.hProcess, 0));
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(7u, code);
  CloseHandle(opened);
  CloseHandle(info.hProcess);
}

TEST(Processes, SnapshotAndHandleMisuse) {
  std::wstring self;
  ASSERT_TRUE(Listed(GetCurrentProcessId(), &self));
  EXPECT_EQ(L"process_test", self);

  EXPECT_EQ(nullptr, OpenProcess(PROCESS_TERMINATE, FALSE, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = 8;  // callers must set the size
  EXPECT_FALSE(Process32FirstW(snapshot, &entry));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_LENGTH), GetLastError());
  EXPECT_EQ(static_cast<DWORD>(WAIT_FAILED), WaitForSingleObject(snapshot, 0));
  CloseHandle(snapshot);
  EXPECT_FALSE(TerminateProcess(snapshot, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST(CommandLine, SplitsParametersByTheWindowsRules) {
  using Args = std::vector<std::wstring>;
  EXPECT_EQ(Args{}, win32::SplitCommandLine(L""));
  EXPECT_EQ(Args{}, win32::SplitCommandLine(L"  \t "));
  EXPECT_EQ((Args{L"a", L"b", L"c"}), win32::SplitCommandLine(L"a  b\tc"));
  EXPECT_EQ((Args{L"a b", L"c"}), win32::SplitCommandLine(L"\"a b\" c"));
  EXPECT_EQ((Args{L"abc de"}), win32::SplitCommandLine(L"ab\"c d\"e"));
  EXPECT_EQ((Args{L"a\\\\b"}), win32::SplitCommandLine(L"a\\\\b"));        // backslashes alone stay
  EXPECT_EQ((Args{L"a\\\"b"}), win32::SplitCommandLine(L"a\\\\\\\"b"));    // 3 + quote: one and a quote
  EXPECT_EQ((Args{L"a\\", L"b"}), win32::SplitCommandLine(L"\"a\\\\\" b"));  // 2 + quote: one, and it closes
  EXPECT_EQ((Args{L""}), win32::SplitCommandLine(L"\"\""));
  EXPECT_EQ((Args{L"a\"b"}), win32::SplitCommandLine(L"\"a\"\"b\""));
  EXPECT_EQ((Args{L"C:\\Program Files\\x"}), win32::SplitCommandLine(L"\"C:\\Program Files\\x"));
}
