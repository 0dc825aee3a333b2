// The updater's progress model, the completion record of the running worker
// and the nested message loop in which the UI thread waits for it.
#pragma once
#include <atomic>
#include <mutex>
#include <string>

#include <boost/thread/shared_mutex.hpp>
#include <windows.h>

// Captions of the two kinds of stage.
extern const WCHAR kDownloadStageCaption[];
extern const WCHAR kUnzipStageCaption[];

// One per process. Workers write the stage and the amount done; the update
// window's timer reads the percentage of the whole run.
class KorvaUpdateProgress {
 public:
  // Created on the first call, from whichever thread makes it.
  static KorvaUpdateProgress* Instance();
  // Frees the object (exit hook); the next Instance() creates a new one.
  static void DestroyInstance();

  KorvaUpdateProgress() = default;
  virtual ~KorvaUpdateProgress() = default;
  KorvaUpdateProgress(const KorvaUpdateProgress&) = delete;
  KorvaUpdateProgress& operator=(const KorvaUpdateProgress&) = delete;

  // Truncation of base*100 + weight*100*current/total; 0 while total is 0,
  // 100 once finished is set.
  virtual int GetPercent();
  // A new stage: current goes back to 0.
  void SetStage(double base, double weight, UINT64 total, const std::wstring& caption);
  void SetCurrent(UINT64 amount);
  void SetFinished();
  std::wstring GetCaption();

 private:
  boost::shared_mutex lock_;
  double base_ = 0;
  double weight_ = 0;
  double total_ = 0;
  double current_ = 0;
  std::wstring caption_;
  bool finished_ = false;
};

// Status a worker reports.
enum WorkerStatus {
  kWorkerOk = 0,
  kWorkerDownloadFailed = 1,
  kWorkerExtractFailed = 2,
  kWorkerPathMissing = 8,
};

// Completion record of the running worker. Each start of a worker opens a new
// wait (ticket); only the worker of the open wait can complete it, so a
// worker whose wait was given up changes nothing when it finishes later.
struct StepWaiter {
  std::atomic<bool> done{false};
  int code = 0;
  unsigned long ticket = 0;
  std::mutex lock;  // guards code and ticket
};

// The record, created on first use; freed by its exit hook.
StepWaiter* GetStepWaiter();
void DestroyStepWaiter();

// Clears done and opens a new wait; returns its ticket. Called by a worker's
// start before its thread exists, so an early signal is never lost.
unsigned long BeginWorkerWait();
// The worker's completion signal, once per worker: stores the code, then sets
// done, both only when `ticket` is still the open wait.
void SetWorkerStatus(unsigned long ticket, int code);
// The code of the last completed wait.
int GetWorkerStatus();

// Pumps the UI thread's messages until the started worker has signalled
// (true; its status is then GetWorkerStatus()) or WM_QUIT arrives (false; the
// WM_QUIT is consumed). The signal posts nothing: the update window's timer
// keeps messages coming, and done is tested after each one.
bool PumpUntilWorkerDone();
