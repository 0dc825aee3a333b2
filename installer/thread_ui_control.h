// The UI thread's nested wait for a worker, and the record through which a
// worker reports its status.
#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <windows.h>

class IThreadUIControl {
 public:
  // Pumps the thread's messages until a stop signal or WM_QUIT.
  virtual void RunMessageLoop() = 0;
  // Signals the wait to end; any thread.
  virtual void StopMessageLoop() = 0;
  // Drops a stop signal that no wait has consumed.
  virtual void ResetMessageLoop() = 0;

 protected:
  ~IThreadUIControl() {}
};

class KorvaThreadUIControl final : public IThreadUIControl {
 public:
  KorvaThreadUIControl();

  static KorvaThreadUIControl* Instance();
  static void DestroyInstance();

  void RunMessageLoop() override;
  void StopMessageLoop() override;
  void ResetMessageLoop() override;

 private:
  std::atomic<bool> stop_;
  // Thread that runs the wait; a stop signal also wakes it with a message,
  // so the wait does not depend on a window timer to notice the signal.
  std::atomic<DWORD> waitingThread_;
};

// Status a worker reports.
enum WorkerStatus {
  kWorkerOk = 0,
  kWorkerDownloadFailed = 1,
  kWorkerExtractFailed = 2,
  kWorkerPathMissing = 8,
  // Not reported by a worker: its wait ended without its status (WM_QUIT),
  // or its thread could not be started.
  kWorkerNoResult = -1,
};

// Process-wide completion record. Each wait has a ticket; a worker
// completes only the wait of its own ticket, so a worker that finishes after
// its wait was given up changes nothing and ends no later wait.
struct StepCompletion {
  IThreadUIControl* waiter = nullptr;
  int result = 0;
  unsigned long ticket = 0;
  bool completed = false;
  std::mutex lock;
  // Notified on every completion, for a wait that may no longer pump.
  std::condition_variable completion;
};

// The record, created on first use.
StepCompletion* GetStepCompletion();
void DestroyStepCompletion();

// Stores the waiter that later waits use.
void SetStepWaiter(IThreadUIControl* waiter);

// Opens a new wait and returns its ticket; drops any stale stop signal.
unsigned long BeginStep();
// Called once by a worker on its thread: stores the status for its ticket and
// signals the waiter.
void CompleteStep(unsigned long ticket, int result);
// True when the worker of the ticket has completed.
bool StepCompleted(unsigned long ticket);
// Blocks the calling thread, pumping no messages, until the worker of the
// ticket has completed. Only for a worker that ends on its own.
void AwaitStep(unsigned long ticket);
// Closes the wait of the ticket: true with the worker's status when it
// completed, false when it did not. Later completions of it are ignored.
bool EndStep(unsigned long ticket, int* result);
