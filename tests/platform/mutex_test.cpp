#include <gtest/gtest.h>

#include <windows.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "internal/unicode.h"
#include "support/e2e_process.h"
#include "support/stub_program.h"
#include "support/temp_machine.h"

using testing_support::TempMachine;

namespace {

// This test program started again as a second process of the machine: it
// does what MUTEX_CHILD says and exits before any test runs.
//   create:<name>          exit 1 when the mutex already existed, else 0
//   hold:<name>:<file>     create it, write <file>, wait to be killed
//   wait:<name>:<ms>       exit 0 when it could take ownership in time, else 1
int RunChildAction(const std::string& action) {
  size_t colon = action.find(':');
  const std::string verb = action.substr(0, colon);
  std::string rest = action.substr(colon + 1);
  size_t second = rest.find(':');
  const std::wstring name = win32::Utf8ToWide(rest.substr(0, second));
  const std::string extra = second == std::string::npos ? "" : rest.substr(second + 1);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
  if (!mutex) return 2;
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  if (verb == "create") return existed ? 1 : 0;
  if (verb == "hold") {
    testing_support::WriteHostFile(extra, "held");
    for (;;) pause();
  }
  if (verb == "wait") return WaitForSingleObject(mutex, static_cast<DWORD>(std::stoul(extra))) == WAIT_OBJECT_0 ? 0 : 1;
  return 3;
}

const bool kIsChild = [] {
  if (const char* action = getenv("MUTEX_CHILD")) _exit(RunChildAction(action));
  return false;
}();

pid_t StartChild(const std::string& action) {
  return testing_support::SpawnWithEnvironment({"/proc/self/exe"}, {"MUTEX_CHILD=" + action});
}

int RunChild(const std::string& action) { return testing_support::WaitForExit(StartChild(action)); }

}  // namespace

TEST(NamedMutex, SecondProcessSeesItOnlyWhileTheHolderLives) {
  TempMachine m;
  ASSERT_FALSE(kIsChild);
  EXPECT_EQ(0, RunChild("create:KorvaTool"));  // nobody holds it

  const std::string ready = m.dir() + "/holder-ready";
  pid_t holder = StartChild("hold:KorvaTool:" + ready);
  ASSERT_GT(holder, 0);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return testing_support::HostExists(ready); }, 10000));

  EXPECT_EQ(1, RunChild("create:KorvaTool"));
  EXPECT_EQ(1, RunChild("create:korvatool"));  // names ignore case
  EXPECT_EQ(0, RunChild("create:KorvaTool2"));
  HANDLE mine = CreateMutexW(nullptr, FALSE, L"KorvaTool");
  ASSERT_NE(nullptr, mine);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  CloseHandle(mine);

  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(0, RunChild("create:KorvaTool"));
}

TEST(NamedMutex, OwnershipIsExclusiveAcrossThreadsAndProcesses) {
  TempMachine m;
  HANDLE first = CreateMutexW(nullptr, TRUE, L"Global-Lock");
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
  HANDLE second = CreateMutexW(nullptr, TRUE, L"GLOBAL-LOCK");  // owner flag ignored: it exists
  ASSERT_NE(nullptr, second);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());

  // Owned by this thread: it may take it again, others may not.
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(second, 0));
  DWORD otherThread = 0;
  std::thread([&] { otherThread = WaitForSingleObject(second, 50); }).join();
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), otherThread);
  EXPECT_EQ(1, RunChild("wait:Global-Lock:100"));

  EXPECT_TRUE(ReleaseMutex(first));
  EXPECT_EQ(1, RunChild("wait:Global-Lock:100"));  // still held once more
  EXPECT_TRUE(ReleaseMutex(second));
  EXPECT_FALSE(ReleaseMutex(first));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_OWNER), GetLastError());
  EXPECT_EQ(0, RunChild("wait:Global-Lock:2000"));

  std::thread([&] {
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(first, 1000));
    EXPECT_TRUE(ReleaseMutex(first));
  }).join();
  CloseHandle(first);
  CloseHandle(second);
  EXPECT_EQ(static_cast<DWORD>(WAIT_FAILED), WaitForSingleObject(first, 0));
}

TEST(NamedMutex, GlobalAndLocalNamesAreTheBareNameOfTheOneSession) {
  TempMachine m;
  const std::string ready = m.dir() + "/holder-ready";
  pid_t holder = StartChild("hold:Global\\KorvaUpdatePackage:" + ready);
  ASSERT_GT(holder, 0);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return testing_support::HostExists(ready); }, 10000));
  EXPECT_EQ(1, RunChild("create:KorvaUpdatePackage"));
  EXPECT_EQ(1, RunChild("create:Local\\KorvaUpdatePackage"));
  EXPECT_EQ(1, RunChild("create:Global\\KorvaUpdatePackage"));
  EXPECT_EQ(0, RunChild("create:Global\\KorvaUpdatePackage2"));
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);

  // Owned through one spelling, the others wait for it.
  HANDLE local = CreateMutexW(nullptr, TRUE, L"Local\\KorvaUpdatePackage");
  ASSERT_NE(nullptr, local);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
  EXPECT_EQ(1, RunChild("wait:KorvaUpdatePackage:100"));
  EXPECT_EQ(1, RunChild("wait:Global\\KorvaUpdatePackage:100"));
  EXPECT_TRUE(ReleaseMutex(local));
  EXPECT_EQ(0, RunChild("wait:Global\\KorvaUpdatePackage:2000"));
  CloseHandle(local);

  // No other folder of the namespace exists.
  SetLastError(0);
  EXPECT_EQ(nullptr, CreateMutexW(nullptr, FALSE, L"Other\\KorvaUpdatePackage"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
}

TEST(Mutex, UnnamedMutexIsPrivateToItsHandle) {
  TempMachine m;
  HANDLE a = CreateMutexW(nullptr, FALSE, nullptr);
  HANDLE b = CreateMutexW(nullptr, FALSE, nullptr);
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(a, 0));
  DWORD onA = 0, onB = 0;
  std::thread([&] {
    onA = WaitForSingleObject(a, 20);
    onB = WaitForSingleObject(b, 20);
  }).join();
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), onA);
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), onB);
  CloseHandle(a);
  CloseHandle(b);
}
