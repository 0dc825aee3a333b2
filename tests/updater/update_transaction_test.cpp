// Updaters that die or run side by side: a run killed during a package's
// move is undone by the next one, and two updaters started together never
// mix their work. The updaters are this program placed as the installed
// update.exe, each run doing what the update window's run does with the
// main package.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "support/e2e_process.h"
#include "updater/KorvaUpdateWnd.h"
#include "updater/package_lock.h"
#include "updater/update_context.h"
#include "updater_test_util.h"

namespace {

using testing_support::HostExists;
using testing_support::ProgramRun;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;
using updater_test::InstallTree;
using updater_test::kBusyLine;
using updater_test::OwnerWindow;
using updater_test::ExpectWholeVersion;
using Files = std::map<std::string, std::string>;
namespace fs = std::filesystem;

const char kConfig[] = "resources/cplus-module/update.json";
// A run's result when the service offered nothing newer.
const int kNothingNewer = updater_test::kNoNewerPackage;
const int kRunTimeoutMs = 60000;

// The update window as update.exe shows it: its "windowinit" runs the whole
// flow, and its message loop ends with the run.
void RunUpdateWindow() {
  DuiLib::CPaintManagerUI::SetResourcePath(win32::ToWindowsPath(std::string(KORVA_DIST_DIR) + "/skin").c_str());
  DuiLib::CPaintManagerUI::SetResourceZip(L"skin.zip", false);
  KorvaUpdateWnd window;
  // WS_POPUP | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_CAPTION | WS_SYSMENU
  HWND hwnd = window.Create(NULL, L"Korva更新", 0x96C80000, 0);
  ASSERT_NE(nullptr, hwnd);
  window.ShowWindow(true, true);
  DuiLib::CPaintManagerUI::MessageLoop();
  if (IsWindow(hwnd)) DestroyWindow(hwnd);
}

// In a placed updater: the update window's whole run ("window"), or undo what
// an earlier run left, then check and apply the main package, as a run of the
// update window does; the result goes to the file the starter named.
bool RunRoleIfPlaced() {
  const std::string role = updater_test::EnterPlacedRole();
  if (role.empty()) return false;
  if (role == "window") {
    RunUpdateWindow();
    updater_test::ReportPlacedResult(0);
    return true;
  }
  UpdateContext* context = UpdateContext::Instance();
  int result = kNothingNewer;
  if (role.rfind("apply", 0) == 0) {
    OwnerWindow owner;
    result = updater_test::ApplyMainPackageAsTheWindowDoes(&owner);
  } else {
    context->RecoverInterruptedPackage();
  }
  if (role == "apply-hold") {
    // Stands for the version write-back that follows a package: the lock is
    // let go once the starter says so.
    const std::string resultFile = getenv(updater_test::kPlacedResultVariable);
    updater_test::ReportWhole(resultFile + ".applied", std::to_string(result));
    EXPECT_TRUE(testing_support::WaitUntil([&] { return HostExists(resultFile + ".release"); }, kRunTimeoutMs));
    context->ReleasePackageLock();
  }
  updater_test::ReportPlacedResult(result);
  return true;
}

void StartRole(ProgramRun* run, const InstallTree& tree, const std::string& role, const std::string& resultFile) {
  ASSERT_TRUE(updater_test::StartPlacedRole(run, tree, role, resultFile)) << role;
}

int RunRole(const InstallTree& tree, const std::string& role, const std::string& resultFile) {
  return updater_test::RunPlacedRole(tree, role, resultFile, kRunTimeoutMs);
}

void PlaceUpdater(const InstallTree& tree) { updater_test::PlaceUpdaterProgram(tree); }

// `count` files of one version, and update.json naming it.
Files VersionFiles(const InstallTree& tree, int version, int count) {
  Files files;
  for (int i = 0; i < count; ++i) {
    files["data/" + std::to_string(i % 10) + "/file" + std::to_string(i) + ".txt"] =
        "version " + std::to_string(version) + " of file " + std::to_string(i);
  }
  files["korva.exe"] = "main program " + std::to_string(version);
  files[kConfig] = tree.ProductConfigText(100, version, 100);
  return files;
}

size_t LinesOf(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

// Runs the placed updater on the package and kills it once its journal has
// `lines` lines: inside its move.
void KillApplyAfter(const InstallTree& tree, const testing_support::TempMachine& machine, size_t lines) {
  const std::string journal = tree.Host("update/package_backup/1.journal");
  ProgramRun killed;
  StartRole(&killed, tree, "apply", machine.dir() + "/killed.result");
  ASSERT_TRUE(testing_support::WaitUntil(
      [&] { return LinesOf(ReadHostFile(journal)) >= lines || !killed.Running(); }, kRunTimeoutMs));
  killed.Kill();
  const std::string left = ReadHostFile(journal);
  ASSERT_GE(LinesOf(left), lines) << "the run ended before its move: "
                                  << ReadHostFile(machine.dir() + "/killed.result.out");
  ASSERT_EQ(std::string::npos, left.find("\ndone\n")) << "the run finished its move before it was killed";
}

// 3,000 files of version 100 installed (*old), and version 200 of them
// published as the main package, which is returned.
Files InstallAndPublish(InstallTree& tree, Files* old) {
  *old = VersionFiles(tree, 100, 3000);
  for (const auto& file : *old) WriteHostFile(tree.Host(file.first), file.second);
  const Files fresh = VersionFiles(tree, 200, 3000);
  tree.AddPackage("korva", 200, "korva.7z", fresh);
  return fresh;
}

TEST(PackageTransaction, AKilledRunIsUndoneByTheNextWhichThenAppliesTheUpdateWhole) {
  if (RunRoleIfPlaced()) return;
  testing_support::TempMachine machine;
  InstallTree tree;
  PlaceUpdater(tree);
  Files old;
  const Files fresh = InstallAndPublish(tree, &old);
  const auto installed = updater_test::TreeSnapshot(tree.Host(""));

  // Killed once its move has begun.
  ASSERT_NO_FATAL_FAILURE(KillApplyAfter(tree, machine, 50));
  EXPECT_NE(installed, updater_test::TreeSnapshot(tree.Host("")));

  // The next run undoes it before it reads anything: the old version, whole,
  // and an update.json that names it.
  EXPECT_EQ(kNothingNewer, RunRole(tree, "recover", machine.dir() + "/recover.result"));
  EXPECT_EQ(installed, updater_test::TreeSnapshot(tree.Host("")));
  EXPECT_EQ(old.at(kConfig), ReadHostFile(tree.Host(kConfig)));
  EXPECT_TRUE(updater_test::CountOf(tree.Log(), "undo the package update that did not finish .") >= 1);

  // So the update is offered again, and goes in whole.
  EXPECT_EQ(kUpdateOk, RunRole(tree, "apply", machine.dir() + "/apply.result"));
  ExpectWholeVersion(tree, fresh);
}

size_t FilesBelow(const std::string& dir) {
  size_t count = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    count += it->is_regular_file();
  }
  return count;
}

// Kills a recovering run once at most `left` files remain in the backup.
// The run is stopped while the test counts, so it cannot go far past that.
size_t KillRecoveryAt(const InstallTree& tree, const std::string& resultFile, size_t left) {
  const std::string backup = tree.Host("update/package_backup/1");
  ProgramRun run;
  StartRole(&run, tree, "recover", resultFile);
  size_t count = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRunTimeoutMs);
  while (run.Running() && std::chrono::steady_clock::now() < deadline) {
    kill(run.pid(), SIGSTOP);
    count = FilesBelow(backup);
    if (count <= left) break;
    kill(run.pid(), SIGCONT);
    usleep(300);
  }
  run.Kill();
  return FilesBelow(backup);
}

