// System helpers: shell folders, the file-in-use test, shortcuts, free
// space, the compatibility mark, the network facts, the program's folders
// and ending processes by name.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <string>

#include "conformance/report.h"
#include "shared/file_system.h"
#include "shared/product_constants.h"
#include "shared/program_dirs.h"
#include "shared/registry_key.h"
#include "shared/system_helpers.h"
#include "shared/text_convert.h"

namespace conformance {
namespace {

const WCHAR kPersistedKey[] =
    L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Compatibility Assistant\\Persisted";

void ReportShellFolders() {
  const int csidls[] = {CSIDL_PROGRAM_FILES_COMMON, CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_COMMON_PROGRAMS,
                        CSIDL_APPDATA};
  for (int csidl : csidls) {
    std::wstring path = GetShellFolder(csidl);
    Fact("shell folder " + Num(csidl), "name \"" + Esc(GetFileName(path)) + "\", drive letter " +
                                           YesNo(path.size() > 3 && path[1] == L':' && path[2] == L'\\') +
                                           ", trailing backslash " + YesNo(!path.empty() && path.back() == L'\\') +
                                           ", exists " + YesNo(DirectoryExists(path)));
  }
  Fact("shell folder of an unknown CSIDL", "\"" + Esc(GetShellFolder(0x7E)) + "\"");
}

void ReportLocked() {
  MakeDir(At(L"locks"));
  PutFile(At(L"locks\\ro.txt"), "r");
  SetFileAttributesW(At(L"locks\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  PutFile(At(L"locks\\held.txt"), "h");
  Fact("locked: missing", YesNo(IsFileLocked(At(L"locks\\none.txt"))));
  const bool readOnlyLocked = IsFileLocked(At(L"locks\\ro.txt"));
  Fact("locked: read-only", YesNo(readOnlyLocked) + ", then " + SetAttributes(At(L"locks\\ro.txt")));
  HANDLE held = CreateFileW(At(L"locks\\held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  Fact("locked: held open with sharing", YesNo(IsFileLocked(At(L"LOCKS\\HELD.TXT"))));
  CloseHandle(held);
  Fact("locked: after closing", YesNo(IsFileLocked(At(L"locks\\held.txt"))));
  Fact("locked: a directory", YesNo(IsFileLocked(At(L"locks"))));
}

void ReportShortcuts() {
  MakeDir(At(L"app"));
  PutFile(At(L"app\\launch.exe"), "MZ");
  PutFile(At(L"app\\icon.ico"), "ico");
  bool made = CreateShortcut(At(L"app\\launch.exe"), At(L"links\\sub\\Korva.lnk"), At(L"app\\icon.ico"),
                             L"--from-shortcut \"two words\"", At(L"app"), kProductName);
  Fact("shortcut into a missing folder", YesNo(made) + ", " + Listing(At(L"links")));
  Fact("shortcut with a Chinese name",
       YesNo(CreateShortcut(At(L"app\\launch.exe"), At(L"links\\") + kInstallResultTexts[0] + L".lnk",
                            At(L"app\\icon.ico"), L"", At(L"app"), kInstallResultTexts[0])));
  PutFile(At(L"blocker"), "b");
  made = CreateShortcut(At(L"app\\launch.exe"), At(L"blocker\\x\\Korva.lnk"), L"", L"", L"", L"");
  Fact("shortcut below a file", YesNo(made) + ", " + Attributes(At(L"blocker")));
}

void ReportMachineFacts() {
  Fact("free space of an empty path", Num(GetFreeDiskSpace(L"")));
  Fact("free space of the working drive", YesNo(GetFreeDiskSpace(Base()) > 0));
  Fact("free space of C:", YesNo(GetFreeDiskSpace(L"C:\\Windows") > 0));
  Fact("free space of a missing drive", Num(GetFreeDiskSpace(L"Q:\\any\\thing")));
  Fact("free space of a UNC path", Num(GetFreeDiskSpace(L"\\\\server\\share\\x")));

  std::wstring mac = L"unset";
  bool found = GetMacAddress(mac);
  bool shaped = mac.size() == 17;
  for (size_t i = 0; shaped && i < mac.size(); ++i) {
    WCHAR c = mac[i];
    shaped = (i % 3 == 2) ? c == L'-' : ((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'));
  }
  // Whether the machine has an Ethernet adapter is its own matter.
  Fact("MAC address", found ? (shaped ? "shaped XX-XX-XX-XX-XX-XX" : "misshaped " + Esc(mac))
                            : (mac == L"unset" ? "shaped XX-XX-XX-XX-XX-XX" : "changed on failure"));
  Fact("network connected", YesNo(IsNetworkConnected()));
}

void ReportCompatibilityMark(const std::wstring& self) {
  RegistryKey cleanup(HKEY_CURRENT_USER, KEY_ALL_ACCESS, true);
  cleanup.DeleteTree(kPersistedKey);
  Fact("compatibility mark without its key", YesNo(SetCompatibilityAssistantFlag()));
  HKEY key = nullptr;
  Fact("  key created", YesNo(RegOpenKeyExW(HKEY_CURRENT_USER, kPersistedKey, 0, KEY_READ, &key) == ERROR_SUCCESS));
  if (key) RegCloseKey(key);

  RegistryKey persisted(HKEY_CURRENT_USER, KEY_ALL_ACCESS, true);
  persisted.Open(kPersistedKey, true);
  Fact("compatibility mark with its key", YesNo(SetCompatibilityAssistantFlag()));
  RegistryValueKind kind;
  DWORD size = 0;
  bool there = persisted.QueryValueInfo(self, &kind, &size);
  DWORD value = 0;
  DWORD bytes = sizeof(value);
  RegQueryValueExW(persisted.Current(), self.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &bytes);
  Fact("  value named by the program's path",
       YesNo(there) + ", kind " + Num(kind) + ", " + Num(size) + " bytes, " + Num(value));
  persisted.Close();
  cleanup.DeleteTree(kPersistedKey);
}

void ReportProgramDirs(const std::wstring& self) {
  std::wstring temp = GetTempDir();
  WCHAR system[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, system);
  Fact("temp dir", std::string("trailing backslash ") + YesNo(!temp.empty() && temp.back() == L'\\') +
                       ", exists " + YesNo(DirectoryExists(temp)) + ", the system's " +
                       YesNo(temp == AddBackslash(system)) + ", cached " + YesNo(GetTempDir() == temp));
  std::wstring module = GetModuleDir();
  Fact("module dir", std::string("parent of the program ") + YesNo(module == GetParentDirectory(self)) +
                         ", the run folder's parent " + YesNo(SameNoCase(module, GetParentDirectory(Base()))));
}

}  // namespace

void ReportSystemHelpers() {
  Section("system helpers");
  WCHAR self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  ReportShellFolders();
  ReportLocked();
  ReportShortcuts();
  ReportMachineFacts();
  ReportCompatibilityMark(self);
  ReportProgramDirs(self);
}

void ReportProcesses(const std::wstring& self) {
  Section("processes");
  Fact("kill with no match", Num(KillProcessByName(L"no-such-program.exe")));

  // A copy of this program under the main program's name waits to be ended.
  MakeDir(At(L"proc"));
  const std::wstring child = At(L"proc\\") + kMainProgramExe;
  CopyFileW(self.c_str(), child.c_str(), FALSE);
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpVerb = L"open";
  info.lpFile = child.c_str();
  info.lpParameters = L"--wait";
  info.nShow = SW_HIDE;
  const std::wstring directory = At(L"proc");
  info.lpDirectory = directory.c_str();
  bool started = ShellExecuteExW(&info) && info.hProcess;
  for (int i = 0; started && i < 200 && !FileExists(At(L"proc\\ready")); ++i) Sleep(50);
  Fact("child started", YesNo(started) + ", ready " + YesNo(FileExists(At(L"proc\\ready"))));
  Fact("running program is locked", YesNo(IsFileLocked(child)));

  std::wstring upper = kMainProgramExe;
  for (WCHAR& c : upper) c = (c >= L'a' && c <= L'z') ? static_cast<WCHAR>(c - L'a' + L'A') : c;
  Fact("kill by upper-case name", YesNo(KillProcessByName(upper) != 0));
  DWORD code = 12345;
  if (info.hProcess) {
    Fact("child ended", YesNo(WaitForSingleObject(info.hProcess, 0) == WAIT_OBJECT_0));
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hProcess);
  }
  Fact("child exit code", Num(code));
  Fact("kill again", Num(KillProcessByName(kMainProgramExe)));
  Fact("program no longer locked", YesNo(IsFileLocked(child)));
}

// The child's part of ReportProcesses: say it runs, then wait to be ended.
int WaitToBeEnded() {
  PutFile(L"ready", "");
  Sleep(30000);
  return 3;
}

}  // namespace conformance
