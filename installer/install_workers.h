// Worker threads of the installer: the package download, its unpacking and
// the deletion of an earlier installation's directory.
#pragma once
#include <string>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <windows.h>
#include "shared/seven_zip_progress.h"

// Base of the workers. A worker is held by shared pointers: its thread holds
// one too, so the worker and its job data outlive a step that stopped
// waiting for it.
class KorvaInstallThreadWorker
    : public boost::enable_shared_from_this<KorvaInstallThreadWorker> {
 public:
  // Starts ThreadMain on a new thread and detaches it at once; false when no
  // thread could be made (nothing will then complete the ticket).
  bool StartThread(unsigned long ticket);

 protected:
  KorvaInstallThreadWorker() : ticket_(0), completed_(false) {}
  ~KorvaInstallThreadWorker() {}

  virtual void ThreadMain() = 0;
  // Reports the worker's status to its wait; once per run.
  void Complete(int status);

 private:
  void Run();

  unsigned long ticket_;
  bool completed_;
};

// What RunWorker does when WM_QUIT ends its wait before the worker is done.
enum AfterQuit {
  kLeaveWorkerRunning,  // return at once; the worker finishes by itself
  kFinishWorker,        // wait for the worker, pumping no more messages
};

// Starts the worker and pumps messages on the calling (UI) thread until it
// completes. Returns its status, or kWorkerNoResult when the wait ended
// without it (WM_QUIT) or its thread could not be started.
int RunWorker(const boost::shared_ptr<KorvaInstallThreadWorker>& worker,
              AfterQuit afterQuit = kLeaveWorkerRunning);

// Download progress function handed to the HTTP client.
void DownloadProgressSink(double totalBytes, double downloadedBytes);

class KorvaPackageDownloadWorker final : public KorvaInstallThreadWorker {
 public:
  // url: the package URL; savePath: the file to write, ANSI code page.
  KorvaPackageDownloadWorker(const std::string& url, const std::string& savePath)
      : url_(url), savePath_(savePath) {}

 protected:
  void ThreadMain() override;

 private:
  std::string url_;
  std::string savePath_;
};

class KorvaPackageUnzipWorker final : public KorvaInstallThreadWorker,
                                      public ISevenZipExtractProgressCallBack {
 public:
  // Both paths in the ANSI code page.
  KorvaPackageUnzipWorker(const std::string& packagePath, const std::string& targetDir)
      : packagePath_(packagePath), targetDir_(targetDir) {}

  void OnExtractProgress(bool isTotal, UINT64 value) override;

 protected:
  void ThreadMain() override;

 private:
  void Extract(const std::wstring& archive, const std::wstring& destDir);
  // Moves the unpacked tree into the install directory; files already there
  // are kept. False when a file that is not there could not be placed; then
  // nothing this move placed stays there.
  bool MoveTree(const std::wstring& tempDir, const std::wstring& target);

  std::string packagePath_;
  std::string targetDir_;
};

class KorvaInstallDeleteDirsWorker final : public KorvaInstallThreadWorker {
 public:
  explicit KorvaInstallDeleteDirsWorker(const std::wstring& dir) : dir_(dir) {}

 protected:
  void ThreadMain() override;

 private:
  std::wstring dir_;
};
