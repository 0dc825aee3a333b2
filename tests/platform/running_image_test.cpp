// The file of a running program, kept as Windows keeps it: it can be read
// and renamed, but not written, replaced or deleted while any process of the
// machine runs it, whoever started that process.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <objidl.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <shobjidl.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "internal/process_images.h"
#include "support/stub_program.h"
#include "support/temp_machine.h"

namespace fs = std::filesystem;
using testing_support::HostExists;
using testing_support::ReadHostFile;
using testing_support::TempMachine;
using testing_support::WaitUntil;
using testing_support::WriteHostFile;

namespace {

constexpr wchar_t kExe[] = L"C:\\Program Files\\Korva\\korva.exe";
constexpr wchar_t kNewBuild[] = L"C:\\new\\korva.exe";

// A program that keeps running: a copy of the host's sleep, written without
// execute bits as an installer would have written it.
class RunningImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    exe = m.c() + "/Program Files/Korva/korva.exe";
    fs::create_directories(fs::path(exe).parent_path());
    fs::copy_file("/bin/sleep", exe);
    fs::permissions(exe, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                             fs::perms::others_read);
    original = ReadHostFile(exe);
    WriteHostFile(m.c() + "/new/korva.exe", "new build");
  }

  void TearDown() override { Stop(); }

  void Start(const wchar_t* file = kExe) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpFile = file;
    info.lpParameters = L"60";
    info.nShow = SW_HIDE;
    ASSERT_TRUE(ShellExecuteExW(&info)) << GetLastError();
    process = info.hProcess;
    ASSERT_TRUE(WaitUntil([&] { return win32::IsRunningImage(exe); }, 5000));
  }

  void Stop() {
    if (!process) return;
    TerminateProcess(process, 1);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(process, 5000));
    CloseHandle(process);
    process = nullptr;
  }

  TempMachine m;
  std::string exe;
  std::string original;
  HANDLE process = nullptr;
};

// CreateFileW's error for one open of the program's file; 0 when it opened.
DWORD OpenError(const wchar_t* path, DWORD access, DWORD disposition, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
  HANDLE h = CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         disposition, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(h);
  return 0;
}

DWORD ErrorOf(BOOL ok) { return ok ? 0 : GetLastError(); }

HRESULT SaveShortcut(const wchar_t* path) {
  IShellLinkW* link = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link));
  if (FAILED(hr)) return hr;
  link->SetPath(L"C:\\Windows\\notepad.exe");
  IPersistFile* file = nullptr;
  hr = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
  if (SUCCEEDED(hr)) {
    hr = file->Save(path, TRUE);
    file->Release();
  }
  link->Release();
  return hr;
}

constexpr DWORD kWriteAccesses[] = {GENERIC_WRITE, FILE_WRITE_DATA, FILE_APPEND_DATA, GENERIC_ALL,
                                    GENERIC_READ | GENERIC_WRITE};

}  // namespace

TEST_F(RunningImageTest, NoWriteReachesItUntilTheProgramEnds) {
  Start();
  ASSERT_EQ(S_OK, CoInitialize(nullptr));

  // Reading, and opening for attributes only, stay allowed.
  EXPECT_EQ(0u, OpenError(kExe, GENERIC_READ, OPEN_EXISTING));
  EXPECT_EQ(0u, OpenError(kExe, FILE_READ_DATA | FILE_WRITE_ATTRIBUTES, OPEN_ALWAYS));
  for (DWORD access : kWriteAccesses) {
    SCOPED_TRACE(access);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), OpenError(kExe, access, OPEN_EXISTING));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), OpenError(kExe, access, OPEN_ALWAYS));
  }
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), OpenError(kExe, GENERIC_READ, CREATE_ALWAYS));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), OpenError(kExe, GENERIC_WRITE, TRUNCATE_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED),
            OpenError(kExe, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), OpenError(kExe, GENERIC_WRITE, CREATE_NEW));
  HANDLE ansi = CreateFileA("C:\\Program Files\\Korva\\korva.exe", GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(INVALID_HANDLE_VALUE, ansi);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());

  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), ErrorOf(CopyFileW(kNewBuild, kExe, FALSE)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), ErrorOf(CopyFileW(kNewBuild, kExe, TRUE)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ErrorOf(DeleteFileW(kExe)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED),
            ErrorOf(MoveFileExW(kNewBuild, kExe, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), ErrorOf(MoveFileW(kNewBuild, kExe)));
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION), SaveShortcut(kExe));
  IStream* stream = nullptr;
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION),
            SHCreateStreamOnFileEx(kExe, STGM_WRITE | STGM_CREATE, FILE_ATTRIBUTE_NORMAL, TRUE, nullptr, &stream));

  // Through a second name of the same file too.
  fs::create_hard_link(exe, m.c() + "/second.exe");
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), OpenError(L"C:\\second.exe", GENERIC_WRITE, OPEN_EXISTING));
  fs::remove(m.c() + "/second.exe");

  EXPECT_TRUE(original == ReadHostFile(exe)) << "the program's file changed";
  EXPECT_EQ("new build", ReadHostFile(m.c() + "/new/korva.exe"));

  Stop();
  EXPECT_FALSE(win32::IsRunningImage(exe));
  EXPECT_EQ(0u, OpenError(kExe, GENERIC_WRITE, OPEN_EXISTING));
  EXPECT_EQ(S_OK, SaveShortcut(kExe));
  EXPECT_EQ(0u, ErrorOf(CopyFileW(kNewBuild, kExe, FALSE)));
  EXPECT_EQ("new build", ReadHostFile(exe));
  EXPECT_EQ(0u, ErrorOf(DeleteFileW(kExe)));
  EXPECT_EQ(0u, ErrorOf(MoveFileExW(kNewBuild, kExe, MOVEFILE_REPLACE_EXISTING)));
  EXPECT_EQ("new build", ReadHostFile(exe));
  CoUninitialize();
}

