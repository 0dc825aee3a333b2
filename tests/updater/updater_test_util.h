// Helpers of the updater's tests: an installation of the product on a fresh
// machine with the updater's program in its update folder, the test update
// service with packages made by the 7z tool, and a stand-in update window.
#pragma once
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <duilib/UIlib.h>
#include <windows.h>

#include "internal/machine.h"
#include "internal/unicode.h"
#include "server/update_service.h"
#include "shared/registry_key.h"
#include "shared/product_constants.h"
#include "support/e2e_process.h"
#include "support/own_directory_run.h"
#include "support/stub_program.h"
#include "support/temp_machine.h"
#include "support/update_json.h"
#include "updater/update_context.h"
#include "updater/update_messages.h"
#include "updater/update_progress.h"

namespace updater_test {

namespace fs = std::filesystem;

const char kChildMark[] = "KORVA_UPDATER_TEST_INSTALLED";
// Where the tests install the product, as the installer writes it.
const wchar_t kInstallLocation[] = L"C:\\Program Files\\korva\\";
const char kInstallHost[] = "/c/Program Files/korva";

// Where the product is installed: its location as the uninstall entry has
// it and its host folder below the machine directory.
struct InstallPlace {
  std::wstring location = kInstallLocation;
  std::string host = kInstallHost;
  // Runs in the original before the updater is placed, on the fresh
  // machine (its directory given): for drives of a size of their own.
  std::function<void(const std::string& machineDir)> prepare;
};

// The updater finds the installation from its own directory. This runs the
// current test again in a program copied to <install dir>\update\update.exe of
// a fresh machine: it returns true inside that program, where the test goes
// on, and false in the original once the program has run and passed.
// afterExit, when given, runs in the original once the program has ended,
// on the same machine: for what happens only after the updater is gone.
inline bool RunAsInstalledUpdater(const std::function<void()>& afterExit = nullptr,
                                  const InstallPlace& place = InstallPlace()) {
  if (getenv(kChildMark)) {
    const std::string self = fs::read_symlink("/proc/self/exe").parent_path().string();
    // No 7z.dll may be found in a current directory outside the tree.
    EXPECT_EQ(0, chdir(self.c_str()));
    return true;
  }
  testing_support::TempMachine machine;
  if (place.prepare) place.prepare(machine.dir());
  const std::string dir = machine.dir() + place.host + "/update";
  fs::create_directories(dir);
  testing_support::RunCurrentTestAs(dir + "/update.exe", kChildMark, "as the installed updater");
  if (afterExit) afterExit();
  return false;
}

inline std::string MachineDir() { return win32::MachineDir(); }

inline std::string HostOf(const std::wstring& windowsPath) { return win32::HostPathOrEmpty(windowsPath); }

inline int CountOf(const std::string& text, const std::string& needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

// Runs of the product stub on the machine of the running test, oldest first.
inline std::vector<Json::Value> StubRuns() {
  std::vector<Json::Value> runs;
  std::istringstream lines(testing_support::ReadHostFile(MachineDir() + "/stub-runs.jsonl"));
  std::string line;
  Json::Reader reader;
  while (std::getline(lines, line)) {
    Json::Value run;
    if (reader.parse(line, run)) runs.push_back(run);
  }
  return runs;
}

inline std::vector<Json::Value> WaitForStubRuns(size_t count) {
  std::vector<Json::Value> runs;
  testing_support::WaitUntil([&] { return (runs = StubRuns()).size() >= count; }, 10000);
  return runs;
}

// Writes files (relative path -> content) below dir and packs them into
// archive with the 7z tool; the files and folders named in readOnly are
// packed with the read-only attribute.
inline void Pack7z(const std::string& archive, const std::map<std::string, std::string>& files,
                   const std::vector<std::string>& readOnly = {}) {
  const std::string staging = archive + ".staging";
  fs::remove_all(staging);
  for (const auto& file : files) testing_support::WriteHostFile(staging + "/" + file.first, file.second);
  for (const std::string& item : readOnly) {
    fs::permissions(staging + "/" + item, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
  }
  fs::create_directories(fs::path(archive).parent_path());
  fs::remove(archive);
  const std::string command = "cd '" + staging + "' && LC_ALL=C.UTF-8 7z a -bd -mx1 '" + archive + "' * >/dev/null 2>&1";
  ASSERT_EQ(0, std::system(command.c_str())) << archive;
  fs::remove_all(staging);
}

// Every file below dir (relative path -> its size and a hash of its bytes)
// and every directory (its path with a trailing slash -> ""): what a step
// must leave alone, small enough to print when it differs.
inline std::map<std::string, std::string> TreeSnapshot(const std::string& dir) {
  std::map<std::string, std::string> tree;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string relative = fs::relative(it->path(), dir).string();
    if (it->is_directory()) {
      tree[relative + "/"] = "";
    } else {
      const std::string bytes = testing_support::ReadHostFile(it->path().string());
      tree[relative] = std::to_string(bytes.size()) + " bytes, hash " + std::to_string(std::hash<std::string>()(bytes));
    }
  }
  return tree;
}

using testing_support::NoiseBytes;

// Holds a file of the machine open as another program can. By default it
// shares nothing: the file can be neither read, renamed nor deleted
// meanwhile.
class HeldFile {
 public:
  explicit HeldFile(const std::string& host, DWORD access = GENERIC_READ, DWORD share = 0)
      : handle_(CreateFileW(win32::ToWindowsPath(host).c_str(), access, share, NULL, OPEN_EXISTING, 0, NULL)) {}
  ~HeldFile() { LetGo(); }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  bool held() const { return handle_ != INVALID_HANDLE_VALUE; }
  void LetGo() {
    if (held()) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_;
};

// The product installed on the machine of the running test: its uninstall
// entry, its update.json, the archive library beside the updater, and the
// update service that knows its packages.
class InstallTree {
 public:
  explicit InstallTree(bool withArchiveLibrary = true, const InstallPlace& place = InstallPlace())
      : place_(place) {
    EXPECT_TRUE(service.Start(0));
    service.SetRoot(PackagesHost(""));
    service.SetStatisticsReply(200, "{\"errCode\":0}");
    fs::create_directories(PackagesHost(""));
    fs::create_directories(Host("update"));
    WriteUninstallEntry(place_.location);
    WriteProductConfig(100, 100, 100);
    if (withArchiveLibrary) {
      fs::copy_file(KORVA_DIST_DIR "/7z.dll", Host("update/7z.dll"), fs::copy_options::overwrite_existing);
    }
  }

  // Host path below the install directory.
  std::string Host(const std::string& relative) const {
    return MachineDir() + place_.host + (relative.empty() ? "" : "/" + relative);
  }

  // Host path of a file the service serves: on the machine, on no drive.
  std::string PackagesHost(const std::string& file) const { return MachineDir() + "/packages/" + file; }

  void WriteUninstallEntry(const std::wstring& installLocation) {
    RegistryKey key(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true);
    ASSERT_TRUE(key.Open(std::wstring(kUninstallRegKey) + kProductGuid, true));
    key.SetString(kInstallLocationValue, installLocation);
    key.SetString(kUrlValue, win32::Utf8ToWide(service.BaseUrl()));
    key.SetString(kOfficialUrlValue, L"https://www.korva.example/");
  }

  std::string ProductConfigText(int updaterVersion, int mainVersion, int deltaVersion) const {
    return testing_support::UpdateJsonText(service.VersionCheckUrl(), updaterVersion, mainVersion, deltaVersion);
  }

  void WriteProductConfig(int updaterVersion, int mainVersion, int deltaVersion) {
    testing_support::WriteHostFile(Host("resources/cplus-module/update.json"),
                                   ProductConfigText(updaterVersion, mainVersion, deltaVersion));
  }

  // A package of the catalog, packed from files; returns the archive's host path.
  std::string AddPackage(const std::string& packageName, int versionCode, const std::string& file,
                         const std::map<std::string, std::string>& files,
                         const std::vector<std::string>& readOnly = {}) {
    const std::string archive = PackagesHost(file);
    Pack7z(archive, files, readOnly);
    Publish(packageName, versionCode, file);
    return archive;
  }

  // A package whose file holds exactly `bytes`.
  void AddRawPackage(const std::string& packageName, int versionCode, const std::string& file,
                     const std::string& bytes) {
    testing_support::WriteHostFile(PackagesHost(file), bytes);
    Publish(packageName, versionCode, file);
  }

  void Publish(const std::string& packageName, int versionCode, const std::string& file) {
    testing_support::CatalogEntry entry;
    entry.packageName = packageName;
    entry.versionCode = versionCode;
    entry.versionName = "2." + std::to_string(versionCode);
    entry.text = "release " + std::to_string(versionCode);
    entry.file = file;
    service.SetPackage(entry);
  }

  // The updater's log of this run.
  std::string Log() const {
    const std::string dir = HostOf(UpdateContext::Instance()->GetWorkDir());
    std::string text;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("Update", 0) == 0 && entry.path().extension() == ".log") {
        text += testing_support::ReadHostFile(entry.path().string());
      }
    }
    return text;
  }

  std::string WorkHost(const std::string& relative) const {
    return HostOf(UpdateContext::Instance()->GetWorkDir()) + "/" + relative;
  }

  testing_support::TestUpdateService service;

 private:
  InstallPlace place_;
};

// Stands in for the update window: receives the steps' messages and runs
// the progress timer that keeps the nested wait going, noting the percentage
// and the stage's caption at each tick.
class OwnerWindow : public DuiLib::CWindowWnd {
 public:
  explicit OwnerWindow(UINT timerPeriodMs = 20) {
    Create(NULL, L"owner", WS_POPUP, 0, 0, 0, 10, 10);
    SetTimer(GetHWND(), kUpdateProgressTimer, timerPeriodMs, NULL);
  }
  ~OwnerWindow() override {
    KillTimer(GetHWND(), kUpdateProgressTimer);
    DestroyWindow(GetHWND());
  }

