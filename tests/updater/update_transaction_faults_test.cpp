// A package's transaction when something goes wrong inside it: a journal
// that runs out of room, a run killed or paused in its move, an undo that
// cannot take a file out, a journal cut inside a name, a second updater while
// the first moves or while its abandoned worker still unpacks, a file that
// the package spells in another case. Real updater processes where a run must
// die, stop or hold the package lock; the installed updater's own process
// otherwise.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/e2e_process.h"
#include "support/small_volume.h"
#include "updater/update_context.h"
#include "updater_test_util.h"

namespace {

using testing_support::HostExists;
using testing_support::ProgramRun;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;
using updater_test::InstallTree;
using updater_test::OwnerWindow;
using updater_test::TreeSnapshot;
using updater_test::ExpectWholeVersion;
using updater_test::HeldFile;
using updater_test::kBusyLine;
using Files = std::map<std::string, std::string>;
using Snapshot = std::map<std::string, std::string>;
namespace fs = std::filesystem;

const char kConfig[] = "resources/cplus-module/update.json";
const char kJournal[] = "update/package_backup/1.journal";
const char kBackup[] = "update/package_backup/1/";
const char kUndoLine[] = "undo the package update that did not finish .";
const int kRunTimeoutMs = 60000;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t LinesOf(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

// Whether a journal holds `line` as a whole line.
bool HasLine(const std::string& journal, const std::string& line) { return Has("\n" + journal, "\n" + line + "\n"); }

// The product at `version`: every named file with content of that version,
// and an update.json naming it.
Files VersionOf(const InstallTree& tree, int version, const std::vector<std::string>& names) {
  Files files;
  for (const std::string& name : names) files[name] = "version " + std::to_string(version) + " of " + name;
  files[kConfig] = tree.ProductConfigText(100, version, 100);
  return files;
}

// count names below folder, spread over ten subfolders.
std::vector<std::string> ManyNames(const std::string& folder, int count) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    names.push_back(folder + "/" + std::to_string(i % 10) + "/f" + std::to_string(i) + ".txt");
  }
  return names;
}

void WriteFiles(const InstallTree& tree, const Files& files) {
  for (const auto& file : files) WriteHostFile(tree.Host(file.first), file.second);
}

// The first few differences between two snapshots, readable for a tree of
// thousands of files.
std::string Differences(const Snapshot& expected, const Snapshot& actual) {
  std::string out;
  int shown = 0;
  for (const auto& entry : expected) {
    auto it = actual.find(entry.first);
    if (it == actual.end()) {
      out += "  missing " + entry.first + "\n";
    } else if (it->second != entry.second) {
      out += "  changed " + entry.first + "\n";
    } else {
      continue;
    }
    if (++shown == 8) return out + "  ...\n";
  }
  for (const auto& entry : actual) {
    if (expected.count(entry.first)) continue;
    out += "  added " + entry.first + "\n";
    if (++shown == 8) return out + "  ...\n";
  }
  return out;
}

void ExpectSameTree(const Snapshot& expected, const Snapshot& actual) {
  EXPECT_TRUE(expected == actual) << Differences(expected, actual);
}

