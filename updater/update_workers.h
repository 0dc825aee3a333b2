// Worker threads of the update steps: the package download, its unpacking
// into the install directory and the jobs that write to the disk, and the
// updater's file download.
#pragma once
#include <atomic>
#include <string>

#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
// winsock2.h, which libcurl needs, must precede windows.h.
#include <winsock2.h>
#include <windows.h>

#include "shared/http_client.h"
#include "shared/seven_zip_progress.h"

// The job of one worker, copied into it.
struct WorkerTask {
  std::string source;  // download: the URL (UTF-8); unzip: the archive (ANSI)
  std::string target;  // download: the file to write; unzip: the directory (ANSI)
  bool reportProgress = false;
  float base = 0;    // fraction of the whole run where the stage begins
  float weight = 0;  // fraction of the whole run the stage covers
};

// Stage of the running download, for the progress function, which gets no
// context. base and weight are written before the worker starts.
struct DownloadStageParams {
  float base = 0;
  float weight = 0;
  std::atomic<bool> stagePending{true};  // the first usable report sets the stage
};
DownloadStageParams& GetDownloadStageParams();

// Base of the workers. A worker is held by shared pointers and its thread
// holds one as well, so the worker and its task outlive a step that stopped
// waiting for it.
class KorvaUpdateThreadWorker : public boost::enable_shared_from_this<KorvaUpdateThreadWorker> {
 public:
  // Opens a new wait (BeginWorkerWait), starts the worker's thread and
  // detaches it. False when no thread could be made: then nothing signals.
  virtual bool StartThread();

 protected:
  KorvaUpdateThreadWorker() = default;
  ~KorvaUpdateThreadWorker() = default;

  virtual void ThreadMain() = 0;
  // Reports the result to the wait this worker was started for. Blocks for
  // good when the program is ending.
  void Signal(int status);

 private:
  void Run();

  unsigned long ticket_ = 0;
};

class KorvaUpdateDownloadWorker final : public KorvaUpdateThreadWorker {
 public:
  explicit KorvaUpdateDownloadWorker(const WorkerTask& task) : task_(task) {}

 protected:
  void ThreadMain() override;

 private:
  WorkerTask task_;
};

class KorvaUpdateUnzipWorker final : public KorvaUpdateThreadWorker,
                                     public ISevenZipExtractProgressCallBack {
 public:
  explicit KorvaUpdateUnzipWorker(const WorkerTask& task) : task_(task) {}

  void OnExtractProgress(bool isTotal, UINT64 value) override;

 protected:
  void ThreadMain() override;

 private:
  // Extracts the task's archive into destination with 7z.dll; throws what the
  // archive library throws.
  void Extract(const std::wstring& destination);

  WorkerTask task_;
};

// Runs a job that writes to the disk (flushes, a package's move into the
// install tree, the recovery of an interrupted one) so that the window keeps
// answering while the disk is slow. The job holds a WorkerAccess while it
// runs: the program's exit waits for it rather than end it halfway.
class KorvaUpdateDiskWorker final : public KorvaUpdateThreadWorker {
 public:
  // Made on the thread that waits for it: that thread is woken once the job
  // is done, as no timer may be running there.
  explicit KorvaUpdateDiskWorker(const boost::function<int()>& job);

 protected:
  void ThreadMain() override;

 private:
  boost::function<int()> job_;
  DWORD waiter_;
};

// A disk job's failure; what went wrong is the job's to tell.
const int kWorkerDiskJobFailed = 16;

enum WorkerRun {
  kRunFinished,    // its status is in hand
  kRunNotStarted,  // no thread could be made
  kRunAbandoned,   // the wait was given up; the worker may still run
};

// How long a disk job is still waited for once WM_QUIT has come: it may be
// halfway through the install tree, and its work is short.
const DWORD kDiskJobQuitWaitMs = 30000;

// Runs job on a KorvaUpdateDiskWorker while the calling thread pumps its
// messages. A WM_QUIT does not end the wait: the job is waited for up to
// kDiskJobQuitWaitMs more, and the WM_QUIT is posted again for the caller's
// loop. kRunAbandoned when that bound passed. *status is the job's result
// once finished.
WorkerRun RunDiskJob(const boost::function<int()>& job, int* status);

// Progress function of the workers' downloads (DownloadProgressFn).
void UpdateDownloadProgressSink(double totalBytes, double downloadedBytes);

// Downloads url into path (ANSI code page), always into a fresh file. True
// only for a completed transfer answered with HTTP status 200.
bool DownloadFile(const std::string& url, const std::string& path, DownloadProgressFn progress);
