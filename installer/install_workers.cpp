// libcurl is used here: winsock2.h goes before anything that brings in windows.h.
#include <winsock2.h>

#include "installer/install_workers.h"

#include <boost/bind/bind.hpp>
#include <boost/thread/thread.hpp>

#include "installer/install_progress.h"
#include "installer/process_objects.h"
#include "installer/thread_ui_control.h"
#include "shared/product_constants.h"
#include "shared/file_system.h"
#include "shared/http_client.h"
#include "shared/log_writer.h"
#include "shared/seven_zip_extractor.h"
#include "shared/text_convert.h"
#include "shared/tree_move.h"

namespace {

// The log path is a process-wide object too; a worker logs only while the
// process objects are there.
template <typename... Args>
void WorkerLog(const char* format, Args... args) {
  ProcessObjectsAccess access;
  if (!access.granted()) ParkWorkerThread();
  WriteLog(format, args...);
}

void WorkerLog(const char* text) { WorkerLog("%s", text); }

}  // namespace

bool KorvaInstallThreadWorker::StartThread(unsigned long ticket) {
  ticket_ = ticket;
  try {
    boost::thread thread(boost::bind(&KorvaInstallThreadWorker::Run, shared_from_this()));
    thread.detach();
    return true;
  } catch (...) {
    return false;
  }
}

void KorvaInstallThreadWorker::Run() {
  try {
    ThreadMain();
  } catch (...) {
    // No exception may leave the thread; the wait must still end.
  }
  if (!completed_) Complete(kWorkerNoResult);
}

void KorvaInstallThreadWorker::Complete(int status) {
  completed_ = true;
  CompleteStep(ticket_, status);
}

int RunWorker(const boost::shared_ptr<KorvaInstallThreadWorker>& worker, AfterQuit afterQuit) {
  IThreadUIControl* waiter = GetStepCompletion()->waiter;
  unsigned long ticket = BeginStep();
  if (!waiter) {
    EndStep(ticket, nullptr);
    WriteLog("no waiter for the worker thread .");
    return kWorkerNoResult;
  }
  CloseProcessObjectsFirstAtExit();
  if (!worker->StartThread(ticket)) {
    EndStep(ticket, nullptr);
    WriteLog("fail to start worker thread .");
    return kWorkerNoResult;
  }
  waiter->RunMessageLoop();
  if (afterQuit == kFinishWorker && !StepCompleted(ticket)) {
    WriteLog("wait for the worker thread to finish .");
    AwaitStep(ticket);
  }
  int status = kWorkerNoResult;
  if (!EndStep(ticket, &status)) {
    WriteLog("the wait ended before the worker thread finished .");
    return kWorkerNoResult;
  }
  return status;
}

void DownloadProgressSink(double totalBytes, double downloadedBytes) {
  if (totalBytes == 0 || downloadedBytes == 0) return;
  ProcessObjectsAccess access;
  if (!access.granted()) ParkWorkerThread();
  KorvaInstallProgress* progress = KorvaInstallProgress::Instance();
  // The first report only sets the stage and the size.
  if (progress->BeginDownloadStage(totalBytes)) return;
  progress->SetDone(downloadedBytes);
  progress->SetDownloadedBytes(downloadedBytes);
}

void KorvaPackageDownloadWorker::ThreadMain() {
  std::wstring dir = GetParentDirectory(AnsiToWide(savePath_));
  if (url_.empty() || !DirectoryExists(dir)) {
    WorkerLog("download directory is not exists in download worker: %s .", WideToAnsi(dir).c_str());
    Complete(kWorkerPathMissing);
    return;
  }
  bool downloaded = HttpDownloadFile(url_, savePath_, DownloadProgressSink);
  {
    ProcessObjectsAccess access;
    if (!access.granted()) ParkWorkerThread();
    KorvaInstallProgress::Instance()->SetDownloadFinished();
  }
  Complete(downloaded ? kWorkerOk : kWorkerDownloadFailed);
}

void KorvaPackageUnzipWorker::ThreadMain() {
  std::wstring package = AnsiToWide(packagePath_);
  if (!FileExists(package)) {
    WorkerLog("download package is not exists: %s .", packagePath_.c_str());
    Complete(kWorkerPathMissing);
    return;
  }
  if (!DirectoryExists(AnsiToWide(targetDir_))) {
    WorkerLog("extract directory is not exists: %s .", targetDir_.c_str());
    Complete(kWorkerPathMissing);
    return;
  }
  try {
    std::wstring tempDir = AddBackslash(GetParentDirectory(package) + GetFileStem(package));
    // What a run that ended early left there would be moved in with this
    // package, and its read-only files would not be written over.
    if (!DeleteWholeTree(tempDir)) {
      WorkerLog("fail to clear %s .", WideToAnsi(tempDir).c_str());
      Complete(kWorkerExtractFailed);
      return;
    }
    CreateDirectories(tempDir);
    Extract(package, tempDir);
    std::wstring target = AnsiToWide(targetDir_);
    for (wchar_t& c : target) {
      if (c == L'/') c = L'\\';
    }
    if (!MoveTree(tempDir, target)) {
      Complete(kWorkerExtractFailed);
      return;
    }
  } catch (...) {
    WorkerLog("SevenZip Extract Error");
    Complete(kWorkerExtractFailed);
    return;
  }
  Complete(kWorkerOk);
}

void KorvaPackageUnzipWorker::Extract(const std::wstring& archive, const std::wstring& destDir) {
  // The module frees the library when it goes, also on an exception.
  SevenZip::SevenZipModule module;
  module.Load(kSevenZipDllName);
  SevenZip::SevenZipExtractor extractor(&module, archive, SevenZip::ArchiveFormat::SevenZ);
  extractor.Extract(destDir, this);
}

bool KorvaPackageUnzipWorker::MoveTree(const std::wstring& tempDir, const std::wstring& target) {
  TreeMoveFailure failure;
  if (MoveTreeInto(tempDir, target, &failure)) return true;
  WorkerLog("fail to move %s into the install directory, lastError: %d .", WideToAnsi(failure.file).c_str(),
            static_cast<int>(failure.error));
  return false;
}

void KorvaPackageUnzipWorker::OnExtractProgress(bool isTotal, UINT64 value) {
  ProcessObjectsAccess access;
  if (!access.granted()) ParkWorkerThread();
  KorvaInstallProgress* progress = KorvaInstallProgress::Instance();
  if (isTotal) {
    progress->SetStage(kProgressUnzipText, 0.5, 0.45, static_cast<double>(value));
  } else {
    progress->SetDone(static_cast<double>(value));
  }
}

void KorvaInstallDeleteDirsWorker::ThreadMain() {
  if (!DirectoryExists(dir_)) {
    Complete(kWorkerPathMissing);
    return;
  }
  std::list<std::wstring> files;
  CollectFiles(dir_, files, L"*.*");
  for (const std::wstring& file : files) DeleteFileW(file.c_str());
  std::list<std::wstring> dirs = ListDirectoryTree(dir_);
  for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) RemoveDirectoryW(it->c_str());
  Complete(kWorkerOk);
}
