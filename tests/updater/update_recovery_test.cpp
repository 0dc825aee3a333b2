// What a run finds left of an earlier package transaction: journals cut
// short or missing lines, folders the product has since written into,
// leftovers still in use, journals that cannot be marked. Recovery puts every
// original back, never stops later updates for good, and never lets a new
// transaction start while an old one could be undone again.
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <shellapi.h>

#include "support/stub_program.h"
#include "updater/update_context.h"
#include "updater_test_util.h"

namespace {

using testing_support::HostExists;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;
using updater_test::HeldFile;
using updater_test::InstallTree;
using updater_test::OwnerWindow;
using Files = std::map<std::string, std::string>;
namespace fs = std::filesystem;

const char kConfig[] = "resources/cplus-module/update.json";
const char kHeader[] = "korva package journal 1\n";

bool Has(const std::string& text, const std::string& line) { return text.find(line) != std::string::npos; }

Files VersionFiles(const InstallTree& tree, int version, Files files) {
  files[kConfig] = tree.ProductConfigText(100, version, 100);
  return files;
}

void WriteFiles(const InstallTree& tree, const Files& files) {
  for (const auto& file : files) WriteHostFile(tree.Host(file.first), file.second);
}

void ExpectFiles(const InstallTree& tree, const Files& files) {
  for (const auto& file : files) EXPECT_EQ(file.second, ReadHostFile(tree.Host(file.first))) << file.first;
}

// The tree as a user sees it: the updater's own backup folder left out.
Files ProductSnapshot(const InstallTree& tree) {
  return updater_test::SnapshotWithout(updater_test::TreeSnapshot(tree.Host("")), "update/package_backup");
}

std::string Backup(const InstallTree& tree, const std::string& relative) {
  return tree.Host("update/package_backup/" + relative);
}

// An installed file renamed aside by transaction `n`, as its move does.
void RenameAside(const InstallTree& tree, int n, const std::string& relative) {
  const std::string saved = Backup(tree, std::to_string(n) + "/" + relative);
  fs::create_directories(fs::path(saved).parent_path());
  fs::rename(tree.Host(relative), saved);
}

// Publishes `fresh` as main package 200 and applies it; the step's result.
int ApplyMainPackage(InstallTree& tree, const Files& fresh) {
  tree.AddPackage("korva", 200, "korva.7z", fresh);
  OwnerWindow owner;
  UpdateContext* context = UpdateContext::Instance();
  if (!context->LoadUpdateConfig() || !context->CheckVersions()) return -1;
  context->owner = &owner;
  const int result = context->ApplyMainPackage();
  context->ReleasePackageLock();
  return result;
}

// Transaction 1 cut off over old a.txt and b.txt: a.txt replaced (the
// original in its backup) and n.txt brought. The tree as it was installed.
Files LeaveUnfinishedTransaction(const InstallTree& tree) {
  WriteFiles(tree, VersionFiles(tree, 100, {{"a.txt", "old a"}, {"b.txt", "old b"}}));
  const Files installed = ProductSnapshot(tree);
  RenameAside(tree, 1, "a.txt");
  WriteHostFile(tree.Host("a.txt"), "new a");
  WriteHostFile(tree.Host("n.txt"), "new n");
  WriteHostFile(Backup(tree, "1.journal"), std::string(kHeader) + "replace a.txt\nnew n.txt\n");
  return installed;
}

// Starts the installed program at `relative` (the product stub there), which
// runs until it is killed; its record.
Json::Value StartStayingProgram(const InstallTree& tree, const std::string& relative) {
  const size_t before = updater_test::StubRuns().size();
  std::wstring path = std::wstring(updater_test::kInstallLocation) + win32::Utf8ToWide(relative);
  std::replace(path.begin(), path.end(), L'/', L'\\');
  testing_support::InstallStub(tree.Host(relative));
  EXPECT_GT(reinterpret_cast<INT_PTR>(ShellExecuteW(NULL, L"open", path.c_str(), L"--stay", NULL, SW_SHOW)), 32);
  const std::vector<Json::Value> runs = updater_test::WaitForStubRuns(before + 1);
  return runs.size() > before ? runs.back() : Json::Value();
}

void KillProgram(const Json::Value& run) {
  const int pid = run["pid"].asInt();
  ASSERT_GT(pid, 0);
  ASSERT_EQ(0, kill(pid, SIGKILL));
  ASSERT_TRUE(testing_support::WaitUntil([&] { return kill(pid, 0) != 0; }, 10000));
}

// What the backup folder holds, by name.
std::set<std::string> BackupNames(const InstallTree& tree) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(tree.Host("update/package_backup"), ec)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// A transaction cut off by the power: its journal's last line only half
// written ("repl"), korva.exe replaced by a new one that now runs. Undoing it
// leaves the running image in the trash, which cannot go yet: the journal
// must still be closed, and read again by every later run.
TEST(PackageRecovery, ACutLastLineAndALeftoverInUseBlockNoLaterRun) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  const Files old = VersionFiles(tree, 100, {{"korva.exe", "old main"}, {"data/a.txt", "old a"}, {"data/c.txt", "c"}});
  WriteFiles(tree, old);
  const Files installed = ProductSnapshot(tree);

