// The power fails at every point of a run that applies the main package
// while korva.exe runs, and once more right after such a run, in both ways a
// disk can lose unflushed data: the bytes dropped, or the new length kept
// with them zeroed. The product then writes a file the package brings where
// none stands yet, and the first recovery is cut too. Whatever the cuts leave,
// the next run's recovery leaves the product one whole version, with the
// product's own file, and the update then goes in whole. The updaters are
// this program placed as the installed update.exe; the power cut is the
// platform's.
#include <shellapi.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "internal/power_cut.h"
#include "support/stub_program.h"
#include "updater/update_context.h"
#include "updater_test_util.h"

namespace {

using testing_support::HostExists;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;
using updater_test::InstallTree;
using Files = std::map<std::string, std::string>;
namespace fs = std::filesystem;

const char kConfig[] = "resources/cplus-module/update.json";
const int kRunTimeoutMs = 60000;
// No run of the sweep comes near this many changes of names.
const int kMostChanges = 200;

// In a placed updater: "apply" does what a run of the update window does
// with the main package, "recover" what any run does first.
bool RunRoleIfPlaced() {
  const std::string role = updater_test::EnterPlacedRole();
  if (role.empty()) return false;
  int result = updater_test::kNoNewerPackage;
  if (role == "apply") {
    updater_test::OwnerWindow owner;
    result = updater_test::ApplyMainPackageAsTheWindowDoes(&owner);
  } else {
    UpdateContext::Instance()->RecoverInterruptedPackage();
  }
  updater_test::ReportPlacedResult(result);
  return true;
}

// Version 100 with the running stub as its korva.exe, and version 200, which
// replaces files, keeps some, and brings files of its own, in a folder of
// its own too. The package holds what version 200 changes.
struct Versions {
  Files old, fresh, package;
};

Versions MakeVersions(const InstallTree& tree) {
  Versions v;
  v.old = {{"korva.exe", ReadHostFile(testing_support::StubProgram())},
           {"data/a.txt", "a 100"},
           {"data/b.txt", "b 100"},
           {"readme.txt", "readme 100"},
           {kConfig, tree.ProductConfigText(100, 100, 100)}};
  v.package = {{"korva.exe", "main program 200"},
               {"data/a.txt", "a 200"},
               {"data/c.txt", "c 200"},
               {"plugins/net/route.dll", "route 200"},
               {kConfig, tree.ProductConfigText(100, 200, 100)}};
  v.fresh = v.old;
  for (const auto& file : v.package) v.fresh[file.first] = file.second;
  return v;
}

// A file's bytes as the trees below hold them: short text as it is, the
// rest (the stub's image) by its size and a hash, so that a message stays
// readable.
std::string Shown(const std::string& bytes) {
  if (bytes.size() < 400 && bytes.find('\0') == std::string::npos) return bytes;
  return std::to_string(bytes.size()) + " bytes, hash " + std::to_string(std::hash<std::string>()(bytes));
}

// A version as ProductTree shows it: its files and their folders.
Files TreeOf(const Files& files) {
  Files tree;
  for (const auto& file : files) {
    tree[file.first] = Shown(file.second);
    for (size_t slash = file.first.find('/'); slash != std::string::npos; slash = file.first.find('/', slash + 1))
      tree[file.first.substr(0, slash + 1)] = "";
  }
  return tree;
}

// What the user has of the product: every file and folder of the install
// directory, the updater's folder left out.
Files ProductTree(const InstallTree& tree) {
  Files found;
  const std::string root = tree.Host("");
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string relative = fs::relative(it->path(), root).string();
    if (relative == "update") {
      it.disable_recursion_pending();
    } else if (it->is_directory()) {
      found[relative + "/"] = "";
    } else {
      found[relative] = Shown(ReadHostFile(it->path().string()));
    }
  }
  return found;
}

// Names the entries where a tree differs from a version, for the message.
std::string Differences(const Files& found, const Files& expected) {
  std::string text;
  for (const auto& entry : found) {
    auto it = expected.find(entry.first);
    if (it == expected.end()) {
      text += " extra " + entry.first + ";";
    } else if (it->second != entry.second) {
      text += " changed " + entry.first + ";";
    }
  }
  for (const auto& entry : expected) {
    if (!found.count(entry.first)) text += " missing " + entry.first + ";";
  }
  return text;
}

