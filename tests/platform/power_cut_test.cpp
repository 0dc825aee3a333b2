// The simulated power cut of one process: every change of names it made is
// kept, and each file it wrote loses what came after its last flush.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "internal/power_cut.h"
#include "support/e2e_process.h"
#include "support/temp_machine.h"

using testing_support::HostExists;
using testing_support::ReadHostFile;
using testing_support::TempMachine;
using testing_support::WriteHostFile;

namespace {

// 2001-01-01 00:00:00 UTC, given to a rewritten file so that the test can
// see its times survive the cut.
constexpr ULONGLONG kStampedTime = 126227808000000000ULL;
constexpr time_t kStampedUnixTime = 978307200;
constexpr int kTerminateCode = 7;

void Write(HANDLE file, const std::string& bytes) {
  DWORD done = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
}

HANDLE Open(const wchar_t* path, DWORD disposition, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
  return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition, flags, nullptr);
}

// The changes of names this role makes, numbered in comments; kNames says
// which name each one brings or takes away.
void RunJournal() {
  HANDLE file = Open(L"C:\\new.txt", CREATE_NEW);  // 1
  Write(file, "unflushed");
  CloseHandle(file);

  file = Open(L"C:\\kept.txt", OPEN_EXISTING);
  SetFilePointer(file, 3, nullptr, FILE_BEGIN);
  SetEndOfFile(file);
  Write(file, "rewritten");
  CloseHandle(file);

  file = Open(L"C:\\flushed.txt", CREATE_NEW);  // 2
  Write(file, "durable");
  FlushFileBuffers(file);
  Write(file, " and more");
  CloseHandle(file);

  file = Open(L"C:\\old.txt", TRUNCATE_EXISTING);
  Write(file, "new bytes");
  FILETIME stamp;
  stamp.dwLowDateTime = static_cast<DWORD>(kStampedTime);
  stamp.dwHighDateTime = static_cast<DWORD>(kStampedTime >> 32);
  SetFileTime(file, nullptr, nullptr, &stamp);
  CloseHandle(file);

  file = Open(L"C:\\moved.txt", CREATE_NEW);  // 3
  Write(file, "moving");
  CloseHandle(file);
  MoveFileExW(L"C:\\moved.txt", L"C:\\renamed.txt", 0);  // 4

  file = Open(L"C:\\doomed.txt", OPEN_EXISTING);
  Write(file, "rewritten");
  CloseHandle(file);
  DeleteFileW(L"C:\\doomed.txt");  // 5

  SHCreateDirectoryExW(nullptr, L"C:\\deep\\a\\b", nullptr);  // 6, 7, 8
  CopyFileW(L"C:\\old.txt", L"C:\\deep\\copy.txt", TRUE);     // 9

  file = Open(L"C:\\scratch.tmp", CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE);  // 10
  Write(file, "scratch");
  CloseHandle(file);  // 11

  // Another volume: a creation (12) and a deletion (13).
  MoveFileW(L"C:\\renamed.txt", L"D:\\renamed.txt");
  RemoveDirectoryW(L"C:\\deep\\a\\b");  // 14

  // Changes that fail count for nothing.
  DeleteFileW(L"C:\\absent.txt");
  CreateDirectoryW(L"C:\\deep", nullptr);
  MoveFileExW(L"C:\\new.txt", L"C:\\flushed.txt", 0);
}

struct Name {
  const char* path;  // below the machine directory
  int from;          // the change that makes it; 0 when the test does
  int until;         // the change that removes it; 0 when none does
};
constexpr Name kNames[] = {
    {"c/new.txt", 1, 0},      {"c/flushed.txt", 2, 0},     {"c/moved.txt", 3, 4},
    {"c/renamed.txt", 4, 13}, {"c/doomed.txt", 0, 5},      {"c/deep", 6, 0},
    {"c/deep/a", 7, 0},       {"c/deep/a/b", 8, 14},       {"c/deep/copy.txt", 9, 0},
    {"c/scratch.tmp", 10, 11}, {"d/renamed.txt", 12, 0},   {"c/old.txt", 0, 0},
    {"c/kept.txt", 0, 0},
};
constexpr int kJournalChanges = 14;