  // Dispatches what is waiting in the thread's queue.
  static void Drain() {
    MSG msg;
    while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }

  std::vector<UINT> messages;                      // download started / finished, in order
  std::vector<std::pair<std::wstring, int>> ticks;  // caption and percentage per tick

 protected:
  LPCTSTR GetWindowClassName() const override { return L"KorvaUpdaterTestOwner"; }
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override {
    if (msg == kMsgDownloadStarted || msg == kMsgDownloadFinished) messages.push_back(msg);
    if (msg == WM_TIMER && wParam == kUpdateProgressTimer) {
      KorvaUpdateProgress* progress = KorvaUpdateProgress::Instance();
      ticks.emplace_back(progress->GetCaption(), progress->GetPercent());
    }
    return CWindowWnd::HandleMessage(msg, wParam, lParam);
  }
};

// Stands in for the update window that the user closes once the package
// unpacks: WM_QUIT at the first tick of the unzip stage, so that the step
// stops waiting for its worker.
class QuittingOwner : public OwnerWindow {
 public:
  QuittingOwner() : OwnerWindow(1) {}

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override {
    if (msg == WM_TIMER && KorvaUpdateProgress::Instance()->GetCaption() == kUnzipStageCaption && !quit_) {
      quit_ = true;
      PostQuitMessage(0);
    }
    return OwnerWindow::HandleMessage(msg, wParam, lParam);
  }

