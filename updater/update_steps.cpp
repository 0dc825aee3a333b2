// The three package steps of UpdateContext.
// libcurl is used here: winsock2.h goes before anything that brings in windows.h.
#include <winsock2.h>

#include <cstring>
#include <list>

#include <boost/make_shared.hpp>
#include <duilib/UIlib.h>

#include "shared/file_system.h"
#include "shared/log_writer.h"
#include "shared/md5.h"
#include "shared/product_constants.h"
#include "shared/program_dirs.h"
#include "shared/seven_zip_extractor.h"
#include "shared/text_convert.h"
#include "shared/tree_move.h"
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

// Empties the extraction directory of what an earlier run left: unpacked
// files may carry the read-only flag, which would keep them there, and they
// would then be moved in with the new package. False when something stays.
bool ClearExtractionDir(const std::wstring& dir) {
  if (!DirectoryExists(dir)) return true;
  std::list<std::wstring> files;
  CollectFiles(dir, files, L"*.*");
  for (const std::wstring& file : files) SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteDirectoryTree(dir);
  return !DirectoryExists(dir);
}

enum WorkerRun {
  kRunFinished,    // its status is in hand
  kRunNotStarted,  // no thread could be made
  kRunAbandoned,   // WM_QUIT came first; the worker may still run
};

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
  const std::wstring dest = workDir_ + kSelfUpdatePackageDir;
  if (!DirectoryExists(dest)) {
    CreateDirectories(dest);
  }
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

  WorkerTask download;
  download.source = url;
  download.target = archive;
  download.reportProgress = true;
  download.base = step.downloadBase;
  download.weight = step.downloadWeight;
  DownloadStageParams& params = GetDownloadStageParams();
  params.base = download.base;
  params.weight = download.weight;
  int status = kWorkerOk;
  WorkerRun run = RunWorker(boost::make_shared<KorvaUpdateDownloadWorker>(download), &status);
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

  // The package is unpacked beside its archive and moved into the install
  // directory only once it has unpacked whole: a damaged package, or a
  // window closed during the extraction, leaves the installed product as it
  // was. What an abandoned earlier run left there goes first.
  const std::wstring staging = workDir_ + GetFileStem(step.package);
  if (!ClearExtractionDir(staging)) {
    WriteLog("fail to clear %s .", WideToAnsi(staging).c_str());
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
  if (run != kRunFinished || status != kWorkerOk) {
    // An abandoned worker may still be writing there; the next run clears it.
    if (run != kRunAbandoned) DeleteDirectoryTree(staging);
    return FailStage(run, "fail to unzip %s.", name, archive, kUpdateUnzipFailed);
  }
  TreeMoveFailure failure;
  const bool moved = MoveTreeInto(staging, GetParentDirectoryNoBackslash(GetModuleDir()), ExistingFiles::kReplace,
                                  &failure);
  DeleteDirectoryTree(staging);
  if (!moved) {
    WriteLog("fail to move %s into the install directory, lastError: %d .", WideToAnsi(failure.file).c_str(),
             static_cast<int>(failure.error));
    return FailStage(run, "fail to unzip %s.", name, archive, kUpdateUnzipFailed);
  }
  WriteLog("unzip %s success.", name.c_str());
  DeleteArchive(archive);
  return kUpdateOk;
}