// The power fails again and again while a run undoes what a killed run
// left: in the middle of putting the originals back, and once they are
// back. Whichever run gets to the end leaves the old version whole, and the
// update then goes in whole.
TEST(PackageTransaction, RecoveryKilledPartWayIsTakenUpByTheNextRun) {
  if (RunRoleIfPlaced()) return;
  testing_support::TempMachine machine;
  InstallTree tree;
  PlaceUpdater(tree);
  Files old;
  const Files fresh = InstallAndPublish(tree, &old);
  const auto installed = updater_test::TreeSnapshot(tree.Host(""));

  ASSERT_NO_FATAL_FAILURE(KillApplyAfter(tree, machine, 2000));
  const size_t saved = FilesBelow(tree.Host("update/package_backup/1"));
  ASSERT_GE(saved, 1500u);

  const size_t first = KillRecoveryAt(tree, machine.dir() + "/recover1.result", saved * 2 / 3);
  EXPECT_GT(first, 0u) << "the first recovery ended before it was killed";
  EXPECT_LT(first, saved);
  const size_t second = KillRecoveryAt(tree, machine.dir() + "/recover2.result", first / 2);
  EXPECT_GT(second, 0u) << "the second recovery ended before it was killed";
  EXPECT_LT(second, first);
  // Once every original is back: the new files may be half taken out, the
  // journal not yet marked.
  KillRecoveryAt(tree, machine.dir() + "/recover3.result", 0);

  EXPECT_EQ(kNothingNewer, RunRole(tree, "recover", machine.dir() + "/recover.result"));
  EXPECT_EQ(installed, updater_test::TreeSnapshot(tree.Host("")));
  EXPECT_EQ(kUpdateOk, RunRole(tree, "apply", machine.dir() + "/apply.result"));
  ExpectWholeVersion(tree, fresh);
}

