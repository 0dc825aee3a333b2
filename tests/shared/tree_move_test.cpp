// Moving an unpacked tree into the install folder: what a failed move takes
// back, and what a move onto another drive that is killed mid-copy leaves.
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <windows.h>

#include "shared/tree_move.h"
#include "support/e2e_process.h"
#include "support/temp_machine.h"

namespace {

using testing_support::HostExists;
using testing_support::MakeHostDirs;
using testing_support::ProgramRun;
using testing_support::ReadHostFile;
using testing_support::TempMachine;
using testing_support::WriteHostFile;
namespace fs = std::filesystem;

// A move that fails takes back what it placed: the folders it made, the
// destination and its parents included, and a link it moved, which goes
// itself while what it leads to stays.
TEST(TreeMove, AFailedMoveTakesBackTheFoldersItMadeAndTheLinksItMoved) {
  TempMachine machine;
  WriteHostFile(machine.dir() + "/outside/target.txt", "not ours");
  WriteHostFile(machine.c() + "/src/a/file.txt", "a");
  fs::create_symlink(machine.dir() + "/outside/target.txt", machine.c() + "/src/a/link.txt");
  WriteHostFile(machine.c() + "/src/b/locked.txt", "b");
  MakeHostDirs(machine.c() + "/Apps");
  // Held open without delete sharing, it cannot be moved.
  HANDLE locked =
      CreateFileW(L"C:\\src\\b\\locked.txt", GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  ASSERT_NE(INVALID_HANDLE_VALUE, locked);

  TreeMoveFailure failure;
  EXPECT_FALSE(MoveTreeInto(L"C:\\src", L"C:\\Apps\\vendor\\korva", &failure));
  CloseHandle(locked);

  EXPECT_EQ(L"C:\\Apps\\vendor\\korva\\b\\locked.txt", failure.file);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), failure.error);
  EXPECT_TRUE(fs::is_directory(machine.c() + "/Apps"));
  EXPECT_FALSE(HostExists(machine.c() + "/Apps/vendor"));
  EXPECT_EQ("not ours", ReadHostFile(machine.dir() + "/outside/target.txt"));
  EXPECT_EQ("b", ReadHostFile(machine.c() + "/src/b/locked.txt"));
}

const char kMoveRole[] = "KORVA_TREE_MOVE_ROLE";
// Its copy between drives lasts long enough to be seen under way.
const size_t kLargeFile = 64u << 20;

// In the started copy of this program: the move the test kills.
bool MoveIfStarted() {
  if (getenv(kMoveRole) == nullptr) return false;
  MoveTreeInto(L"C:\\src", L"D:\\dest");
  return true;
}

unsigned long long HostSize(const std::string& path) {
  std::error_code error;
  const auto size = fs::file_size(path, error);
  return error ? 0 : size;
}

// A move onto another drive copies each file beside its destination: a run
// killed in the middle of a large file's copy leaves only that part file,
// never a cut file under the destination's name. The next run replaces the
// part, also one that already took the source's read-only flag, and the
// file arrives whole.
TEST(TreeMove, ACopyKilledMidwayNeverStandsUnderTheDestinationName) {
  if (MoveIfStarted()) return;
  TempMachine machine;
  const std::string bytes = testing_support::NoiseBytes(kLargeFile);
  WriteHostFile(machine.c() + "/src/big.bin", bytes);
  MakeHostDirs(machine.dir() + "/d");
  const std::string destination = machine.dir() + "/d/dest/big.bin";
  const std::string part = destination + ".korva-part";

  ProgramRun run;
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  setenv(kMoveRole, "move", 1);
  const bool started = run.Start(fs::read_symlink("/proc/self/exe").string(),
                                 {std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name()},
                                 machine.dir() + "/move.out");
  unsetenv(kMoveRole);
  ASSERT_TRUE(started);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (HostSize(part) == 0 && run.Running() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  run.Kill();

  const unsigned long long copied = HostSize(part);
  ASSERT_GT(copied, 0u) << "the kill came before the copy began: " << ReadHostFile(machine.dir() + "/move.out");
  ASSERT_LT(copied, kLargeFile) << "the copy was complete before the kill";
  EXPECT_FALSE(HostExists(destination));
  EXPECT_TRUE(ReadHostFile(machine.c() + "/src/big.bin") == bytes);

  ASSERT_TRUE(SetFileAttributesW(L"D:\\dest\\big.bin.korva-part", FILE_ATTRIBUTE_READONLY));
  TreeMoveFailure failure;
  EXPECT_TRUE(MoveTreeInto(L"C:\\src", L"D:\\dest", &failure)) << failure.error;
  EXPECT_TRUE(ReadHostFile(destination) == bytes);
  EXPECT_FALSE(HostExists(part));
  EXPECT_FALSE(HostExists(machine.c() + "/src/big.bin"));
}

// Hidden and system files: they arrive on another drive with their flags,
// also over a part file that a killed run left with those flags, and an
// installed hidden or system file is kept as any other.
TEST(TreeMove, HiddenAndSystemFilesArriveWithTheirFlagsAndInstalledOnesAreKept) {
  TempMachine machine;
  const DWORD hidden = FILE_ATTRIBUTE_HIDDEN, system = FILE_ATTRIBUTE_SYSTEM;
  WriteHostFile(machine.c() + "/src/a.txt", "a");
  WriteHostFile(machine.c() + "/src/sub/b.txt", "b");
  WriteHostFile(machine.c() + "/src/c.txt", "new c");
  ASSERT_TRUE(SetFileAttributesW(L"C:\\src\\a.txt", hidden));
  ASSERT_TRUE(SetFileAttributesW(L"C:\\src\\sub\\b.txt", system));
  MakeHostDirs(machine.dir() + "/d");
  WriteHostFile(machine.dir() + "/d/dest/c.txt", "installed c");
  ASSERT_TRUE(SetFileAttributesW(L"D:\\dest\\c.txt", hidden | system));
  WriteHostFile(machine.dir() + "/d/dest/a.txt.korva-part", "cut");
  ASSERT_TRUE(SetFileAttributesW(L"D:\\dest\\a.txt.korva-part", hidden | system | FILE_ATTRIBUTE_READONLY));

  TreeMoveFailure failure;
  EXPECT_TRUE(MoveTreeInto(L"C:\\src", L"D:\\dest", &failure)) << failure.error;
  EXPECT_EQ("a", ReadHostFile(machine.dir() + "/d/dest/a.txt"));
  EXPECT_EQ(hidden, GetFileAttributesW(L"D:\\dest\\a.txt") & (hidden | system));
  EXPECT_EQ("b", ReadHostFile(machine.dir() + "/d/dest/sub/b.txt"));
  EXPECT_EQ(system, GetFileAttributesW(L"D:\\dest\\sub\\b.txt") & (hidden | system));
  EXPECT_EQ("installed c", ReadHostFile(machine.dir() + "/d/dest/c.txt"));
  EXPECT_FALSE(HostExists(machine.dir() + "/d/dest/a.txt.korva-part"));
  EXPECT_FALSE(HostExists(machine.c() + "/src/a.txt"));
}

}  // namespace