// The way a program replaces itself: its running file moves aside and the new
// build takes the name.
TEST_F(RunningImageTest, ItMayBeRenamedAndItsOldNameIsThenFree) {
  Start();
  const std::string aside = exe + ".old";
  ASSERT_EQ(0u, ErrorOf(MoveFileExW(kExe, L"C:\\Program Files\\Korva\\korva.exe.old", 0)));
  EXPECT_TRUE(win32::IsRunningImage(aside));
  EXPECT_FALSE(win32::IsRunningImage(exe));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ErrorOf(DeleteFileW(L"C:\\Program Files\\Korva\\korva.exe.old")));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION),
            OpenError(L"C:\\Program Files\\Korva\\korva.exe.old", GENERIC_WRITE, OPEN_EXISTING));

  EXPECT_EQ(0u, ErrorOf(CopyFileW(kNewBuild, kExe, FALSE)));
  EXPECT_EQ(0u, OpenError(kExe, GENERIC_WRITE, OPEN_EXISTING));
  EXPECT_EQ("new build", ReadHostFile(exe));

  // Moving it over another file is a rename too; leaving the volume would
  // delete it.
  EXPECT_EQ(0u, ErrorOf(MoveFileExW(L"C:\\Program Files\\Korva\\korva.exe.old", kExe, MOVEFILE_REPLACE_EXISTING)));
  EXPECT_TRUE(win32::IsRunningImage(exe));
  EXPECT_TRUE(original == ReadHostFile(exe)) << "the program's file changed";
  struct stat here{}, shm{};
  if (stat(exe.c_str(), &here) == 0 && stat("/dev/shm", &shm) == 0 && here.st_dev != shm.st_dev) {
    const std::wstring away = L"Z:\\dev\\shm\\korva-running-" + std::to_wstring(getpid()) + L".exe";
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ErrorOf(MoveFileExW(kExe, away.c_str(), MOVEFILE_COPY_ALLOWED)));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(away.c_str()));
    EXPECT_TRUE(win32::IsRunningImage(exe));
  }

  Stop();
  EXPECT_EQ(0u, ErrorOf(DeleteFileW(kExe)));
}

// Any live process counts, also one the machine did not start and that runs
// as another user; an ended one that was not yet reaped does not.
TEST_F(RunningImageTest, EveryLiveProcessOfTheHostHoldsIt) {
  fs::permissions(exe, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec, fs::perm_options::add);
  for (const std::string& dir : {m.dir(), m.c(), m.c() + "/Program Files", m.c() + "/Program Files/Korva"})
    chmod(dir.c_str(), 0755);
  // Without the machine's environment, and as nobody where the test may.
  const char* path = exe.c_str();
  char* const argv[] = {const_cast<char*>("sleep"), const_cast<char*>("60"), nullptr};
  char* const envp[] = {nullptr};
  const bool asNobody = getuid() == 0;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (asNobody && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(126);
    execve(path, argv, envp);
    _exit(127);
  }
  EXPECT_TRUE(WaitUntil([&] { return win32::IsRunningImage(exe); }, 5000));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ErrorOf(DeleteFileW(kExe)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), OpenError(kExe, GENERIC_WRITE, OPEN_EXISTING));

  kill(child, SIGKILL);
  auto zombie = [&] {
    std::ifstream in("/proc/" + std::to_string(child) + "/stat");
    std::string line;
    std::getline(in, line);
    size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
  };
  EXPECT_TRUE(WaitUntil(zombie, 5000));
  EXPECT_EQ(0u, OpenError(kExe, GENERIC_WRITE, OPEN_EXISTING));
  EXPECT_EQ(0u, ErrorOf(DeleteFileW(kExe)));
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status));
}