  RenameAside(tree, 1, "korva.exe");
  RenameAside(tree, 1, "data/a.txt");
  WriteHostFile(tree.Host("data/a.txt"), "new a");
  WriteHostFile(tree.Host("data/b.txt"), "new b");
  WriteHostFile(Backup(tree, "1.journal"),
                std::string(kHeader) + "replace korva.exe\nreplace data\\a.txt\nnew data\\b.txt\nrepl");
  const Json::Value running = StartStayingProgram(tree, "korva.exe");
  ASSERT_TRUE(running.isObject());

  UpdateContext::Instance()->RecoverInterruptedPackage();
  EXPECT_EQ(installed, ProductSnapshot(tree));
  const std::string journal = ReadHostFile(Backup(tree, "1.journal"));
  EXPECT_EQ(std::string(kHeader) + "replace korva.exe\nreplace data\\a.txt\nnew data\\b.txt\nundone\n", journal);
  EXPECT_TRUE(testing_support::ReadHostFile(testing_support::StubProgram()) ==
              ReadHostFile(Backup(tree, "1.trash/korva.exe")))
      << "the running image is not in the trash";

  // Runs after it find the journal closed: the update goes in.
  UpdateContext::Instance()->RecoverInterruptedPackage();
  EXPECT_EQ(installed, ProductSnapshot(tree));
  const Files fresh = VersionFiles(tree, 200, {{"korva.exe", "new main"}, {"data/a.txt", "new a"}});
  EXPECT_EQ(kUpdateOk, ApplyMainPackage(tree, fresh)) << tree.Log();
  ExpectFiles(tree, fresh);
  EXPECT_EQ("c", ReadHostFile(tree.Host("data/c.txt")));

  // Once the old image is let go, nothing of either transaction is left.
  KillProgram(running);
  UpdateContext::Instance()->RecoverInterruptedPackage();
  EXPECT_FALSE(HostExists(tree.Host("update/package_backup")));
  ExpectFiles(tree, fresh);
}