// Polls `done` every millisecond: a step's move is watched through its
// journal, and files go by quickly.
bool WaitClosely(const std::function<bool()>& done, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The roles of the placed updater that several tests share. True when this
// process played one.
bool PlaySharedRole(const std::string& role) {
  if (role == "apply") {
    OwnerWindow owner;
    updater_test::ReportPlacedResult(updater_test::ApplyMainPackageAsTheWindowDoes(&owner));
    return true;
  }
  if (role == "recover") {
    UpdateContext::Instance()->RecoverInterruptedPackage();
    updater_test::ReportPlacedResult(0);
    return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// A journal that runs out of room.

// Opens a journal from the host as soon as a step creates it and keeps it
// open, so that what the step wrote into it can be read after the step has
// deleted it. A journal lives for the whole move: polling finds it.
class JournalCatcher {
 public:
  explicit JournalCatcher(const std::string& path)
      : thread_([this, path] {
          while (!stop_ && (journal_ = open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
          }
        }) {}
  ~JournalCatcher() {
    Stop();
    if (journal_ >= 0) close(journal_);
  }

  // The journal's bytes as they are now; empty when none was caught.
  std::string Text() {
    Stop();
    std::string text;
    char buffer[4096];
    ssize_t got = 0;
    for (off_t at = 0; journal_ >= 0 && (got = pread(journal_, buffer, sizeof buffer, at)) > 0; at += got) {
      text.append(buffer, static_cast<size_t>(got));
    }
    return text;
  }

 private:
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  std::atomic<bool> stop_{false};
  int journal_ = -1;
  std::thread thread_;
};

// Leaves `pages` pages free on the volume that holds hostDir, by a file
// beside it; its path.
std::string FillVolumeUpTo(const std::string& hostDir, const std::string& filler, unsigned long long pages) {
  struct statvfs volume {};
  if (statvfs(hostDir.c_str(), &volume) != 0) {
    ADD_FAILURE() << "statvfs " << hostDir;
    return filler;
  }
  const unsigned long long free = static_cast<unsigned long long>(volume.f_bavail) * volume.f_frsize;
  const unsigned long long keep = pages * 4096ull;
  EXPECT_GT(free, keep);
  if (free > keep) WriteHostFile(filler, std::string(free - keep, 'f'));
  return filler;
}

// The product on D:, a small volume of its own that is nearly full once the
// package is unpacked: its journal can take two pages of lines, so that a
// line part-way through the move cannot be written while every rename would
// still work. The step fails and leaves the tree as it was: every installed
// file in place with its old bytes, none only in the backup folder.
TEST(PackageTransactionFaults, AJournalThatRunsOutOfRoomPartWayLeavesTheTreeAsItWas) {
  updater_test::InstallPlace place;
  place.location = L"D:\\korva\\";
  place.host = "/d/korva";
  std::unique_ptr<testing_support::SmallVolume> drive;
  place.prepare = [&](const std::string& machine) {
    const auto size = fs::file_size("/proc/self/exe") + fs::file_size(KORVA_DIST_DIR "/7z.dll") + (16u << 20);
    drive.reset(new testing_support::SmallVolume(machine + "/d", size));
  };
  if (!updater_test::RunAsInstalledUpdater(nullptr, place)) return;
  InstallTree tree(true, place);
  // Small files: one page each, in the tree and in the staging folder. The
  // package also brings a folder of new files, which come after the line
  // that finds no room.
  const std::vector<std::string> names = ManyNames("data", 600);
  std::vector<std::string> brought = names;
  for (int i = 0; i < 20; ++i) brought.push_back("extra/n" + std::to_string(i) + ".txt");
  const Files old = VersionOf(tree, 100, names);
  const Files fresh = VersionOf(tree, 200, brought);
  WriteFiles(tree, old);
  tree.AddPackage("korva", 200, "korva.7z", fresh);
  const Snapshot installed = TreeSnapshot(tree.Host(""));
  OwnerWindow owner;
  UpdateContext* context = UpdateContext::Instance();
  ASSERT_TRUE(context->LoadUpdateConfig() && context->CheckVersions());
  context->owner = &owner;

  const std::string filler = FillVolumeUpTo(tree.Host(""), updater_test::MachineDir() + "/d/filler.bin",
                                            static_cast<unsigned long long>(fresh.size()) + 2);
  int result = -1;
  std::string journal;
  {
    JournalCatcher catcher(tree.Host(kJournal));
    result = context->ApplyMainPackage();
    journal = catcher.Text();
  }
  EXPECT_EQ(kUpdateUnzipFailed, result);
  const std::string log = tree.Log();
  EXPECT_TRUE(Has(log, "lastError: 112 .")) << log;
  // The room ran out in the move, not before it.
  EXPECT_GE(std::count(journal.begin(), journal.end(), '\n'), 20) << journal.substr(0, 200);
  EXPECT_FALSE(HasLine(journal, "done"));
  ExpectSameTree(installed, TreeSnapshot(tree.Host("")));
  int misplaced = 0;
  for (const auto& file : old) {
    if (ReadHostFile(tree.Host(file.first)) != file.second && ++misplaced <= 3) {
      ADD_FAILURE() << file.first << " is not the installed file"
                    << (HostExists(tree.Host(kBackup + file.first)) ? ", which is in the backup folder" : "");
    }
  }

  // With room again the same package goes in whole.
  fs::remove(filler);
  context->owner = &owner;
  EXPECT_EQ(kUpdateOk, context->ApplyMainPackage()) << tree.Log();
  ExpectWholeVersion(tree, fresh);
}

// ---------------------------------------------------------------------------
// Runs that die or stop in their move.

// The product's update.json names the version its tree holds: a run killed in
// its move has not moved it yet, however far it got, so that even before the
// next run undoes the rest the product still asks for the update. The
// package's other files sort after it: only the rule that it goes last keeps
// it back.
TEST(PackageTransactionFaults, ARunKilledInItsMoveLeavesUpdateJsonNamingTheOldVersion) {
  if (PlaySharedRole(updater_test::EnterPlacedRole())) return;
  testing_support::TempMachine machine;
  InstallTree tree;
  updater_test::PlaceUpdaterProgram(tree);
  const std::vector<std::string> names = ManyNames("zdata", 3000);
  const Files old = VersionOf(tree, 100, names);
  WriteFiles(tree, old);
  tree.AddPackage("korva", 200, "korva.7z", VersionOf(tree, 200, names));

  ProgramRun killed;
  const std::string result = machine.dir() + "/killed.result";
  ASSERT_TRUE(updater_test::StartPlacedRole(&killed, tree, "apply", result));
  const std::string journal = tree.Host(kJournal);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return LinesOf(ReadHostFile(journal)) >= 50 || !killed.Running(); },
                                         kRunTimeoutMs));
  killed.Kill();
  const std::string left = ReadHostFile(journal);
  ASSERT_GE(LinesOf(left), 50u) << "the run ended before its move: " << ReadHostFile(result + ".out");
  ASSERT_FALSE(HasLine(left, "done")) << "the run finished its move before it was killed";
  EXPECT_NE(old.at(names.front()), ReadHostFile(tree.Host(names.front()))) << "the move had not begun";

  EXPECT_EQ(old.at(kConfig), ReadHostFile(tree.Host(kConfig)));
  EXPECT_FALSE(Has(left, "update.json")) << left.substr(0, 300);
}

// A second updater started while the first is in the middle of its move (the
// first stopped there, between two of its file calls) finds the package lock
// taken: it is refused, says so, and neither undoes the first one's open
// transaction nor touches the tree. Let go on, the first ends whole.
TEST(PackageTransactionFaults, ASecondUpdaterDuringAMoveIsRefusedAndUndoesNothing) {
  if (PlaySharedRole(updater_test::EnterPlacedRole())) return;
  testing_support::TempMachine machine;
  InstallTree tree;
  updater_test::PlaceUpdaterProgram(tree);
  const std::vector<std::string> names = ManyNames("data", 3000);
  WriteFiles(tree, VersionOf(tree, 100, names));
  const Files fresh = VersionOf(tree, 200, names);
  tree.AddPackage("korva", 200, "korva.7z", fresh);
  const int refusedBefore = updater_test::CountOf(tree.Log(), kBusyLine);

  ProgramRun first;
  const std::string firstResult = machine.dir() + "/first.result";
  ASSERT_TRUE(updater_test::StartPlacedRole(&first, tree, "apply", firstResult));
  const std::string journal = tree.Host(kJournal);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return LinesOf(ReadHostFile(journal)) >= 50 || !first.Running(); },
                                         kRunTimeoutMs));
  ASSERT_TRUE(testing_support::StopOutsideFileCalls(&first, 10000)) << ReadHostFile(firstResult + ".out");
  const std::string open = ReadHostFile(journal);
  ASSERT_GE(LinesOf(open), 50u) << "the first ended before its move: " << ReadHostFile(firstResult + ".out");
  ASSERT_FALSE(HasLine(open, "done")) << "the first finished its move before it was stopped";
  const Snapshot during = TreeSnapshot(tree.Host(""));

  EXPECT_EQ(kUpdateDownloadFailed, updater_test::RunPlacedRole(tree, "apply", machine.dir() + "/second.result"));
  const std::string log = tree.Log();
  EXPECT_GT(updater_test::CountOf(log, kBusyLine), refusedBefore);
  EXPECT_FALSE(Has(log, kUndoLine));
  ExpectSameTree(during, TreeSnapshot(tree.Host("")));
  EXPECT_EQ(open, ReadHostFile(journal));

  first.Continue();
  int code = -1;
  ASSERT_TRUE(first.Wait(kRunTimeoutMs, &code)) << "the first did not end";
  EXPECT_EQ(0, code) << ReadHostFile(firstResult + ".out");
  EXPECT_EQ(kUpdateOk, updater_test::PlacedResult(firstResult));
  ExpectWholeVersion(tree, fresh);
}

