// End-to-end runs of the real install.exe: each test gets a fresh machine,
// a test update service with a product package, and its own copy of the
// installer's directory whose configuration points at that service.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "server/update_service.h"
#include "support/e2e_process.h"
#include "support/e2e_windows.h"
#include "support/temp_machine.h"

namespace testing_support {

// Host folder of the build's installer directory (install.exe and its files).
std::string DistDir();

// Copies the installer's directory to dir (install.exe hard-linked when it
// can be) and rewrites its configuration.
class InstallerDir {
 public:
  bool Create(const std::string& dir);
  const std::string& dir() const { return dir_; }
  std::string program() const { return dir_ + "/install.exe"; }
  void WriteInstallJson(const std::string& statisticsUrl, const std::string& defaultPath = "C:/Program Files/",
                        const std::string& mainApp = "korva.exe") const;
  void WriteUpdateJson(const std::string& versionCheckUrl) const;

 private:
  std::string dir_;
};

// A small product tree: korva.exe, launch.exe and bin/korva.exe (the stub),
// a text file, a data file under bin/ and the install tree's update.json.
void WriteProductTree(const std::string& dir, const std::string& versionCheckUrl);
// Packs the contents of dir into a 7z archive with the 7z tool.
bool PackDirectory(const std::string& dir, const std::string& archive);

// Names of the installer's windows.
extern const char kMainWindow[];
extern const char kMessageBox[];
extern const char kProgressWindow[];
extern const char kCompleteWindow[];
extern const char kLicenceWindow[];

class InstallerE2eTest : public ::testing::Test {
 protected:
  // Generous: the sanitizer build under a parallel run is slow.
  static const int kWindowTimeoutMs = 30000;
  static const int kInstallTimeoutMs = 45000;

  void SetUp() override;
  void TearDown() override;

  // Starts install.exe of this test's directory; its output goes to a file.
  void StartInstaller(ProgramRun* run);
  // Starts it and waits until its main window is shown; null on failure.
  HWND StartAndWaitForMainWindow(ProgramRun* run);
  // The message box that the process shows next, with its text.
  HWND WaitForMessageBox(const ProgramRun& run, std::string* text = nullptr);
  // Clicks a button of the window and waits for the message box it opens.
  HWND PressForMessageBox(const ProgramRun& run, HWND window, const std::string& button,
                          std::string* text = nullptr);
  // Clicks a button of a message box and waits until the box has gone.
  void AnswerMessageBox(HWND box, const std::string& button);
  // Presses the install button and waits for the completion window.
  HWND InstallToCompletion(const ProgramRun& run, HWND main);
  // Clicks a button of the completion window; the program must then end.
  void Finish(ProgramRun* run, HWND complete, const std::string& button);
  // Installs from the main window and closes the completion window; false
  // when the installation did not complete.
  bool InstallAndClose(ProgramRun* run, HWND main);
  // Expects the program to end by itself with exit code 0.
  void ExpectEndsCleanly(ProgramRun* run);

  // Host paths on this test's machine.
  std::string InstallDirHost() const { return machine_->c() + "/Program Files/korva"; }
  std::string DataDirHost() const;
  // Text of every install log the runs wrote.
  std::string LogText() const;
  // A value of the uninstall entry; false when the entry or value is missing.
  bool UninstallValue(const std::wstring& name, std::wstring* value) const;
  std::vector<StatisticsPost> InstallPosts() const;
  // Writes machine.json.
  void SetMachineFacts(const std::string& json) const { machine_->WriteConfig(json); }
  // Starts the stub as korva.exe in the install directory; it runs until
  // killed. Its process id, or -1.
  int StartRunningMainProgram();

  const TempMachine& machine() const { return *machine_; }
  TestUpdateService& service() { return service_; }
  InstallerDir& installer() { return installer_; }
  const std::string& scratch() const { return scratch_; }

 private:
  std::unique_ptr<TempMachine> machine_;
  TestUpdateService service_;
  InstallerDir installer_;
  std::string scratch_;
  int outputs_ = 0;
};

}  // namespace testing_support