// The lock is held past the package's move, for what the run still writes:
// a second updater started then neither applies nor undoes anything.
TEST(PackageTransaction, TheLockIsHeldUntilTheRunLetsItGo) {
  if (RunRoleIfPlaced()) return;
  testing_support::TempMachine machine;
  InstallTree tree;
  PlaceUpdater(tree);
  for (const auto& file : VersionFiles(tree, 100, 20)) WriteHostFile(tree.Host(file.first), file.second);
  const Files fresh = VersionFiles(tree, 200, 20);
  tree.AddPackage("korva", 200, "korva.7z", fresh);

  const std::string held = machine.dir() + "/held.result";
  ProgramRun first;
  StartRole(&first, tree, "apply-hold", held);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return HostExists(held + ".applied") || !first.Running(); },
                                         kRunTimeoutMs));
  ASSERT_EQ(std::to_string(kUpdateOk), ReadHostFile(held + ".applied"));
  EXPECT_EQ(kNothingNewer, RunRole(tree, "recover", machine.dir() + "/second.result"));
  EXPECT_EQ(1, updater_test::CountOf(tree.Log(), kBusyLine));

  WriteHostFile(held + ".release", "");
  int code = -1;
  ASSERT_TRUE(first.Wait(kRunTimeoutMs, &code));
  EXPECT_EQ(0, code);
  EXPECT_EQ(kNothingNewer, RunRole(tree, "recover", machine.dir() + "/third.result"));
  EXPECT_EQ(1, updater_test::CountOf(tree.Log(), kBusyLine));
  ExpectWholeVersion(tree, fresh);
}

// The version that an update.json's text names for the main package.
std::string MainVersionIn(const std::string& config) {
  Json::Value root;
  Json::Reader reader;
  if (!reader.parse(config, root) || !root.isObject() || !root["updatekorva"].isObject()) return "<unreadable>";
  return root["updatekorva"]["version"].asString();
}

// Makes the updaters' logs read-only, or writable again.
void SetLogsReadOnly(bool readOnly) {
  const std::string dir = updater_test::HostOf(UpdateContext::Instance()->GetWorkDir());
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("Update", 0) != 0 || entry.path().extension() != ".log") continue;
    EXPECT_TRUE(SetFileAttributesW(win32::ToWindowsPath(entry.path().string()).c_str(),
                                   readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL));
  }
}