// A power cut tore the journals' unflushed tails. Transaction 1's journal
// keeps its flushed head (the files it brings), then zeros, then a later
// page with a replace line; it had replaced a.txt and placed n.exe, which now
// runs, but not yet m.txt, which the product has since written itself.
// Transaction 2's journal is nothing but zeros: it had only renamed b.txt
// aside. Both are read up to the tear and undone; no journal is set aside,
// the product's m.txt stays, and the undone mark follows the head, where
// later runs read it: they undo nothing again.
TEST(PackageRecovery, AJournalTornInItsUnflushedTailIsReadUpToTheTear) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  const Files old = VersionFiles(tree, 100, {{"a.txt", "old a"}, {"b.txt", "old b"}});
  WriteFiles(tree, old);
  RenameAside(tree, 1, "a.txt");
  WriteHostFile(tree.Host("a.txt"), "new a");
  WriteHostFile(Backup(tree, "1.staged/m.txt"), "new m");
  const std::string head = std::string(kHeader) + "new n.exe\nnew m.txt\n";
  WriteHostFile(Backup(tree, "1.journal"), head + std::string(64, '\0') + "replace a.txt\n");
  RenameAside(tree, 2, "b.txt");
  WriteHostFile(tree.Host("b.txt"), "new b");
  WriteHostFile(Backup(tree, "2.journal"), std::string(100, '\0'));
  const Json::Value running = StartStayingProgram(tree, "n.exe");
  ASSERT_TRUE(running.isObject());
  WriteHostFile(tree.Host("m.txt"), "the product's m");
  Files expected = old;
  expected["m.txt"] = "the product's m";
  const Files installed = ProductSnapshot(tree);

  UpdateContext::Instance()->RecoverInterruptedPackage();
  ExpectFiles(tree, expected);
  EXPECT_FALSE(HostExists(tree.Host("n.exe")));
  EXPECT_EQ(std::set<std::string>({"1.journal", "1.staged"}), BackupNames(tree));
  EXPECT_EQ(head + "undone\n", ReadHostFile(Backup(tree, "1.journal")));

  const int undone = updater_test::CountOf(tree.Log(), "undo the package update that did not finish .");
  UpdateContext::Instance()->RecoverInterruptedPackage();
  EXPECT_EQ(undone, updater_test::CountOf(tree.Log(), "undo the package update that did not finish ."));
  ExpectFiles(tree, expected);
  KillProgram(running);
  UpdateContext::Instance()->RecoverInterruptedPackage();
  EXPECT_FALSE(HostExists(tree.Host("update/package_backup")));
  const Files fresh = VersionFiles(tree, 200, {{"a.txt", "fresh a"}, {"m.txt", "fresh m"}});
  EXPECT_EQ(kUpdateOk, ApplyMainPackage(tree, fresh)) << tree.Log();
  ExpectFiles(tree, fresh);
}

// The journal is not flushed line by line: after a power cut the renames
// may be there while the lines that announced them are not, or the journal
// is gone or unreadable. Every original in a backup folder goes back.
TEST(PackageRecovery, OriginalsThatNoJournalLineNamesArePutBack) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  const Files old = VersionFiles(tree, 100, {{"korva.exe", "old main"},
                                             {"data/a.txt", "old a"},
                                             {"data/b.txt", "old b"},
                                             {"lib/x.dll", "old x"},
                                             {"lib/y.dll", "old y"}});
  WriteFiles(tree, old);
  const Files installed = ProductSnapshot(tree);

  // Transaction 1: only its first line reached the disk. b.txt was
  // replaced, korva.exe was renamed aside and its new file never came.
  RenameAside(tree, 1, "data/a.txt");
  WriteHostFile(tree.Host("data/a.txt"), "new a");
  RenameAside(tree, 1, "data/b.txt");
  WriteHostFile(tree.Host("data/b.txt"), "new b");
  RenameAside(tree, 1, "korva.exe");
  WriteHostFile(Backup(tree, "1.journal"), std::string(kHeader) + "replace data\\a.txt\n");
  // Transaction 2 lost its journal; 3 has one that is not a journal at all.
  RenameAside(tree, 2, "lib/x.dll");
  WriteHostFile(tree.Host("lib/x.dll"), "new x");
  RenameAside(tree, 3, "lib/y.dll");
  WriteHostFile(Backup(tree, "3.journal"), "not a journal\n");

  UpdateContext::Instance()->RecoverInterruptedPackage();
  EXPECT_EQ(installed, ProductSnapshot(tree));
  ExpectFiles(tree, old);
  EXPECT_TRUE(Has(tree.Log(), "3.journal cannot be read, its backup is put back and it is set aside ."));
  // Only the unreadable journal stays, under another name, for whoever
  // wants to know what happened.
  EXPECT_EQ("not a journal\n", ReadHostFile(Backup(tree, "3.journal.unreadable")));
  EXPECT_EQ(1, std::distance(fs::directory_iterator(tree.Host("update/package_backup")), fs::directory_iterator()));

  const Files fresh = VersionFiles(tree, 200, {{"korva.exe", "new main"}, {"lib/y.dll", "new y"}});
  EXPECT_EQ(kUpdateOk, ApplyMainPackage(tree, fresh)) << tree.Log();
  ExpectFiles(tree, fresh);
  EXPECT_EQ("old x", ReadHostFile(tree.Host("lib/x.dll")));
}