// What lies below the updater's backup folder, for a message.
std::string BackupEntries(const InstallTree& tree) {
  const std::string root = tree.Host("update/package_backup");
  std::string text;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    text += " " + fs::relative(it->path(), root).string();
  }
  return text.empty() ? " nothing" : text;
}

// The version the product tree holds whole, with the update.json that names
// it, beside what the product wrote itself: 100 or 200, or 0 (with a failure
// that says how) when it is mixed.
int WholeVersion(const InstallTree& tree, const Versions& v, const Files& productOwn) {
  const Files found = ProductTree(tree);
  Files old = TreeOf(v.old), fresh = TreeOf(v.fresh);
  for (const auto& file : TreeOf(productOwn)) old[file.first] = fresh[file.first] = file.second;
  if (found == old) return 100;
  if (found == fresh) return 200;
  ADD_FAILURE() << "the recovery left no whole version; against 100:" << Differences(found, old)
                << "\nagainst 200:" << Differences(found, fresh) << "\nleft in the backup:" << BackupEntries(tree);
  return 0;
}

void ExpectVersion200(const InstallTree& tree, const Versions& v) {
  const Files found = ProductTree(tree);
  EXPECT_TRUE(found == TreeOf(v.fresh)) << "not version 200:" << Differences(found, TreeOf(v.fresh));
}

// What an applied update leaves in the backup while korva.exe runs: its old
// image, which cannot go yet, with the journal that says its transaction is
// done, for a later run to delete; nothing else.
void ExpectOnlyTheRunningImageKept(const InstallTree& tree, const Versions& v) {
  const std::string root = tree.Host("update/package_backup");
  EXPECT_FALSE(HostExists(tree.Host("update/update_korva")));
  int images = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string relative = fs::relative(it->path(), root).string();
    const size_t slash = relative.find('/');
    const std::string number = relative.substr(0, slash == std::string::npos ? relative.find('.') : slash);
    const bool kept = fs::is_regular_file(root + "/" + number + "/korva.exe");
    if (relative == number) {
      EXPECT_TRUE(kept) << "backup folder " << relative << " without the old image";
    } else if (relative == number + "/korva.exe") {
      ++images;
      EXPECT_TRUE(v.old.at("korva.exe") == ReadHostFile(it->path().string())) << relative << " is not the old image";
    } else if (relative == number + ".journal") {
      const std::string journal = ReadHostFile(it->path().string());
      EXPECT_TRUE(kept && journal.size() >= 5 && journal.compare(journal.size() - 5, 5, "done\n") == 0)
          << relative << " is left with no old image to keep or without its end: " << journal;
    } else {
      ADD_FAILURE() << relative << " is left in the backup";
    }
  }
  EXPECT_EQ(1, images) << "old images of korva.exe in the backup";
}

// korva.exe of the install directory started as the user starts it, run
// until the object goes.
class RunningProduct {
 public:
  RunningProduct() {
    const HINSTANCE started =
        ShellExecuteW(NULL, L"open", L"C:\\Program Files\\korva\\korva.exe", L"--stay", NULL, SW_SHOW);
    EXPECT_GT(reinterpret_cast<INT_PTR>(started), 32);
    const std::vector<Json::Value> runs = updater_test::WaitForStubRuns(1);
    if (runs.size() == 1) pid_ = runs[0]["pid"].asInt();
  }
  ~RunningProduct() { Stop(); }
  RunningProduct(const RunningProduct&) = delete;
  RunningProduct& operator=(const RunningProduct&) = delete;

  bool started() const { return pid_ > 0; }