// The user closes the first updater's window while its package unpacks: the
// step stops waiting, and its worker goes on writing into the staging folder.
// Until that process ends it keeps the package lock: a second updater started
// meanwhile is refused and leaves the first one's staging folder to it.
TEST(PackageTransactionFaults, AStepThatStoppedWaitingForItsWorkerKeepsTheLockWhileTheWorkerWrites) {
  const std::string role = updater_test::EnterPlacedRole();
  if (role == "close-during-unzip") {
    updater_test::QuittingOwner owner;
    updater_test::ReportPlacedResult(updater_test::ApplyMainPackageAsTheWindowDoes(&owner));
    // The process lives on with its worker until the test lets it end.
    const std::string release = std::string(getenv(updater_test::kPlacedResultVariable)) + ".release";
    EXPECT_TRUE(testing_support::WaitUntil([&] { return HostExists(release); }, kRunTimeoutMs));
    return;
  }
  if (PlaySharedRole(role)) return;
  testing_support::TempMachine machine;
  InstallTree tree;
  updater_test::PlaceUpdaterProgram(tree);
  WriteHostFile(tree.Host("korva.exe"), "old main");
  Files package;
  for (int i = 0; i < 40; ++i) package["data/file" + std::to_string(i) + ".bin"] = updater_test::NoiseBytes(256 * 1024, i);
  package["korva.exe"] = "new main";
  tree.AddPackage("korva", 200, "korva.7z", package);
  const std::string staging = "update/update_korva";
  const Snapshot installed = TreeSnapshot(tree.Host(""));

  ProgramRun first;
  const std::string firstResult = machine.dir() + "/first.result";
  ASSERT_TRUE(updater_test::StartPlacedRole(&first, tree, "close-during-unzip", firstResult));
  ASSERT_TRUE(testing_support::WaitUntil(
      [&] { return updater_test::PlacedResult(firstResult) != -1 || !first.Running(); }, kRunTimeoutMs));
  ASSERT_EQ(kUpdateUnzipFailed, updater_test::PlacedResult(firstResult)) << ReadHostFile(firstResult + ".out");

  EXPECT_EQ(kUpdateDownloadFailed, updater_test::RunPlacedRole(tree, "apply", machine.dir() + "/second.result"));
  EXPECT_TRUE(Has(tree.Log(), kBusyLine));
  // The first one's worker ends its extraction where it was sent, whole, in
  // whatever order the archive holds the files.
  auto unpacked = [&](const std::pair<const std::string, std::string>& file) {
    return ReadHostFile(tree.Host(staging + "/" + file.first)) == file.second;
  };
  testing_support::WaitUntil([&] { return std::all_of(package.begin(), package.end(), unpacked); }, 20000);
  int lost = 0;
  for (const auto& file : package) {
    if (!unpacked(file) && ++lost <= 3) ADD_FAILURE() << file.first << " is not in the staging folder as unpacked";
  }
  ExpectSameTree(installed, updater_test::SnapshotWithout(TreeSnapshot(tree.Host("")), staging));

  WriteHostFile(firstResult + ".release", "");
  int code = -1;
  ASSERT_TRUE(first.Wait(kRunTimeoutMs, &code)) << "the first did not end";
  EXPECT_EQ(0, code) << ReadHostFile(firstResult + ".out");
}