// Two threads write without end while the main one makes one change.
[[noreturn]] void RunWriters(bool terminate) {
  static std::atomic<int> writes[2];
  auto writer = [](const wchar_t* path, std::atomic<int>* count) {
    HANDLE file = Open(path, CREATE_NEW);  // 1 and 2
    const std::string chunk(4096, 'w');
    for (;;) {
      Write(file, chunk);
      ++*count;
    }
  };
  std::thread(writer, L"C:\\a.bin", &writes[0]).detach();
  std::thread(writer, L"C:\\b.bin", &writes[1]).detach();
  while (writes[0] < 8 || writes[1] < 8) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  CreateDirectoryW(L"C:\\done", nullptr);  // 3
  if (terminate) TerminateProcess(GetCurrentProcess(), kTerminateCode);
  exit(0);
}

// This test program started again in a role: it plays POWER_CUT_ROLE and
// ends before any test runs.
const bool kIsChild = [] {
  const char* role = getenv("POWER_CUT_ROLE");
  if (!role) return false;
  const std::string name = role;
  if (name == "writers" || name == "writers-terminate") RunWriters(name == "writers-terminate");
  RunJournal();
  if (name == "journal-terminate") TerminateProcess(GetCurrentProcess(), kTerminateCode);
  exit(0);  // the end of a normal run: armed, the power fails now
}();

// Runs a role in a child process of the machine, armed with `armed` as the
// value of the variable ("" for none) and the cut's mode ("" for the
// default); its exit code.
int RunRole(const std::string& role, const std::string& armed, const std::string& mode = "") {
  std::vector<std::string> env = {"POWER_CUT_ROLE=" + role};
  if (!armed.empty()) env.push_back(std::string(win32::kPowerCutVariable) + "=" + armed);
  if (!mode.empty()) env.push_back(std::string(win32::kPowerCutModeVariable) + "=" + mode);
  return testing_support::WaitForExit(testing_support::SpawnWithEnvironment({"/proc/self/exe"}, env));
}

// A fresh machine with the files the journal role finds there.
class JournalMachine {
 public:
  JournalMachine() {
    testing_support::MakeHostDirs(m_.dir() + "/d");
    WriteHostFile(m_.c() + "/old.txt", "old bytes");
    WriteHostFile(m_.c() + "/doomed.txt", "doomed");
    WriteHostFile(m_.c() + "/kept.txt", "kept bytes");
  }

  std::string At(const std::string& path) const { return m_.dir() + "/" + path; }
  std::string Read(const std::string& path) const { return ReadHostFile(At(path)); }

  // Checks which names exist once `changes` of the journal's have happened.
  void ExpectNamesAfter(int changes) const {
    for (const Name& name : kNames) {
      const bool expected = name.from <= changes && (name.until == 0 || changes < name.until);
      EXPECT_EQ(expected, HostExists(At(name.path))) << name.path;
    }
  }

 private:
  TempMachine m_;
};

TEST(PowerCut, EndOfRunKeepsEveryChangeOfNamesAndOnlyFlushedData) {
  for (const char* role : {"journal", "journal-terminate"}) {
    SCOPED_TRACE(role);
    JournalMachine m;
    const int ownCode = std::string(role) == "journal-terminate" ? kTerminateCode : 0;
    // Armed one beyond its changes, since the failed ones count for nothing:
    // the power fails as it ends, and it keeps its own code.
    ASSERT_EQ(ownCode, RunRole(role, std::to_string(kJournalChanges + 1)));
    m.ExpectNamesAfter(kJournalChanges);

    EXPECT_EQ("", m.Read("c/new.txt"));  // never flushed
    EXPECT_EQ("durable", m.Read("c/flushed.txt"));
    EXPECT_EQ("old bytes", m.Read("c/old.txt"));  // truncated and rewritten
    EXPECT_EQ("kept bytes", m.Read("c/kept.txt"));  // cut short and rewritten
    EXPECT_EQ("", m.Read("c/deep/copy.txt"));
    EXPECT_EQ("", m.Read("d/renamed.txt"));  // its data reached no disk under any name
    struct stat st{};
    ASSERT_EQ(0, stat(m.At("c/old.txt").c_str(), &st));
    EXPECT_EQ(kStampedUnixTime, st.st_mtim.tv_sec);  // the times it was given stay
  }
}

