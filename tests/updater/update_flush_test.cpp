// What the updater writes to the disk, and on which thread: a package's
// staged files with one flush of the install volume (file by file where the
// volume cannot be opened), its own files at the start of every run, and
// neither on the window's thread, which keeps answering on a slow disk.
#include <stdlib.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "internal/power_cut.h"
#include "internal/volumes.h"
#include "updater/update_context.h"
#include "updater_test_util.h"

namespace {

using testing_support::ReadHostFile;
using testing_support::WriteHostFile;
using updater_test::InstallTree;
using updater_test::OwnerWindow;
using Clock = std::chrono::steady_clock;

using testing_support::ScopedVariable;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "\n  " + line;
  return text;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Backslashed(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

const std::map<std::string, std::string> kPackage = {
    {"korva.exe", "main 200"}, {"data/a.txt", "a 200"}, {"data/b.txt", "b 200"}, {"plugins/p.dll", "p 200"}};

// Applies the main package `version` with every flush logged; the log's lines.
std::vector<std::string> ApplyLoggingFlushes(InstallTree& tree, int version) {
  tree.AddPackage("korva", version, "korva-" + std::to_string(version) + ".7z", kPackage);
  const std::string log = updater_test::MachineDir() + "/flushes-" + std::to_string(version) + ".log";
  OwnerWindow owner;
  UpdateContext* context = UpdateContext::Instance();
  EXPECT_TRUE(context->LoadUpdateConfig() && context->CheckVersions());
  context->owner = &owner;
  {
    ScopedVariable logged(win32::kFlushLogVariable, log);
    EXPECT_EQ(kUpdateOk, context->ApplyMainPackage()) << tree.Log();
  }
  context->owner = nullptr;
  context->ReleasePackageLock();
  for (const auto& file : kPackage) EXPECT_EQ(file.second, ReadHostFile(tree.Host(file.first))) << file.first;
  return Lines(ReadHostFile(log));
}

// Where the first of the transaction's own flushes (its journal) comes;
// the lines' count when there is none.
size_t FirstJournalFlush(const std::vector<std::string>& lines) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find("package_backup") != std::string::npos && EndsWith(lines[i], ".journal")) return i;
  }
  return lines.size();
}

TEST(PackageFlush, APackageCostsOneVolumeFlushOrOneFlushPerFileWithoutTheVolume) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;

  // The install volume is flushed once, before the journal's first flush,
  // and no file of the package on its own.
  std::vector<std::string> lines = ApplyLoggingFlushes(tree, 200);
  int volumes = 0, files = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == "volume C:") {
      ++volumes;
      EXPECT_LT(i, FirstJournalFlush(lines));
    }
    for (const auto& file : kPackage) files += EndsWith(lines[i], Backslashed(file.first)) ? 1 : 0;
  }
  EXPECT_EQ(1, volumes) << Joined(lines);
  EXPECT_EQ(0, files) << Joined(lines);

  // Without leave to open the volume, each staged file is flushed once
  // where it was unpacked, all before the journal's first flush.
  ScopedVariable denied(win32::kNoVolumeAccessVariable, "1");
  lines = ApplyLoggingFlushes(tree, 201);
  const size_t journal = FirstJournalFlush(lines);
  for (const auto& file : kPackage) {
    const std::string staged = "\\update\\update_korva\\" + Backslashed(file.first);
    int flushes = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_NE(0u, lines[i].find("volume")) << lines[i];
      if (EndsWith(lines[i], staged)) {
        ++flushes;
        EXPECT_LT(i, journal) << lines[i];
      }
    }
    EXPECT_EQ(1, flushes) << file.first << Joined(lines);
  }
}

// Stands in for the update window and notes when each tick of its timer is
// handled: the longest time between two, or between the call's start or end
// and the nearest tick, is the longest the window did not answer.
class TickTimes : public OwnerWindow {
 public:
  TickTimes() : OwnerWindow(10) {}

  // Runs call and measures that time.
  template <class Call>
  double LongestGapMsDuring(Call call) {
    ticks_.clear();
    ticks_.push_back(Clock::now());
    call();
    ticks_.push_back(Clock::now());
    double longest = 0;
    for (size_t i = 1; i < ticks_.size(); ++i) {
      longest = std::max(longest, std::chrono::duration<double, std::milli>(ticks_[i] - ticks_[i - 1]).count());
    }
    return longest;
  }

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override {
    if (msg == WM_TIMER && wParam == kUpdateProgressTimer) ticks_.push_back(Clock::now());
    return OwnerWindow::HandleMessage(msg, wParam, lParam);
  }

 private:
  std::vector<Clock::time_point> ticks_;
};