// ---------------------------------------------------------------------------
// Undoes that cannot finish.

// The step fails late in its move (zz.txt cannot be moved aside), and by then
// another program has opened a.txt, the first file it placed, without
// sharing it: the undo cannot take that one out. The journal stays open, with
// no "undone", the original stays in the backup folder, and the next run,
// once the file is let go, puts it back.
TEST(PackageTransactionFaults, AFileTheUndoCannotTakeOutKeepsItsOriginalForTheNextRun) {
  if (PlaySharedRole(updater_test::EnterPlacedRole())) return;
  testing_support::TempMachine machine;
  InstallTree tree;
  updater_test::PlaceUpdaterProgram(tree);
  std::vector<std::string> names = ManyNames("m", 3000);
  names.push_back("a.txt");
  names.push_back("zz.txt");
  const Files old = VersionOf(tree, 100, names);
  const Files fresh = VersionOf(tree, 200, names);
  WriteFiles(tree, old);
  tree.AddPackage("korva", 200, "korva.7z", fresh);
  const Snapshot installed = TreeSnapshot(tree.Host(""));

  HeldFile last(tree.Host("zz.txt"));
  ASSERT_TRUE(last.held());
  ProgramRun run;
  const std::string result = machine.dir() + "/apply.result";
  ASSERT_TRUE(updater_test::StartPlacedRole(&run, tree, "apply", result));
  // Once the step after a.txt is journaled, a.txt is the new file.
  const std::string journal = tree.Host(kJournal);
  auto placed = [&] {
    const std::string text = ReadHostFile(journal);
    const size_t at = text.find("\nreplace a.txt\n");
    return at != std::string::npos && text.find('\n', at + 15) != std::string::npos;
  };
  ASSERT_TRUE(WaitClosely([&] { return placed() || !run.Running(); }, kRunTimeoutMs));
  HeldFile placedFile(tree.Host("a.txt"));
  ASSERT_TRUE(placedFile.held()) << ReadHostFile(result + ".out");
  ASSERT_FALSE(Has(ReadHostFile(journal), "zz.txt")) << "the move reached zz.txt before a.txt was held";
  int code = -1;
  ASSERT_TRUE(run.Wait(kRunTimeoutMs, &code)) << "the updater did not end";
  EXPECT_EQ(0, code) << ReadHostFile(result + ".out");
  EXPECT_EQ(kUpdateUnzipFailed, updater_test::PlacedResult(result));

  const std::string text = ReadHostFile(journal);
  EXPECT_FALSE(text.empty()) << "the journal of the unfinished undo is gone";
  EXPECT_FALSE(HasLine(text, "undone"));
  EXPECT_EQ(old.at("a.txt"), ReadHostFile(tree.Host(std::string(kBackup) + "a.txt")));
  EXPECT_EQ(fresh.at("a.txt"), ReadHostFile(tree.Host("a.txt")));
  int notBack = 0;
  for (const auto& file : old) {
    if (file.first != "a.txt" && ReadHostFile(tree.Host(file.first)) != file.second && ++notBack <= 3) {
      ADD_FAILURE() << file.first << " was not put back";
    }
  }

  placedFile.LetGo();
  last.LetGo();
  EXPECT_EQ(0, updater_test::RunPlacedRole(tree, "recover", machine.dir() + "/recover.result"));
  ExpectSameTree(installed, TreeSnapshot(tree.Host("")));
}