// After an interrupted update the product wrote its log into a folder that
// the package had made: the folder stays, the rest is undone, and the
// update goes in on the same run.
TEST(PackageRecovery, AFolderThePackageMadeThatNowHoldsOtherFilesStays) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  const Files old = VersionFiles(tree, 100, {{"a.txt", "old a"}});
  WriteFiles(tree, old);
  RenameAside(tree, 1, "a.txt");
  WriteHostFile(tree.Host("a.txt"), "new a");
  WriteHostFile(tree.Host("logs/deep/new.txt"), "new");
  WriteHostFile(tree.Host("logs/product.log"), "written by the product");
  WriteHostFile(Backup(tree, "1.journal"), std::string(kHeader) +
                                               "dir logs\ndir logs\\deep\nnew logs\\deep\\new.txt\nreplace a.txt\n");

  const Files fresh = VersionFiles(tree, 200, {{"a.txt", "fresh a"}, {"logs/deep/new.txt", "fresh"}});
  EXPECT_EQ(kUpdateOk, ApplyMainPackage(tree, fresh)) << tree.Log();
  ExpectFiles(tree, fresh);
  EXPECT_EQ("written by the product", ReadHostFile(tree.Host("logs/product.log")));
  EXPECT_FALSE(HostExists(tree.Host("update/package_backup")));
}

// The undo is whole, but its journal is held open by another program and
// can be neither marked nor deleted: it would be undone again by a later run,
// after a new transaction, and take that one's files with it. So no new
// transaction starts until the journal is closed.
TEST(PackageRecovery, AJournalThatCannotBeMarkedUndoneStopsLaterTransactions) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  const Files installed = LeaveUnfinishedTransaction(tree);

  HeldFile reader(Backup(tree, "1.journal"), GENERIC_READ, FILE_SHARE_READ);
  ASSERT_TRUE(reader.held());
  const Files fresh = VersionFiles(tree, 200, {{"a.txt", "fresh a"}, {"n.txt", "fresh n"}, {"b.txt", "fresh b"}});
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(kUpdateUnzipFailed, ApplyMainPackage(tree, fresh));
    EXPECT_EQ(installed, ProductSnapshot(tree));
  }
  EXPECT_TRUE(Has(tree.Log(), "fail to mark"));
  EXPECT_TRUE(Has(tree.Log(), "fail to unzip update_korva.7z."));
  reader.LetGo();

  EXPECT_EQ(kUpdateOk, ApplyMainPackage(tree, fresh)) << tree.Log();
  ExpectFiles(tree, fresh);
  // And no later run takes the new version's files back out.
  UpdateContext::Instance()->RecoverInterruptedPackage();
  ExpectFiles(tree, fresh);
  EXPECT_FALSE(HostExists(tree.Host("update/package_backup")));
}