const int kSlowFlushMs = 500;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Every flush takes half a second; the start of the run (its own files and
// the recovery) and the package's move flush at least once each, and the
// window's messages go on being handled all the while.
TEST(PackageFlush, TheWindowAnswersWhileTheDiskIsSlow) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  tree.AddPackage("korva", 200, "korva.7z", kPackage);
  TickTimes owner;
  UpdateContext* context = UpdateContext::Instance();
  ScopedVariable slow(win32::kSlowFlushVariable, std::to_string(kSlowFlushMs));

  Clock::time_point start = Clock::now();
  EXPECT_LT(owner.LongestGapMsDuring([&] { context->RecoverInterruptedPackage(); }), kSlowFlushMs / 2);
  EXPECT_GE(MsSince(start), kSlowFlushMs);

  ASSERT_TRUE(context->LoadUpdateConfig() && context->CheckVersions());
  context->owner = &owner;
  start = Clock::now();
  int result = -1;
  EXPECT_LT(owner.LongestGapMsDuring([&] { result = context->ApplyMainPackage(); }), kSlowFlushMs / 2);
  EXPECT_EQ(kUpdateOk, result) << tree.Log();
  context->owner = nullptr;
  context->ReleasePackageLock();
  EXPECT_GE(MsSince(start), 2 * kSlowFlushMs);  // the volume, then the journal
  for (const auto& file : kPackage) EXPECT_EQ(file.second, ReadHostFile(tree.Host(file.first))) << file.first;
}

// Stands in for the window that the user closes while the package moves:
// WM_QUIT at the first tick once the move's backup folder exists.
class ClosedDuringTheMove : public OwnerWindow {
 public:
  explicit ClosedDuringTheMove(const std::string& backup) : OwnerWindow(10), backup_(backup) {}
  bool closed = false;

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override {
    if (msg == WM_TIMER && !closed && testing_support::HostExists(backup_)) {
      closed = true;
      PostQuitMessage(7);
    }
    return OwnerWindow::HandleMessage(msg, wParam, lParam);
  }

 private:
  std::string backup_;
};

// The move is not cut short by the window's end: it goes in whole, and the
// WM_QUIT waits in the queue for the program's own loop.
TEST(PackageFlush, ClosingTheWindowDuringTheMoveWaitsForIt) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  tree.AddPackage("korva", 200, "korva.7z", kPackage);
  ClosedDuringTheMove owner(tree.Host("update/package_backup"));
  UpdateContext* context = UpdateContext::Instance();
  ASSERT_TRUE(context->LoadUpdateConfig() && context->CheckVersions());
  context->owner = &owner;
  {
    // The journal's flush keeps the move going for a while.
    ScopedVariable slow(win32::kSlowFlushVariable, "300");
    EXPECT_EQ(kUpdateOk, context->ApplyMainPackage()) << tree.Log();
  }
  context->owner = nullptr;
  EXPECT_TRUE(owner.closed);
  updater_test::ExpectWholeVersion(tree, kPackage);
  MSG msg;
  ASSERT_TRUE(PeekMessageW(&msg, NULL, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(7u, msg.wParam);
}

// The updater's own files as cmd's copy leaves them after a self-update:
// written, never flushed. Played by a placed updater armed for a power cut
// as it ends: it writes them, then does what every run does first.
const std::map<std::string, std::string> kOwnFiles = {
    {"update/update.dll", "new helper"}, {"update/skin/skin.zip", "new skin"}, {"update/route.dat", "new routes"}};

bool RunRoleIfPlaced() {
  const std::string role = updater_test::EnterPlacedRole();
  if (role.empty()) return false;
  for (const auto& file : kOwnFiles) {
    const std::wstring path = L"C:\\Program Files\\korva\\" + win32::Utf8ToWide(Backslashed(file.first));
    CreateDirectoryW(path.substr(0, path.rfind(L'\\')).c_str(), NULL);
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD written = 0;
    WriteFile(handle, file.second.data(), static_cast<DWORD>(file.second.size()), &written, NULL);
    CloseHandle(handle);
  }
  UpdateContext::Instance()->RecoverInterruptedPackage();
  updater_test::ReportPlacedResult(0);
  return true;
}

TEST(PackageFlush, TheUpdatersOwnFilesOutliveAPowerCutAfterTheRunStarts) {
  if (RunRoleIfPlaced()) return;
  for (const bool volume : {true, false}) {
    SCOPED_TRACE(volume ? "one flush of the volume" : "file by file");
    testing_support::TempMachine machine;
    InstallTree tree;
    updater_test::PlaceUpdaterProgram(tree);
    testing_support::ProgramRun run;
    // Cut as it ends: no run comes near this many changes of names.
    ScopedVariable armed(win32::kPowerCutVariable, "1000");
    std::unique_ptr<ScopedVariable> denied;
    if (!volume) denied.reset(new ScopedVariable(win32::kNoVolumeAccessVariable, "1"));
    ASSERT_TRUE(updater_test::StartPlacedRole(&run, tree, "start", machine.dir() + "/start.result"));
    int code = -1;
    ASSERT_TRUE(run.Wait(60000, &code));
    EXPECT_EQ(0, code) << ReadHostFile(machine.dir() + "/start.result.out");
    for (const auto& file : kOwnFiles) EXPECT_EQ(file.second, ReadHostFile(tree.Host(file.first))) << file.first;
  }
}

}  // namespace