// The product writes zy.txt, a file the package brings, after the run has
// journaled it and before its step. The step renames the product's file
// aside as one it replaces; then zz.txt, held by another program, fails the
// move. The undo puts the product's file back and leaves it, though its
// journal names the path as brought. A run killed at the same point leaves it
// too, to the next run's recovery: a file the transaction never placed stays.
TEST(PackageTransactionFaults, AFileThatAppearsWhereThePackageBringsOneIsNeverTakenOut) {
  if (PlaySharedRole(updater_test::EnterPlacedRole())) return;
  for (const bool kill : {false, true}) {
    SCOPED_TRACE(kill ? "killed" : "failing");
    testing_support::TempMachine machine;
    InstallTree tree;
    updater_test::PlaceUpdaterProgram(tree);
    std::vector<std::string> names = ManyNames("m", 3000);
    names.push_back("zz.txt");
    const Files old = VersionOf(tree, 100, names);
    WriteFiles(tree, old);
    names.push_back("zy.txt");
    tree.AddPackage("korva", 200, "korva.7z", VersionOf(tree, 200, names));
    Snapshot expected = TreeSnapshot(tree.Host(""));

    HeldFile last(tree.Host("zz.txt"));
    ASSERT_TRUE(last.held());
    ProgramRun run;
    const std::string result = machine.dir() + "/apply.result";
    ASSERT_TRUE(updater_test::StartPlacedRole(&run, tree, "apply", result));
    const std::string journal = tree.Host(kJournal);
    ASSERT_TRUE(WaitClosely([&] { return Has(ReadHostFile(journal), "\nreplace m\\") || !run.Running(); },
                            kRunTimeoutMs));
    ASSERT_TRUE(testing_support::StopOutsideFileCalls(&run, 10000)) << ReadHostFile(result + ".out");
    ASSERT_TRUE(HasLine(ReadHostFile(journal), "new zy.txt"));
    ASSERT_FALSE(HostExists(tree.Host("zy.txt"))) << "the move reached zy.txt before the run was stopped";
    WriteHostFile(tree.Host("zy.txt"), "written by the product");
    expected["zy.txt"] = TreeSnapshot(tree.Host(""))["zy.txt"];

    int code = -1;
    if (kill) {
      run.Kill();
      last.LetGo();
      EXPECT_EQ(0, updater_test::RunPlacedRole(tree, "recover", machine.dir() + "/recover.result"));
    } else {
      run.Continue();
      ASSERT_TRUE(run.Wait(kRunTimeoutMs, &code)) << "the updater did not end";
      EXPECT_EQ(0, code) << ReadHostFile(result + ".out");
      EXPECT_EQ(kUpdateUnzipFailed, updater_test::PlacedResult(result));
      last.LetGo();
    }
    EXPECT_EQ("written by the product", ReadHostFile(tree.Host("zy.txt")));
    ExpectSameTree(expected, TreeSnapshot(tree.Host("")));
  }
}

