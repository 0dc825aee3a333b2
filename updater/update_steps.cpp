// The three package steps of UpdateContext.
// libcurl is used here: winsock2.h goes before anything that brings in windows.h.
#include <winsock2.h>

#include <cstring>
#include <list>
#include <string>
#include <vector>

#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>
#include <duilib/UIlib.h>

#include "shared/disk_flush.h"
#include "shared/file_system.h"
#include "shared/log_writer.h"
#include "shared/md5.h"
#include "shared/product_constants.h"
#include "shared/program_dirs.h"
#include "shared/seven_zip_extractor.h"
#include "shared/text_convert.h"
#include "updater/package_transaction.h"
#include "updater/self_update.h"
#include "updater/update_context.h"
#include "updater/update_messages.h"
#include "updater/update_progress.h"
#include "updater/update_workers.h"

// What differs between the main and the delta package step.
struct UpdateContext::PackageStep {
  const UpdateInfo* info;
  const WCHAR* package;  // archive name in the work directory
  float downloadBase;
  float downloadWeight;
  float unzipBase;
  float unzipWeight;
};

namespace {

// Shares of the whole run: the main package takes 0-90 %, a delta package
// after it 90-99 %, a delta package alone 0-99 %.
const float kMainDownload[2] = {0.0f, 0.5f};
const float kMainUnzip[2] = {0.5f, 0.4f};
const float kDeltaAfterMainDownload[2] = {0.9f, 0.05f};
const float kDeltaAfterMainUnzip[2] = {0.95f, 0.04f};
const float kDeltaAloneDownload[2] = {0.0f, 0.5f};
const float kDeltaAloneUnzip[2] = {0.5f, 0.49f};

void DeleteArchive(const std::string& archive) { DeleteFileW(AnsiToWide(archive).c_str()); }

// The service's md5 is compared as sent: the digest text is lower case.
bool ArchiveMatches(const std::string& archive, const UpdateInfo& info) {
  char digest[33] = {};
  Md5File(archive.c_str(), digest);
  return std::strcmp(digest, WideToUtf8(info.md5).c_str()) == 0;
}

// The install directory is the updater's parent; the updater's own
// directory holds the staging and backup folders, so that they lie on the
// install tree's volume and go with it.
std::wstring InstallDir() { return GetParentDirectoryNoBackslash(GetModuleDir()); }
std::wstring PackageArea() { return GetModuleDir(); }

// Holds the package lock for one step. A step that stopped waiting for its
// worker keeps it until the process ends: the worker may still write. A
// step that succeeded leaves it to the flow, which still writes the version
// back (UpdateContext::ReleasePackageLock).
class StepLock {
 public:
  explicit StepLock(PackageLock& lock) : lock_(lock), held_(lock.TryAcquire()) {}
  StepLock(const StepLock&) = delete;
  StepLock& operator=(const StepLock&) = delete;
  ~StepLock() {
    if (!held_ || succeeded_) return;
    if (abandoned_) {
      lock_.KeepUntilExit();
    } else {
      lock_.Release();
    }
  }
  bool held() const { return held_; }
  void Abandon() { abandoned_ = true; }
  void Succeed() { succeeded_ = true; }