// A reader that shares the journal for deleting but not for writing: it
// cannot be marked undone, but it can go, and with it the last trace of the
// transaction once the undo is whole. So the update goes in on the same step,
// and no later run finds anything to undo.
TEST(PackageRecovery, AJournalThatCanOnlyBeDeletedGoesOnceTheUndoIsWhole) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  LeaveUnfinishedTransaction(tree);
  const Files fresh = VersionFiles(tree, 200, {{"a.txt", "fresh a"}, {"n.txt", "fresh n"}});
  {
    HeldFile reader(Backup(tree, "1.journal"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
    ASSERT_TRUE(reader.held());
    EXPECT_EQ(kUpdateOk, ApplyMainPackage(tree, fresh)) << tree.Log();
    ExpectFiles(tree, fresh);
    EXPECT_FALSE(HostExists(Backup(tree, "1.journal")));
  }
  UpdateContext::Instance()->RecoverInterruptedPackage();
  ExpectFiles(tree, fresh);
  EXPECT_EQ("old b", ReadHostFile(tree.Host("b.txt")));
  EXPECT_FALSE(HostExists(tree.Host("update/package_backup")));
}

// A journal that another program holds without letting it be read says
// nothing of what its transaction did: nothing is undone by guess, and no new
// transaction starts over it. The step fails and leaves the tree, backup and
// journal as they are; once the journal is let go, the update goes in.
TEST(PackageRecovery, AJournalThatCannotBeReadStopsLaterTransactions) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  const Files fresh = VersionFiles(tree, 200, {{"a.txt", "fresh a"}});
  struct Holder {
    const char* what;
    DWORD access;
    DWORD share;
  };
  for (const Holder& holder : {Holder{"a writer sharing nothing", GENERIC_READ | GENERIC_WRITE, 0},
                               Holder{"a writer sharing only writing", GENERIC_WRITE, FILE_SHARE_WRITE}}) {
    SCOPED_TRACE(holder.what);
    LeaveUnfinishedTransaction(tree);
    const Files left = updater_test::TreeSnapshot(tree.Host(""));
    {
      HeldFile journal(Backup(tree, "1.journal"), holder.access, holder.share);
      ASSERT_TRUE(journal.held());
      EXPECT_EQ(kUpdateUnzipFailed, ApplyMainPackage(tree, fresh));
      EXPECT_EQ(left, updater_test::TreeSnapshot(tree.Host("")));
    }
    EXPECT_EQ(kUpdateOk, ApplyMainPackage(tree, fresh)) << tree.Log();
    ExpectFiles(tree, fresh);
    EXPECT_EQ("old b", ReadHostFile(tree.Host("b.txt")));
    EXPECT_FALSE(HostExists(tree.Host("n.txt")));
    EXPECT_FALSE(HostExists(tree.Host("update/package_backup")));
  }
}

// Unfinished transactions left by an updater that did not yet keep them
// apart: each is undone on the tree the newer ones left, so the newest goes
// first, and "10" is newer than "9".
TEST(PackageRecovery, TheNewestTransactionIsUndoneFirst) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  const Files old = VersionFiles(tree, 100, {{"a.txt", "version 1"}});
  WriteFiles(tree, old);
  int version = 1;
  for (int n : {2, 9, 10}) {
    RenameAside(tree, n, "a.txt");
    WriteHostFile(tree.Host("a.txt"), "version " + std::to_string(++version));
    WriteHostFile(Backup(tree, std::to_string(n) + ".journal"), std::string(kHeader) + "replace a.txt\n");
  }

  UpdateContext::Instance()->RecoverInterruptedPackage();
  ExpectFiles(tree, old);
  EXPECT_FALSE(HostExists(tree.Host("update/package_backup")));
}