 private:
  bool quit_ = false;
};

// This test program placed as the installed updater and started in a role of
// the current test: a real updater process, which can be killed or stopped
// and holds the package lock as an updater does. In that process
// EnterPlacedRole() names the role, and the test's body plays it.
const char kPlacedRoleVariable[] = "KORVA_UPDATER_PLACED_ROLE";
const char kPlacedResultVariable[] = "KORVA_UPDATER_PLACED_RESULT";
// A role's result when the service offered nothing newer.
const int kNoNewerPackage = 10;
// What a step logs when another updater holds the package lock.
const char kBusyLine[] = "another updater is applying a package .";

// The role of this process, empty in the test itself. The placed updater
// works from its own directory, as the real one does.
inline std::string EnterPlacedRole() {
  const char* role = getenv(kPlacedRoleVariable);
  if (role == nullptr) return "";
  EXPECT_EQ(0, chdir(fs::read_symlink("/proc/self/exe").parent_path().c_str()));
  return role;
}

// In a role: a report the test polls for, written aside and renamed into
// place, so that once it exists it is whole.
inline void ReportWhole(const std::string& path, const std::string& text) {
  testing_support::WriteHostFile(path + ".part", text);
  fs::rename(path + ".part", path);
}

// In a role: the result that the test reads back.
inline void ReportPlacedResult(int result) { ReportWhole(getenv(kPlacedResultVariable), std::to_string(result)); }

// A role's result; -1 while it has reported none.
inline int PlacedResult(const std::string& resultFile) {
  const std::string text = testing_support::ReadHostFile(resultFile);
  return text.empty() ? -1 : std::atoi(text.c_str());
}

// This program as <install dir>\update\update.exe of the test's machine.
inline void PlaceUpdaterProgram(const InstallTree& tree) {
  fs::copy_file("/proc/self/exe", tree.Host("update/update.exe"), fs::copy_options::overwrite_existing);
}

// Starts the placed updater in role; its result goes to resultFile, its
// output to resultFile + ".out".
inline bool StartPlacedRole(testing_support::ProgramRun* run, const InstallTree& tree, const std::string& role,
                            const std::string& resultFile) {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  setenv(kPlacedRoleVariable, role.c_str(), 1);
  setenv(kPlacedResultVariable, resultFile.c_str(), 1);
  const bool started = run->Start(tree.Host("update/update.exe"),
                                  {std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name()},
                                  resultFile + ".out");
  unsetenv(kPlacedRoleVariable);
  unsetenv(kPlacedResultVariable);
  return started;
}

// Runs a role to its end (within timeoutMs); its result, -1 when it hangs or fails.
inline int RunPlacedRole(const InstallTree& tree, const std::string& role, const std::string& resultFile,
                         int timeoutMs = 60000) {
  testing_support::ProgramRun run;
  if (!StartPlacedRole(&run, tree, role, resultFile)) {
    ADD_FAILURE() << role << " did not start";
    return -1;
  }
  int code = -1;
  if (!run.Wait(timeoutMs, &code)) {
    ADD_FAILURE() << role << " did not end";
    return -1;
  }
  EXPECT_EQ(0, code) << testing_support::ReadHostFile(resultFile + ".out");
  return PlacedResult(resultFile);
}

// What a run of the update window does for the main package: what an
// earlier run left unfinished is undone, then the main package is checked
// and applied. The step's result, or kNoNewerPackage.
inline int ApplyMainPackageAsTheWindowDoes(OwnerWindow* owner) {
  UpdateContext* context = UpdateContext::Instance();
  context->RecoverInterruptedPackage();
  context->owner = owner;
  const int result = context->LoadUpdateConfig() && context->CheckVersions() ? context->ApplyMainPackage()
                                                                            : kNoNewerPackage;
  context->owner = nullptr;
  return result;
}

// Every file of the version is in place (nothing older, nothing mixed) and
// nothing of the step is left in the updater's folder.
inline void ExpectWholeVersion(const InstallTree& tree, const std::map<std::string, std::string>& files) {
  int wrong = 0;
  for (const auto& file : files) {
    if (testing_support::ReadHostFile(tree.Host(file.first)) != file.second && ++wrong <= 3)
      ADD_FAILURE() << file.first << " differs";
  }
  EXPECT_EQ(0, wrong);
  EXPECT_FALSE(testing_support::HostExists(tree.Host("update/update_korva")));
  EXPECT_FALSE(testing_support::HostExists(tree.Host("update/package_backup")));
}

// A TreeSnapshot without what lies below prefix.
inline std::map<std::string, std::string> SnapshotWithout(std::map<std::string, std::string> snapshot,
                                                          const std::string& prefix) {
  for (auto it = snapshot.begin(); it != snapshot.end();) {
    it = it->first.rfind(prefix, 0) == 0 ? snapshot.erase(it) : std::next(it);
  }
  return snapshot;
}

}  // namespace updater_test