// The update window's run keeps the lock from the main package's move until
// the version is written back: until then update.json still names the old
// version, and an updater let in would apply the package again. One started
// while the run waits for its statistics reply is refused, and the run still
// holds the lock when it comes to write the version back.
TEST(PackageTransaction, TheUpdateWindowKeepsTheLockUntilTheMainVersionIsWrittenBack) {
  if (RunRoleIfPlaced()) return;
  testing_support::TempMachine machine;
  InstallTree tree;
  PlaceUpdater(tree);
  for (const auto& file : VersionFiles(tree, 100, 20)) WriteHostFile(tree.Host(file.first), file.second);
  // The package brings no update.json: the run writes its version back.
  Files fresh = VersionFiles(tree, 200, 20);
  fresh.erase(kConfig);
  tree.AddPackage("korva", 200, "korva.7z", fresh);
  tree.service.HoldStatisticsReplies(true);

  ProgramRun first;
  const std::string firstResult = machine.dir() + "/first.result";
  StartRole(&first, tree, "window", firstResult);
  ASSERT_TRUE(testing_support::WaitUntil(
      [&] { return !tree.service.StatisticsPosts().empty() || !first.Running(); }, kRunTimeoutMs));
  const std::vector<testing_support::StatisticsPost> posts = tree.service.StatisticsPosts();
  ASSERT_EQ(1u, posts.size()) << ReadHostFile(firstResult + ".out");
  ASSERT_NE(std::string::npos, posts[0].body.find("&updateObj=1&errorCode=0&")) << posts[0].body;
  // Stopped while it waits for the reply, the run stays between the move and
  // the write-back however long the second updater takes.
  ASSERT_TRUE(testing_support::StopOutsideFileCalls(&first, 10000));
  ASSERT_EQ("100", MainVersionIn(ReadHostFile(tree.Host(kConfig))));
  const auto moved = updater_test::TreeSnapshot(tree.Host(""));

  const int refusedBefore = updater_test::CountOf(tree.Log(), kBusyLine);
  EXPECT_EQ(kUpdateDownloadFailed, RunRole(tree, "apply", machine.dir() + "/second.result"));
  EXPECT_GT(updater_test::CountOf(tree.Log(), kBusyLine), refusedBefore);
  EXPECT_EQ(moved, updater_test::TreeSnapshot(tree.Host("")));

  // Once its reply comes, the run's next file call waits at the gate. Its log
  // lines, refused by read-only logs before they get there, do not: that
  // call is the write-back's.
  SetLogsReadOnly(true);
  {
    testing_support::FileCallGate gate;
    ASSERT_TRUE(gate.closed());
    tree.service.HoldStatisticsReplies(false);
    first.Continue();
    ASSERT_TRUE(gate.WaitForCall(first.pid(), kRunTimeoutMs)) << "the run made no file call after its statistics";
    EXPECT_EQ("100", MainVersionIn(ReadHostFile(tree.Host(kConfig))));
    PackageLock lock;
    EXPECT_FALSE(lock.TryAcquire()) << "the lock was let go before the version was written back";
  }
  SetLogsReadOnly(false);

  int code = -1;
  ASSERT_TRUE(first.Wait(kRunTimeoutMs, &code)) << "the window's run did not end";
  EXPECT_EQ(0, code) << ReadHostFile(firstResult + ".out");
  ExpectWholeVersion(tree, fresh);
  EXPECT_EQ("200", MainVersionIn(ReadHostFile(tree.Host(kConfig))));
}

// A second click on the launcher: two updaters at once, round after round.
// One applies the package; the other applies it after the first, finds it
// applied, or reports that it could not download while the first held the
// package. Neither hangs, and the tree is always one whole version.
TEST(PackageTransaction, TwoUpdatersAtOnceNeverMixTheTree) {
  if (RunRoleIfPlaced()) return;
  testing_support::TempMachine machine;
  InstallTree tree;
  PlaceUpdater(tree);
  for (const auto& file : VersionFiles(tree, 100, 400)) WriteHostFile(tree.Host(file.first), file.second);
  int busy = 0;
  for (int round = 1; round <= 6; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const int version = 100 + round;
    const Files files = VersionFiles(tree, version, 400);
    tree.AddPackage("korva", version, "korva" + std::to_string(version) + ".7z", files);
    ProgramRun first, second;
    const std::string results = machine.dir() + "/round" + std::to_string(round);
    StartRole(&first, tree, "apply", results + "-first");
    StartRole(&second, tree, "apply", results + "-second");
    int codes[2] = {-1, -1};
    ASSERT_TRUE(first.Wait(kRunTimeoutMs, &codes[0])) << "an updater hangs";
    ASSERT_TRUE(second.Wait(kRunTimeoutMs, &codes[1])) << "an updater hangs";
    EXPECT_EQ(0, codes[0] + codes[1]);
    const int a = std::atoi(ReadHostFile(results + "-first").c_str());
    const int b = std::atoi(ReadHostFile(results + "-second").c_str());
    EXPECT_TRUE(a == kUpdateOk || b == kUpdateOk) << a << " " << b;
    for (int result : {a, b}) {
      EXPECT_TRUE(result == kUpdateOk || result == kNothingNewer || result == kUpdateDownloadFailed) << result;
      busy += result == kUpdateDownloadFailed;
    }
    ExpectWholeVersion(tree, files);
  }
  // Each refusal said why.
  const std::string log = tree.Log();
  EXPECT_EQ(busy, updater_test::CountOf(log, "fail to download update_korva.7z."));
  EXPECT_LE(busy, updater_test::CountOf(log, kBusyLine));
}

}  // namespace