// Transaction 1 replaced a.txt and brought n.txt; transaction 2 then replaced
// both. The original n.txt that 2 must put back is held by another program:
// 2 cannot be undone yet, and 1, whose undo is only right on the tree 2 left
// it, is not touched. Were 1 undone now, it would find no n.txt to take out,
// and 2 would later put back an n.txt that was never installed.
TEST(PackageRecovery, AnOlderTransactionWaitsWhileANewerOneCannotBeUndone) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  const Files old = VersionFiles(tree, 100, {{"a.txt", "a 0"}});
  WriteFiles(tree, old);
  const Files installed = ProductSnapshot(tree);
  RenameAside(tree, 1, "a.txt");
  WriteHostFile(tree.Host("a.txt"), "a 1");
  WriteHostFile(tree.Host("n.txt"), "n 1");
  const std::string first = std::string(kHeader) + "replace a.txt\nnew n.txt\n";
  WriteHostFile(Backup(tree, "1.journal"), first);
  RenameAside(tree, 2, "a.txt");
  WriteHostFile(tree.Host("a.txt"), "a 2");
  RenameAside(tree, 2, "n.txt");
  WriteHostFile(tree.Host("n.txt"), "n 2");
  WriteHostFile(Backup(tree, "2.journal"), std::string(kHeader) + "replace a.txt\nreplace n.txt\n");

  {
    HeldFile original(Backup(tree, "2/n.txt"));
    ASSERT_TRUE(original.held());
    UpdateContext::Instance()->RecoverInterruptedPackage();
    EXPECT_EQ("a 1", ReadHostFile(tree.Host("a.txt")));
    EXPECT_EQ(first, ReadHostFile(Backup(tree, "1.journal")));
    EXPECT_EQ("a 0", ReadHostFile(Backup(tree, "1/a.txt")));
    EXPECT_EQ("n 1", ReadHostFile(Backup(tree, "2/n.txt")));
  }

  UpdateContext::Instance()->RecoverInterruptedPackage();
  EXPECT_EQ(installed, ProductSnapshot(tree));
  EXPECT_FALSE(HostExists(tree.Host("update/package_backup")));
}

// A new transaction is numbered above everything a transaction left in the
// backup folder, even where lower numbers are free: were it given a number
// below a leftover, it would count as the older one, and given the number of
// one, their undo would mix. Here the old korva.exe runs while the update
// replaces it: the finished transaction keeps its image, and its journal,
// until it ends, which shows the number it was given.
TEST(PackageRecovery, ANewTransactionIsNumberedAboveEveryLeftover) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  const Files fresh = VersionFiles(tree, 200, {{"korva.exe", "new main"}});
  struct Leftover {
    const char* what;
    std::string file;  // below the backup folder
    bool inUse;        // held open, so that recovery cannot remove it
    std::string next;  // the number the new transaction takes
  };
  const std::vector<Leftover> cases = {
      {"a trash folder without its journal, in use", "5.trash/korva.dll", true, "6"},
      {"a journal set aside as unreadable", "7.journal.unreadable", false, "8"},
  };
  for (const Leftover& leftover : cases) {
    SCOPED_TRACE(leftover.what);
    WriteFiles(tree, VersionFiles(tree, 100, {}));
    WriteHostFile(Backup(tree, leftover.file), "left");
    std::unique_ptr<HeldFile> held;
    if (leftover.inUse) held.reset(new HeldFile(Backup(tree, leftover.file)));
    const Json::Value running = StartStayingProgram(tree, "korva.exe");
    ASSERT_TRUE(running.isObject());

    EXPECT_EQ(kUpdateOk, ApplyMainPackage(tree, fresh)) << tree.Log();
    ExpectFiles(tree, fresh);
    const std::string top = fs::path(leftover.file).begin()->string();
    EXPECT_EQ((std::set<std::string>{top, leftover.next, leftover.next + ".journal"}), BackupNames(tree));
    EXPECT_TRUE(ReadHostFile(testing_support::StubProgram()) == ReadHostFile(Backup(tree, leftover.next + "/korva.exe")))
        << "the running image is not in the new transaction's backup";

    KillProgram(running);
    UpdateContext::Instance()->RecoverInterruptedPackage();
    EXPECT_EQ((std::set<std::string>{top}), BackupNames(tree));
    held.reset();
    fs::remove_all(tree.Host("update/package_backup"));
  }
}

}  // namespace
