#include "updater/update_workers.h"

#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/thread.hpp>
#include <duilib/UIlib.h>

#include "shared/file_system.h"
#include "shared/log_writer.h"
#include "shared/product_constants.h"
#include "shared/seven_zip_extractor.h"
#include "shared/text_convert.h"
#include "updater/update_exit_hooks.h"
#include "updater/update_progress.h"

namespace {

// Progress from a worker thread goes through the exit gate.
void ReportStage(double base, double weight, UINT64 total, const WCHAR* caption) {
  WorkerAccess access;
  KorvaUpdateProgress::Instance()->SetStage(base, weight, total, caption);
}

void ReportCurrent(UINT64 amount) {
  WorkerAccess access;
  KorvaUpdateProgress::Instance()->SetCurrent(amount);
}

}  // namespace

DownloadStageParams& GetDownloadStageParams() {
  // Never freed: an abandoned download may report until the process is gone.
  static DownloadStageParams* params = new DownloadStageParams;
  return *params;
}

bool KorvaUpdateThreadWorker::StartThread() {
  ticket_ = BeginWorkerWait();
  try {
    boost::thread thread(boost::bind(&KorvaUpdateThreadWorker::Run, shared_from_this()));
    thread.detach();
    return true;
  } catch (...) {
    return false;
  }
}

void KorvaUpdateThreadWorker::Run() { ThreadMain(); }

void KorvaUpdateThreadWorker::Signal(int status) {
  WorkerAccess access;
  SetWorkerStatus(ticket_, status);
}

void KorvaUpdateDownloadWorker::ThreadMain() {
  const std::wstring dir = GetParentDirectory(AnsiToWide(task_.target));
  if (!DirectoryExists(dir)) {
    CreateDirectories(dir);
  }
  if (task_.source.empty() || !DirectoryExists(dir)) {
    {
      WorkerAccess access;
      WriteLog("download directory is not exists in download worker: %s .", WideToAnsi(dir).c_str());
    }
    Signal(kWorkerPathMissing);
    return;
  }
  GetDownloadStageParams().stagePending = true;
  const bool ok = DownloadFile(task_.source, task_.target, task_.reportProgress ? UpdateDownloadProgressSink : NULL);
  Signal(ok ? kWorkerOk : kWorkerDownloadFailed);
}

void UpdateDownloadProgressSink(double totalBytes, double downloadedBytes) {
  if (totalBytes == 0 || downloadedBytes == 0) return;
  DownloadStageParams& params = GetDownloadStageParams();
  if (params.stagePending) {
    // This report's amount is not stored: the stage starts at its base.
    ReportStage(params.base, params.weight, static_cast<UINT64>(totalBytes), kDownloadStageCaption);
    params.stagePending = false;
  } else {
    ReportCurrent(static_cast<UINT64>(downloadedBytes));
  }
}

void KorvaUpdateUnzipWorker::ThreadMain() {
  const std::wstring archive = AnsiToWide(task_.source);
  const std::wstring destination = AnsiToWide(task_.target);
  if (!FileExists(archive)) {
    {
      WorkerAccess access;
      WriteLog("download package is not exists: %s .", task_.source.c_str());
    }
    Signal(kWorkerPathMissing);
    return;
  }
  if (!DirectoryExists(destination)) {
    {
      WorkerAccess access;
      WriteLog("extract directory is not exists: %s .", task_.target.c_str());
    }
    Signal(kWorkerPathMissing);
    return;
  }
  try {
    Extract(destination);
  } catch (...) {
    {
      WorkerAccess access;
      WriteLog("SevenZip Extract Error");
    }
    Signal(kWorkerExtractFailed);
    return;
  }
  Signal(kWorkerOk);
}

void KorvaUpdateUnzipWorker::Extract(const std::wstring& destination) {
  SevenZip::SevenZipModule module;  // frees the library on every way out
  module.Load(kSevenZipDllName);
  SevenZip::SevenZipExtractor extractor(&module, AnsiToWide(task_.source), SevenZip::ArchiveFormat::SevenZ);
  extractor.Extract(destination, task_.reportProgress ? this : NULL);
}

void KorvaUpdateUnzipWorker::OnExtractProgress(bool isTotal, UINT64 value) {
  if (isTotal) {
    ReportStage(task_.base, task_.weight, value, kUnzipStageCaption);
  } else {
    ReportCurrent(value);
  }
}

KorvaUpdateDiskWorker::KorvaUpdateDiskWorker(const boost::function<int()>& job)
    : job_(job), waiter_(GetCurrentThreadId()) {
  // The queue the wake-up goes to exists before the job can end.
  MSG msg;
  PeekMessageW(&msg, NULL, 0, 0, PM_NOREMOVE);
}

void KorvaUpdateDiskWorker::ThreadMain() {
  int status = kWorkerDiskJobFailed;
  {
    WorkerAccess access;
    status = job_();
  }
  Signal(status);
  WorkerAccess access;
  PostThreadMessageW(waiter_, WM_NULL, 0, 0);
}

WorkerRun RunDiskJob(const boost::function<int()>& job, int* status) {
  if (!boost::make_shared<KorvaUpdateDiskWorker>(job)->StartThread()) return kRunNotStarted;
  StepWaiter* waiter = GetStepWaiter();
  bool quit = false;
  WPARAM quitCode = 0;
  DWORD quitAt = 0;
  UINT_PTR tick = 0;
  MSG msg;
  while (!waiter->done.load(std::memory_order_acquire)) {
    if (quit && GetTickCount() - quitAt >= kDiskJobQuitWaitMs) break;
    const BOOL got = GetMessageW(&msg, NULL, 0, 0);
    if (got == 0 && !quit) {
      quit = true;
      quitCode = msg.wParam;
      quitAt = GetTickCount();
      // Nothing else may come to end the wait once the bound has passed.
      tick = SetTimer(NULL, 0, 100, NULL);
      continue;
    }
    if (got <= 0) {
      Sleep(10);  // a second WM_QUIT, or no queue: only the bound is left
      continue;
    }
    if (!DuiLib::CPaintManagerUI::TranslateMessage(&msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  if (tick != 0) KillTimer(NULL, tick);
  bool finished = false;
  {
    // Closes a wait given up: the job's late signal must change nothing.
    std::lock_guard<std::mutex> lock(waiter->lock);
    finished = waiter->done.load(std::memory_order_acquire);
    if (!finished) ++waiter->ticket;
  }
  if (quit) PostQuitMessage(static_cast<int>(quitCode));
  if (!finished) return kRunAbandoned;
  *status = GetWorkerStatus();
  return kRunFinished;
}

bool DownloadFile(const std::string& url, const std::string& path, DownloadProgressFn progress) {
  if (url.empty() || path.empty()) return false;
  // Always a fresh file: the updater never continues a partial download.
  HANDLE file = CreateFileW(AnsiToWide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return false;
  CURL* curl = curl_easy_init();
  if (curl == NULL) {
    CloseHandle(file);
    return false;
  }
  SetDownloadRequestOptions(curl, url);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, FileWriteCallback);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, static_cast<void*>(file));
  if (progress != NULL) {
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, CurlProgressCallback);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, reinterpret_cast<void*>(progress));
  } else {
    // Without a function of ours libcurl would print its own meter.
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
  }
  // https keeps libcurl's certificate and host checks: the package's digest
  // arrives over the same kind of connection.

  const CURLcode result = curl_easy_perform(curl);
  CloseHandle(file);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  return result == CURLE_OK && status == 200;
}