// What a killed run left (held.dll replaced) cannot be undone while another
// program holds held.dll: no package may start on that tree, even one that
// does not touch held.dll. The step fails and leaves everything as it was;
// once the file is let go, the undo finishes and the package goes in.
TEST(PackageTransactionFaults, AnUndoThatCannotFinishKeepsEveryPackageOut) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  const Files old = VersionOf(tree, 100, {"korva.exe", "held.dll"});
  WriteFiles(tree, old);
  WriteHostFile(tree.Host("held.dll"), "version 150 of held.dll");
  WriteHostFile(tree.Host(std::string(kBackup) + "held.dll"), old.at("held.dll"));
  const std::string journal = "korva package journal 1\nreplace held.dll\n";
  WriteHostFile(tree.Host(kJournal), journal);
  const Files fresh = VersionOf(tree, 200, {"korva.exe"});
  tree.AddPackage("korva", 200, "korva.7z", fresh);
  const Snapshot before = updater_test::SnapshotWithout(TreeSnapshot(tree.Host("")), "update/package_backup/");
  OwnerWindow owner;
  UpdateContext* context = UpdateContext::Instance();
  ASSERT_TRUE(context->LoadUpdateConfig() && context->CheckVersions());
  context->owner = &owner;

  {
    HeldFile held(tree.Host("held.dll"));
    ASSERT_TRUE(held.held());
    EXPECT_EQ(kUpdateUnzipFailed, context->ApplyMainPackage());
    EXPECT_TRUE(Has(tree.Log(), "fail to unzip update_korva.7z."));
    ExpectSameTree(before, updater_test::SnapshotWithout(TreeSnapshot(tree.Host("")), "update/package_backup/"));
    EXPECT_EQ(journal, ReadHostFile(tree.Host(kJournal)));
    EXPECT_EQ(old.at("held.dll"), ReadHostFile(tree.Host(std::string(kBackup) + "held.dll")));
  }

  EXPECT_EQ(kUpdateOk, context->ApplyMainPackage()) << tree.Log();
  EXPECT_EQ(old.at("held.dll"), ReadHostFile(tree.Host("held.dll")));
  ExpectWholeVersion(tree, fresh);
}

