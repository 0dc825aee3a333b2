// Helpers shared by the installer's tests.
#pragma once
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include <windows.h>

#include "installer/install_kernel.h"
#include "installer/install_progress.h"
#include "installer/thread_ui_control.h"
#include "shared/log_writer.h"
#include "server/update_service.h"
#include "support/own_directory_run.h"
#include "support/temp_machine.h"
#include "support/update_json.h"

namespace installer_test {

// Frees the process-wide objects so that each test starts from scratch.
inline void ResetProcessObjects() {
  KorvaInstallKernel::DestroyInstance();
  KorvaInstallProgress::DestroyInstance();
  DestroyStepCompletion();
  KorvaThreadUIControl::DestroyInstance();
}

// Drops every message waiting in the calling thread's queue.
inline void DrainMessages() {
  MSG msg;
  while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
  }
}

// A machine with a log file at C:\test.log.
struct LoggedMachine {
  testing_support::TempMachine machine;
  LoggedMachine() { SetLogPath("C:\\test.log"); }
  std::string Log() const { return testing_support::ReadHostFile(machine.c() + "/test.log"); }
  std::string Host(const std::string& relative) const { return machine.c() + "/" + relative; }
};

// Fresh process-wide objects around each test, a logged machine, and the
// kernel's waits for workers running on the test's thread.
class WorkerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessObjects();
    KorvaInstallKernel::Instance()->SetThreadUIControl(KorvaThreadUIControl::Instance());
    DrainMessages();
  }
  void TearDown() override { ResetProcessObjects(); }

  std::string Host(const std::string& relative) const { return machine.Host(relative); }

  LoggedMachine machine;
};

// Number of times `needle` occurs in `text`.
inline int CountOf(const std::string& text, const std::string& needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

// The kernel finds its configuration and runtime files beside its own
// program. This runs the current test again in a copy of the test program in
// a fresh directory: it returns true inside the copy, where the test goes on,
// and false in the original once the copy has run and passed.
inline bool RunInOwnDirectory() {
  static const char kChildMark[] = "KORVA_TEST_OWN_DIRECTORY";
  if (getenv(kChildMark)) return true;
  namespace fs = std::filesystem;
  std::string tmpl = (fs::temp_directory_path() / "korva-installer-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) {
    ADD_FAILURE() << "mkdtemp failed";
    return false;
  }
  testing_support::RunCurrentTestAs(tmpl + "/install.exe", kChildMark, "in its own directory");
  std::error_code ec;
  fs::remove_all(tmpl, ec);
  return false;
}

// Host directory of the running program (the installer's directory).
inline std::string OwnDirectory() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

// Default install.json of the tests; `url` is the statistics base URL.
inline std::string InstallJson(const std::string& url, const std::string& defaultPath = "C:/Program Files/") {
  return R"({
  "defaultpath": ")" + defaultPath + R"(",
  "version": "2.3.1",
  "mainapp": "korva.exe",
  "officialurl": "https://www.korva.example/",
  "url": ")" + url + R"(",
  "shortcut": [
    {"id": "desktop", "location": "%DESKTOP%", "icon": "icon.ico", "name": "Korva"},
    {"id": "startupmenu", "location": "%STARTUPMENU%Korva/", "icon": "icon.ico", "name": "Korva"}
  ],
  "execute": [
    {"id": "setup", "location": "bin/setup.exe", "param": "/init", "stage": 1},
    {"id": "cleanup", "location": "bin/cleanup.exe", "param": "/quiet", "stage": 2}
  ]
})";
}

inline std::string UpdateJson(const std::string& updateUrl) {
  return testing_support::UpdateJsonText(updateUrl, 100, 100, 100);
}

// Serves `file` under `root` as the current main package "korva" and starts
// the service.
inline bool ServeMainPackage(testing_support::TestUpdateService& service, const std::string& root,
                             const std::string& file) {
  service.SetRoot(root);
  testing_support::CatalogEntry entry;
  entry.packageName = "korva";
  entry.versionCode = 101;
  entry.versionName = "2.3.1";
  entry.file = file;
  service.SetPackage(entry);
  return service.Start();
}

// The archive library beside the running program.
inline void InstallArchiveLibrary(const std::string& dir) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path source = fs::path(KORVA_DIST_DIR) / "7z.dll";
  if (!fs::exists(source)) source = "/usr/lib/p7zip/7z.so";
  fs::copy_file(source, fs::path(dir) / "7z.dll", fs::copy_options::overwrite_existing, ec);
}

// The stub that stands for the product's programs.
inline std::string StubProgram() { return std::string(KORVA_BUILD_DIR) + "/tests/korva_stub"; }

// Copies the stub to a host path (creating its directory).
inline void PlaceStub(const std::string& hostPath) {
  namespace fs = std::filesystem;
  fs::create_directories(fs::path(hostPath).parent_path());
  fs::copy_file(StubProgram(), hostPath, fs::copy_options::overwrite_existing);
}

// Fills a host directory with `count` small files; enough of them keep a
// deletion worker busy for a good while.
inline void WriteManyFiles(const std::string& dir, int count) {
  std::filesystem::create_directories(dir);
  for (int i = 0; i < count; ++i) std::ofstream(dir + "/file" + std::to_string(i) + ".dat") << i;
}

}  // namespace installer_test
