#include <gtest/gtest.h>

#include <boost/algorithm/string/case_conv.hpp>

#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "internal/process_com.h"
#include "shared/product_constants.h"
#include "shared/system_helpers.h"
#include "support/stub_program.h"
#include "support/temp_machine.h"

using testing_support::HostExists;
using testing_support::InstallStub;
using testing_support::TempMachine;
using testing_support::WaitForStubRuns;
using testing_support::WriteHostFile;

namespace {

const WCHAR kPersistedKey[] =
    L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Compatibility Assistant\\Persisted";

bool Running(DWORD pid) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  bool found = false;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
    found = found || entry.th32ProcessID == pid;
  CloseHandle(snapshot);
  return found;
}

// Starts the stub under the given Windows path, running until killed.
DWORD StartStaying(const TempMachine& m, const std::string& hostPath, const std::wstring& windowsPath,
                   size_t runsBefore) {
  InstallStub(hostPath);
  WriteHostFile(hostPath + ".stay", "");
  if (reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", windowsPath.c_str(), nullptr, nullptr, SW_HIDE)) <= 32)
    return 0;
  auto runs = WaitForStubRuns(m, runsBefore + 1);
  return runs.size() > runsBefore ? static_cast<DWORD>(runs.back()["pid"].asInt()) : 0;
}

std::string LnkInfo(const std::string& hostPath) {
  std::string out;
  FILE* pipe = popen(("lnkinfo '" + hostPath + "' 2>&1").c_str(), "r");
  char buf[4096];
  size_t n;
  while (pipe && (n = fread(buf, 1, sizeof(buf), pipe)) > 0) out.append(buf, n);
  if (pipe) pclose(pipe);
  return out;
}

}  // namespace

TEST(KillProcessByName, EndsEveryMatchingProgramAndNoOther) {
  TempMachine otherMachine;
  const DWORD elsewhere = StartStaying(otherMachine, otherMachine.c() + "/korva.exe", L"C:\\korva.exe", 0);
  ASSERT_NE(0u, elsewhere);
  TempMachine m;
  const DWORD first = StartStaying(m, m.c() + "/Korva/korva.exe", L"C:\\Korva\\korva.exe", 0);
  const DWORD second = StartStaying(m, m.c() + "/Other/KORVA.exe", L"C:\\Other\\KORVA.exe", 1);
  const DWORD launcher = StartStaying(m, m.c() + "/Korva/launch.exe", L"C:\\Korva\\launch.exe", 2);
  ASSERT_NE(0u, first);
  ASSERT_NE(0u, second);
  ASSERT_NE(0u, launcher);
  EXPECT_TRUE(IsFileLocked(L"C:\\Korva\\korva.exe"));

  EXPECT_NE(0, KillProcessByName(boost::algorithm::to_upper_copy(std::wstring(kMainProgramExe))));
  // The wait is part of the call: they are gone when it returns.
  EXPECT_FALSE(Running(first));
  EXPECT_FALSE(Running(second));
  EXPECT_TRUE(Running(launcher));
  EXPECT_FALSE(IsFileLocked(L"C:\\Korva\\korva.exe"));

  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(0, KillProcessByName(kMainProgramExe));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
  EXPECT_NE(0, KillProcessByName(L"launch.exe"));
  EXPECT_FALSE(Running(launcher));

  // Programs of another machine are not this machine's to end.
  HANDLE other = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, elsewhere);
  ASSERT_NE(nullptr, other);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(other, 0));
  TerminateProcess(other, 0);
  WaitForSingleObject(other, 5000);
  CloseHandle(other);
}