  // Kills it and waits until its image is let go.
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    EXPECT_TRUE(testing_support::WaitUntil([&] { return kill(pid_, 0) != 0; }, 10000));
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// Runs a role with the power failing after its `changes`-th change of names
// or as it ends, in the given mode; its exit code.
int RunWithPowerCut(const InstallTree& tree, const std::string& role, int changes, const char* mode,
                    const std::string& resultFile) {
  testing_support::ProgramRun run;
  setenv(win32::kPowerCutVariable, std::to_string(changes).c_str(), 1);
  setenv(win32::kPowerCutModeVariable, mode, 1);
  const bool started = updater_test::StartPlacedRole(&run, tree, role, resultFile);
  unsetenv(win32::kPowerCutVariable);
  unsetenv(win32::kPowerCutModeVariable);
  int code = -1;
  EXPECT_TRUE(started && run.Wait(kRunTimeoutMs, &code)) << "the armed " << role << " did not start or end";
  return code;
}

// A file of the package that version 100 lacks: after a cut that left it
// unplaced, the product writes its own there.
const char kProductWrites[] = "data/c.txt";

void SweepPowerCuts(const char* mode) {
  int changes = 1;
  for (; changes <= kMostChanges; ++changes) {
    SCOPED_TRACE("power cut after change " + std::to_string(changes));
    testing_support::TempMachine machine;
    InstallTree tree;
    updater_test::PlaceUpdaterProgram(tree);
    const Versions v = MakeVersions(tree);
    for (const auto& file : v.old) WriteHostFile(tree.Host(file.first), file.second);
    tree.AddPackage("korva", 200, "korva.7z", v.package);
    RunningProduct product;
    ASSERT_TRUE(product.started());

    const int code = RunWithPowerCut(tree, "apply", changes, mode, machine.dir() + "/cut.result");
    // Not cut during the run: the power fails right after it, as it ends.
    const bool cutAtEnd = code != win32::kPowerCutExitCode;
    if (cutAtEnd) {
      ASSERT_EQ(0, code) << ReadHostFile(machine.dir() + "/cut.result.out");
      EXPECT_EQ(kUpdateOk, updater_test::PlacedResult(machine.dir() + "/cut.result"));
    }

    // The product runs on and writes its own file where the package's is
    // not; no undo may take it.
    Files productOwn;
    if (!HostExists(tree.Host(kProductWrites))) {
      productOwn[kProductWrites] = "written by the product";
      WriteHostFile(tree.Host(kProductWrites), productOwn[kProductWrites]);
    }

    // The next run recovers before anything else, and is cut itself, after
    // one of its first few changes or as it ends; the run after it finishes.
    RunWithPowerCut(tree, "recover", 1 + changes % 4, mode, machine.dir() + "/cut-recover.result");
    updater_test::RunPlacedRole(tree, "recover", machine.dir() + "/recover.result", kRunTimeoutMs);
    const int version = WholeVersion(tree, v, productOwn);
    // A run that finished was cut only as it ended: what it did stays.
    if (cutAtEnd) {
      EXPECT_EQ(200, version);
    }

    const int applied = updater_test::RunPlacedRole(tree, "apply", machine.dir() + "/apply.result", kRunTimeoutMs);
    EXPECT_EQ(version == 200 ? updater_test::kNoNewerPackage : kUpdateOk, applied);
    ExpectVersion200(tree, v);
    ExpectOnlyTheRunningImageKept(tree, v);

    // Once korva.exe is let go, the next run leaves nothing of any update.
    product.Stop();
    updater_test::RunPlacedRole(tree, "recover", machine.dir() + "/last.result", kRunTimeoutMs);
    EXPECT_FALSE(HostExists(tree.Host("update/package_backup")));
    ExpectVersion200(tree, v);
    if (cutAtEnd) break;
  }
  EXPECT_LE(changes, kMostChanges) << "every run was cut before its end";
}

TEST(PackagePowerCut, EveryCutThatDropsUnflushedBytesLeavesOneWholeVersionAndTheUpdateThenGoesIn) {
  if (RunRoleIfPlaced()) return;
  SweepPowerCuts("drop");
}

TEST(PackagePowerCut, EveryCutThatZeroesUnflushedBytesLeavesOneWholeVersionAndTheUpdateThenGoesIn) {
  if (RunRoleIfPlaced()) return;
  SweepPowerCuts("zero");
}

}  // namespace