 private:
  PackageLock& lock_;
  bool held_;
  bool abandoned_ = false;
  bool succeeded_ = false;
};

// Another updater holds the lock: what it downloads and applies is its own.
int BusyStep(const std::string& name) {
  WriteLog("another updater is applying a package .");
  WriteLog("fail to download %s.", name.c_str());
  return kUpdateDownloadFailed;
}

// Empties an extraction folder of what an earlier run left, read-only
// items too: they would be moved in with the new package, or keep its files
// out. False when something stays.
bool ClearExtractionDir(const std::wstring& dir) {
  if (DeleteWholeTree(dir)) return true;
  WriteLog("fail to clear %s .", WideToAnsi(dir).c_str());
  return false;
}

// Starts the worker and waits for it. The worker object lives on with its
// thread, so an abandoned wait leaves it to finish on its own.
WorkerRun RunWorker(const boost::shared_ptr<KorvaUpdateThreadWorker>& worker, int* status) {
  if (!worker->StartThread()) return kRunNotStarted;
  if (!PumpUntilWorkerDone()) return kRunAbandoned;
  *status = GetWorkerStatus();
  return kRunFinished;
}

// A stage failed: the archive goes, unless an abandoned worker may still use it.
int FailStage(WorkerRun run, const char* format, const std::string& name, const std::string& archive, int code) {
  WriteLog(format, name.c_str());
  if (run != kRunAbandoned) DeleteArchive(archive);
  return code;
}

// Disk jobs (RunDiskJob): they get copies of what they need, as a job whose
// wait was given up may outlive the step.

int RecoverJob(const std::wstring& installDir, const std::wstring& area) {
  return RecoverPackageTransactions(installDir, area) ? kWorkerOk : kWorkerDiskJobFailed;
}

// Every staged file is on the disk before the move's first step: renames
// outlive a power cut, data still in the cache does not.
int MoveJob(const std::wstring& installDir, const std::wstring& area, const std::wstring& staging,
            const boost::shared_ptr<TreeMoveFailure>& failure) {
  std::wstring unflushed;
  bool moved = false;
  if (FlushTreeToDisk(staging, {}, &unflushed)) {
    moved = PackageTransaction(installDir, area).Apply(staging, failure.get());
  } else {
    failure->file = unflushed;
    failure->error = GetLastError();
  }
  DeleteWholeTree(staging);
  return moved ? kWorkerOk : kWorkerDiskJobFailed;
}

// The updater's own files, which cmd's copy put in place unflushed when the
// updater replaced itself, then what an interrupted run left (only with the
// package lock). A package's staging and backup folders are no files of the
// updater: a flush file by file leaves them out.
int StartOfRunJob(const std::wstring& installDir, const std::wstring& area, bool recover) {
  std::wstring unflushed;
  const std::vector<std::wstring> packageFolders = {GetFileStem(kMainUpdatePackage), GetFileStem(kDeltaUpdatePackage),
                                                    kPackageBackupDir};
  if (!FlushTreeToDisk(area, packageFolders, &unflushed)) {
    WriteLog("fail to flush %s, lastError: %d .", WideToAnsi(unflushed).c_str(), static_cast<int>(GetLastError()));
  }
  if (!recover) return kWorkerOk;
  RecoverPackageTransactions(installDir, area);
  // An extraction cut off with its run leaves its staging folder behind.
  for (const WCHAR* package : {kMainUpdatePackage, kDeltaUpdatePackage}) {
    ClearExtractionDir(AddBackslash(area) + GetFileStem(package));
  }
  return kWorkerOk;
}

int VersionJob(const std::wstring& path, const std::wstring& section, INT32 versionCode) {
  return WritePackageVersion(path, section, versionCode) ? kWorkerOk : kWorkerDiskJobFailed;
}

}  // namespace

void UpdateContext::PostToOwner(UINT message) const {
  if (owner != nullptr) {
    PostMessageW(owner->GetHWND(), message, 0, 0);
  }
}

int UpdateContext::ApplySelfUpdate() {
  if (!selfNeeded) return kUpdateOk;
  const std::string url = WideToUtf8(selfInfo.downloadUrl);
  const std::string archive = WideToAnsi(workDir_ + kSelfUpdatePackage);
  PostToOwner(kMsgDownloadStarted);
  StepLock lock(packageLock_);
  if (!lock.held()) return BusyStep(WideToAnsi(kSelfUpdatePackage));
  if (!DownloadFile(url, archive, NULL)) {
    WriteLog("fail to download update_update.7z.");
    DeleteArchive(archive);
    return kUpdateDownloadFailed;
  }
  WriteLog("download update_update.7z success.");
  PostToOwner(kMsgDownloadFinished);
  if (!ArchiveMatches(archive, selfInfo)) {
    WriteLog("the update_update.7z is damaged.");
    DeleteArchive(archive);
    return kUpdateDamaged;
  }
  // Files of an earlier package left there would be copied in with this one.
  const std::wstring dest = workDir_ + kSelfUpdatePackageDir;
  if (!ClearExtractionDir(dest)) {
    DeleteArchive(archive);
    return kUpdateUnzipFailed;
  }
  CreateDirectories(dest);
  std::wstring failure;
  bool failed = false;
  try {
    SevenZip::SevenZipModule module;
    module.Load(kSevenZipDllName);
    SevenZip::SevenZipExtractor extractor(&module, AnsiToWide(archive), SevenZip::ArchiveFormat::SevenZ);
    extractor.Extract(dest, NULL);
    WriteLog("unzip update_update.7z success.");
  } catch (const SevenZip::SevenZipException& e) {
    failed = true;
    failure = e.message;
  } catch (...) {
    failed = true;
  }
  if (failed) {
    WriteLog("fail to unzip update_update.7z(SevenZip Module Inner Exception): %s", WideToAnsi(failure).c_str());
    DeleteArchive(archive);
    return kUpdateUnzipFailed;
  }
  DeleteArchive(archive);
  lock.Succeed();
  return kUpdateOk;
}

int UpdateContext::ApplyMainPackage() {
  const PackageStep step = {&mainInfo, kMainUpdatePackage, kMainDownload[0], kMainDownload[1],
                            kMainUnzip[0], kMainUnzip[1]};
  return ApplyPackage(step);
}

int UpdateContext::ApplyDeltaPackage() {
  const PackageStep afterMain = {&deltaInfo, kDeltaUpdatePackage, kDeltaAfterMainDownload[0],
                                 kDeltaAfterMainDownload[1], kDeltaAfterMainUnzip[0], kDeltaAfterMainUnzip[1]};
  const PackageStep alone = {&deltaInfo, kDeltaUpdatePackage, kDeltaAloneDownload[0], kDeltaAloneDownload[1],
                             kDeltaAloneUnzip[0], kDeltaAloneUnzip[1]};
  return ApplyPackage(mainNeeded ? afterMain : alone);
}