// ---------------------------------------------------------------------------
// Journals and names.

// A killed run's last journal line may be cut anywhere, also inside a name
// that, cut short, names a real installed file or folder; a line may also
// announce a step that was never taken. Recovery undoes the step that was
// taken and takes out nothing else.
TEST(PackageTransactionFaults, ALastJournalLineCutInsideANameTakesNothingOut) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  struct Left {
    const char* what;
    std::string lines;  // after the header
  };
  const std::vector<Left> cases = {
      {"a new file's line cut short", "replace a.txt\nnew dir\\fi"},
      {"a replaced file's line cut short", "replace a.txt\nreplace dir\\fi"},
      {"a folder's line cut short", "replace a.txt\ndir dir\\em"},
      {"a replace announced but not taken", "replace a.txt\nreplace dir\\file.txt\n"},
  };
  for (const Left& left : cases) {
    SCOPED_TRACE(left.what);
    WriteFiles(tree, {{"a.txt", "new a"}, {"dir/fi", "installed fi"}, {"dir/file.txt", "installed file"}});
    fs::create_directories(tree.Host("dir/em"));
    WriteHostFile(tree.Host(std::string(kBackup) + "a.txt"), "old a");
    WriteHostFile(tree.Host(kJournal), "korva package journal 1\n" + left.lines);

    UpdateContext::Instance()->RecoverInterruptedPackage();
    EXPECT_EQ("old a", ReadHostFile(tree.Host("a.txt")));
    EXPECT_EQ("installed fi", ReadHostFile(tree.Host("dir/fi")));
    EXPECT_EQ("installed file", ReadHostFile(tree.Host("dir/file.txt")));
    EXPECT_TRUE(fs::is_directory(tree.Host("dir/em")));
    EXPECT_FALSE(HostExists(tree.Host("update/package_backup")));
  }
}

// The package spells an installed file in another case than the tree
// ("data\readme.txt" for "Data\Readme.TXT"); the move fails after that file
// was replaced: on update.json, which the move takes last. Undone, the file
// is there again with its installed spelling.
TEST(PackageTransactionFaults, AFileSpelledInAnotherCaseKeepsItsSpellingWhenUndone) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  WriteFiles(tree, VersionOf(tree, 100, {"Data/Readme.TXT", "Data/Other.txt", "zz.txt"}));
  tree.AddPackage("korva", 200, "korva.7z", VersionOf(tree, 200, {"data/readme.txt", "data/new.txt", "zz.txt"}));
  const Snapshot installed = TreeSnapshot(tree.Host(""));
  OwnerWindow owner;
  UpdateContext* context = UpdateContext::Instance();
  ASSERT_TRUE(context->LoadUpdateConfig() && context->CheckVersions());
  context->owner = &owner;

  {
    HeldFile last(tree.Host(kConfig));
    ASSERT_TRUE(last.held());
    EXPECT_EQ(kUpdateUnzipFailed, context->ApplyMainPackage());
  }
  ASSERT_TRUE(Has(tree.Log(), "cplus-module\\update.json into the install directory"))
      << "the move failed before it came to update.json\n" << tree.Log();

  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(tree.Host("Data"))) names.insert(entry.path().filename().string());
  EXPECT_EQ((std::set<std::string>{"Other.txt", "Readme.TXT"}), names);
  ExpectSameTree(installed, TreeSnapshot(tree.Host("")));
}

}  // namespace