// The zero mode keeps each file's new length and zeroes what it lost; what
// was flushed, and what was rewritten with the same bytes, stays.
TEST(PowerCut, ZeroModeKeepsTheNewLengthsWithTheLostBytesZeroed) {
  JournalMachine m;
  ASSERT_EQ(0, RunRole("journal", std::to_string(kJournalChanges + 1), "zero"));
  m.ExpectNamesAfter(kJournalChanges);
  const std::string zeros(12, '\0');
  EXPECT_EQ(zeros.substr(0, 9), m.Read("c/new.txt"));
  EXPECT_EQ("durable" + zeros.substr(0, 9), m.Read("c/flushed.txt"));
  EXPECT_EQ(zeros.substr(0, 3) + " bytes", m.Read("c/old.txt"));  // "new" over "old"
  EXPECT_EQ("kep" + zeros.substr(0, 9), m.Read("c/kept.txt"));
  EXPECT_EQ(zeros.substr(0, 9), m.Read("c/deep/copy.txt"));
  EXPECT_EQ(zeros.substr(0, 6), m.Read("d/renamed.txt"));

  // A mode that is not known arms nothing.
  JournalMachine unarmed;
  ASSERT_EQ(0, RunRole("journal", "1", "scramble"));
  EXPECT_EQ("durable and more", unarmed.Read("c/flushed.txt"));
}

TEST(PowerCut, FailsRightAfterTheNthChangeAndNothingLaterHappens) {
  for (int n = 1; n <= kJournalChanges; ++n) {
    SCOPED_TRACE("cut after change " + std::to_string(n));
    JournalMachine m;
    ASSERT_EQ(win32::kPowerCutExitCode, RunRole("journal", std::to_string(n)));
    m.ExpectNamesAfter(n);

    EXPECT_EQ("", m.Read("c/new.txt"));
    // Cut right after its creation, it has nothing yet.
    EXPECT_EQ(std::string(n >= 3 ? "durable" : ""), m.Read("c/flushed.txt"));
    EXPECT_EQ("old bytes", m.Read("c/old.txt"));
    // Renamed, then cut: the new name stays, the data written before it does not.
    if (n >= 4 && n < 13) {
      EXPECT_EQ("", m.Read("c/renamed.txt"));
    }
    EXPECT_EQ("kept bytes", m.Read("c/kept.txt"));
  }
}

TEST(PowerCut, UnarmedProcessKeepsEverything) {
  // "0" is no count: the process runs unarmed.
  for (const char* armed : {"", "0"}) {
    SCOPED_TRACE(armed);
    JournalMachine m;
    ASSERT_EQ(0, RunRole("journal", armed));
    m.ExpectNamesAfter(kJournalChanges);
    EXPECT_EQ("unflushed", m.Read("c/new.txt"));
    EXPECT_EQ("durable and more", m.Read("c/flushed.txt"));
    EXPECT_EQ("new bytes", m.Read("c/old.txt"));
    EXPECT_EQ("keprewritten", m.Read("c/kept.txt"));
    EXPECT_EQ("new bytes", m.Read("c/deep/copy.txt"));
    EXPECT_EQ("moving", m.Read("d/renamed.txt"));
  }
}

// Nothing a thread writes after the cut reaches the files, whether the cut
// comes during the run or as the process ends.
TEST(PowerCut, WritesOfOtherThreadsStopAtTheCut) {
  struct Case {
    const char* role;
    const char* armed;
    int code;
  };
  for (const Case& c : {Case{"writers", "3", win32::kPowerCutExitCode}, Case{"writers", "100", 0},
                        Case{"writers-terminate", "100", kTerminateCode}}) {
    SCOPED_TRACE(std::string(c.role) + " armed " + c.armed);
    TempMachine m;
    ASSERT_EQ(c.code, RunRole(c.role, c.armed));
    EXPECT_TRUE(HostExists(m.c() + "/done"));
    for (const char* file : {"/a.bin", "/b.bin"}) {
      struct stat st{};
      ASSERT_EQ(0, stat((m.c() + file).c_str(), &st)) << file;
      EXPECT_EQ(0, st.st_size) << file;
    }
  }
}

}  // namespace