int UpdateContext::ApplyPackage(const PackageStep& step) {
  const std::string name = WideToAnsi(step.package);
  PostToOwner(kMsgDownloadStarted);
  const std::string url = WideToUtf8(step.info->downloadUrl);
  const std::string archive = WideToAnsi(workDir_ + step.package);
  StepLock lock(packageLock_);
  if (!lock.held()) return BusyStep(name);
  // A tree that an interrupted run left mixed takes no package.
  const std::wstring installDir = InstallDir();
  int status = kWorkerOk;
  WorkerRun run = RunDiskJob(boost::bind(&RecoverJob, installDir, PackageArea()), &status);
  if (run == kRunAbandoned) lock.Abandon();
  // Without a thread for it, none could be made for the download either.
  if (run == kRunNotStarted) return FailStage(run, "fail to download %s.", name, archive, kUpdateDownloadFailed);
  if (run != kRunFinished || status != kWorkerOk) {
    return FailStage(run, "fail to unzip %s.", name, archive, kUpdateUnzipFailed);
  }

  WorkerTask download;
  download.source = url;
  download.target = archive;
  download.reportProgress = true;
  download.base = step.downloadBase;
  download.weight = step.downloadWeight;
  DownloadStageParams& params = GetDownloadStageParams();
  params.base = download.base;
  params.weight = download.weight;
  run = RunWorker(boost::make_shared<KorvaUpdateDownloadWorker>(download), &status);
  if (run == kRunAbandoned) lock.Abandon();
  if (run != kRunFinished || status != kWorkerOk) {
    return FailStage(run, "fail to download %s.", name, archive, kUpdateDownloadFailed);
  }
  WriteLog("download %s success.", name.c_str());
  PostToOwner(kMsgDownloadFinished);

  if (!ArchiveMatches(archive, *step.info)) {
    WriteLog("%s is damaged.", name.c_str());
    DeleteArchive(archive);
    return kUpdateDamaged;
  }

  // The package is unpacked into a staging folder on the install tree's
  // volume and moved into place only once it has unpacked whole, as one
  // transaction: a damaged package, a window closed during the extraction,
  // a file that cannot take its place or a full drive leave the installed
  // product as it was, and what an undo could not yet put back, or a run cut
  // off on the way, is undone by the next run before it reads the tree. What
  // an abandoned earlier run left in the staging folder goes first.
  const std::wstring staging = PackageArea() + GetFileStem(step.package);
  if (!ClearExtractionDir(staging)) {
    return FailStage(run, "fail to unzip %s.", name, archive, kUpdateUnzipFailed);
  }
  CreateDirectories(staging);

  WorkerTask unzip;
  unzip.source = archive;
  unzip.target = WideToAnsi(staging);
  unzip.reportProgress = true;
  unzip.base = step.unzipBase;
  unzip.weight = step.unzipWeight;
  run = RunWorker(boost::make_shared<KorvaUpdateUnzipWorker>(unzip), &status);
  if (run == kRunAbandoned) lock.Abandon();
  if (run != kRunFinished || status != kWorkerOk) {
    // An abandoned worker may still be writing there; the next run clears it.
    if (run != kRunAbandoned) DeleteWholeTree(staging);
    return FailStage(run, "fail to unzip %s.", name, archive, kUpdateUnzipFailed);
  }
  // The move keeps the bar where the unpacking left it. The lock stays held
  // meanwhile, and for good when the wait is given up.
  const boost::shared_ptr<TreeMoveFailure> failure = boost::make_shared<TreeMoveFailure>();
  run = RunDiskJob(boost::bind(&MoveJob, installDir, PackageArea(), staging, failure), &status);
  if (run == kRunAbandoned) lock.Abandon();
  if (run != kRunFinished || status != kWorkerOk) {
    if (run == kRunFinished) {
      WriteLog("fail to move %s into the install directory, lastError: %d .", WideToAnsi(failure->file).c_str(),
               static_cast<int>(failure->error));
    }
    return FailStage(run, "fail to unzip %s.", name, archive, kUpdateUnzipFailed);
  }
  WriteLog("unzip %s success.", name.c_str());
  DeleteArchive(archive);
  lock.Succeed();
  return kUpdateOk;
}

void UpdateContext::ReleasePackageLock() { packageLock_.Release(); }

bool UpdateContext::WriteVersionBack(const std::wstring& path, const std::wstring& section, INT32 versionCode) {
  int status = kWorkerOk;
  return RunDiskJob(boost::bind(&VersionJob, path, section, versionCode), &status) == kRunFinished &&
         status == kWorkerOk;
}

void UpdateContext::RecoverInterruptedPackage() {
  StepLock lock(packageLock_);
  if (!lock.held()) WriteLog("another updater is applying a package .");
  int status = kWorkerOk;
  if (RunDiskJob(boost::bind(&StartOfRunJob, InstallDir(), PackageArea(), lock.held()), &status) == kRunAbandoned) {
    lock.Abandon();
  }
}