TEST(IsFileLocked, MissingReadOnlyAndHeldFiles) {
  TempMachine m;
  EXPECT_FALSE(IsFileLocked(L"C:\\nothing\\here.exe"));

  WriteHostFile(m.c() + "/data/ro.txt", "x");
  ASSERT_TRUE(SetFileAttributesW(L"C:\\data\\ro.txt", FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(IsFileLocked(L"C:\\data\\ro.txt"));
  EXPECT_EQ(0u, GetFileAttributesW(L"C:\\data\\ro.txt") & FILE_ATTRIBUTE_READONLY);

  WriteHostFile(m.c() + "/data/held.txt", "x");
  HANDLE held = CreateFileW(L"C:\\data\\held.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  EXPECT_TRUE(IsFileLocked(L"C:\\data\\held.txt"));
  CloseHandle(held);
  EXPECT_FALSE(IsFileLocked(L"C:\\data\\held.txt"));
}

TEST(CreateShortcut, CreatesMissingFolderAndWritesTheLink) {
  TempMachine m;
  WriteHostFile(m.c() + "/Program Files (x86)/Korva/korva.exe", "exe");
  const unsigned long before = win32::ComInitializeCallsOnThread();
  ASSERT_TRUE(CreateShortcut(L"C:\\Program Files (x86)\\Korva\\korva.exe",
                             L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Korva\\Korva.lnk",
                             L"C:\\Program Files (x86)\\Korva\\korva.ico", L"-silent",
                             L"C:\\Program Files (x86)\\Korva", L""));
  EXPECT_EQ(before + 1, win32::ComInitializeCallsOnThread());
  const std::string report =
      LnkInfo(m.c() + "/ProgramData/Microsoft/Windows/Start Menu/Programs/Korva/Korva.lnk");
  EXPECT_NE(std::string::npos, report.find(": C:\\Program Files (x86)\\Korva\\korva.exe\n")) << report;
  EXPECT_NE(std::string::npos, report.find("Working directory\t\t: C:\\Program Files (x86)\\Korva\n")) << report;
  EXPECT_NE(std::string::npos, report.find("Icon location\t\t\t: C:\\Program Files (x86)\\Korva\\korva.ico\n"))
      << report;
  EXPECT_NE(std::string::npos, report.find("Command line arguments\t\t: -silent\n")) << report;
  EXPECT_EQ(std::string::npos, report.find("Description")) << report;
}

TEST(CreateShortcut, UncreatableLocationFailsWithoutCom) {
  TempMachine m;
  WriteHostFile(m.c() + "/file", "a file where a folder should be");
  const unsigned long before = win32::ComInitializeCallsOnThread();
  EXPECT_FALSE(CreateShortcut(L"C:\\a.exe", L"C:\\file\\sub\\a.lnk", L"", L"", L"", L""));
  EXPECT_FALSE(CreateShortcut(L"C:\\a.exe", L"Q:\\links\\a.lnk", L"", L"", L"", L""));
  EXPECT_EQ(before, win32::ComInitializeCallsOnThread());
}

TEST(CreateShortcut, LeavesTheCallersComAsItWas) {
  TempMachine m;
  ASSERT_EQ(S_OK, CoInitialize(nullptr));
  EXPECT_TRUE(CreateShortcut(L"C:\\a.exe", L"C:\\Links\\a.lnk", L"", L"", L"", L"desc"));
  EXPECT_TRUE(HostExists(m.c() + "/Links/a.lnk"));
  CoUninitialize();
  // Balanced: the thread has no COM any more.
  void* link = nullptr;
  EXPECT_EQ(CO_E_NOTINITIALIZED, CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, &link));
  // A thread in another COM model cannot make links.
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  EXPECT_FALSE(CreateShortcut(L"C:\\a.exe", L"C:\\Links\\b.lnk", L"", L"", L"", L""));
  EXPECT_FALSE(HostExists(m.c() + "/Links/b.lnk"));
  CoUninitialize();
}

TEST(SetCompatibilityAssistantFlag, WritesOnlyIntoAnExistingKey) {
  TempMachine m;
  EXPECT_FALSE(SetCompatibilityAssistantFlag());
  HKEY key = nullptr;
  EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, kPersistedKey, 0, KEY_READ, &key));

  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kPersistedKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                           &key, nullptr));
  RegCloseKey(key);
  EXPECT_TRUE(SetCompatibilityAssistantFlag());
  WCHAR program[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, program, MAX_PATH), 0u);
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, kPersistedKey, 0, KEY_READ, &key));
  DWORD value = 0, size = sizeof(value), type = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, program, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size));
  RegCloseKey(key);
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
  EXPECT_EQ(1u, value);
}

TEST(GetMacAddress, FirstEthernetAdapterWithASixByteAddress) {
  TempMachine m;
  m.WriteConfig(R"({"adapters": [
      {"name": "lo", "type": 24, "mac": "00-00-00-00-00-00"},
      {"name": "wifi", "type": 71, "mac": "02-00-00-00-00-01"},
      {"name": "short", "type": 6, "mac": "00-11-22-33"}]})");
  std::wstring mac = L"unchanged";
  EXPECT_FALSE(GetMacAddress(mac));
  EXPECT_EQ(L"unchanged", mac);

  m.WriteConfig(R"({"adapters": [
      {"name": "wifi", "type": 71, "mac": "02-00-00-00-00-01"},
      {"name": "eth0", "type": 6, "mac": "0a-1b-2c-3d-4e-5f"},
      {"name": "eth1", "type": 6, "mac": "00-11-22-33-44-55"}]})");
  ASSERT_TRUE(GetMacAddress(mac));
  EXPECT_EQ(L"0A-1B-2C-3D-4E-5F", mac);

  m.WriteConfig(R"({"adapters": []})");
  EXPECT_FALSE(GetMacAddress(mac));
}

TEST(SystemHelpers, FoldersDiskSpaceNetworkAndHandleGuard) {
  TempMachine m;
  EXPECT_EQ(L"", GetShellFolder(0x7F));
  EXPECT_EQ(L"C:\\Program Files (x86)\\Common Files", GetShellFolder(CSIDL_PROGRAM_FILES_COMMON));

  m.WriteConfig(R"({"drives": {"C": {"free_bytes": 123456789012}, "D": {"free_bytes": 42}}})");
  testing_support::MakeHostDirs(m.dir() + "/d");
  EXPECT_EQ(0u, GetFreeDiskSpace(L""));
  EXPECT_EQ(123456789012ull, GetFreeDiskSpace(L"C:\\any\\thing"));
  EXPECT_EQ(42u, GetFreeDiskSpace(L"d:\\missing\\dir"));
  EXPECT_EQ(0u, GetFreeDiskSpace(L"\\\\server\\share\\dir"));
  EXPECT_EQ(0u, GetFreeDiskSpace(L"Q:\\"));

  EXPECT_TRUE(IsNetworkConnected());
  m.WriteConfig(R"({"network": "offline"})");
  EXPECT_FALSE(IsNetworkConnected());

  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
  { HandleGuard guard(&mutex); }
  EXPECT_FALSE(CloseHandle(mutex));  // the guard closed it
  HANDLE none = nullptr;
  { HandleGuard guard(&none); }
}
