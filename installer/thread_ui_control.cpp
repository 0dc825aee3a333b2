#include "installer/thread_ui_control.h"

#include <duilib/UIlib.h>

#include "installer/process_objects.h"
#include "shared/log_writer.h"

namespace {

ProcessObject<KorvaThreadUIControl> g_waiter;
ProcessObject<StepCompletion> g_completion;

}  // namespace

KorvaThreadUIControl::KorvaThreadUIControl() : stop_(false), waitingThread_(0) {}

KorvaThreadUIControl* KorvaThreadUIControl::Instance() { return g_waiter.Get(); }

void KorvaThreadUIControl::DestroyInstance() { g_waiter.Destroy(); }

void KorvaThreadUIControl::RunMessageLoop() {
  // A thread gets its message queue on first use; make sure it has one
  // before a worker may post to it, or an early wake-up would be lost.
  MSG peek;
  PeekMessageW(&peek, NULL, WM_USER, WM_USER, PM_NOREMOVE);
  waitingThread_.store(GetCurrentThreadId(), std::memory_order_release);
  for (;;) {
    if (stop_.exchange(false, std::memory_order_acquire)) break;
    MSG msg;
    BOOL got = GetMessageW(&msg, NULL, 0, 0);
    // WM_QUIT is consumed here; an error would only repeat, so it ends the
    // wait as well.
    if (got == 0 || got == -1) break;
    if (!DuiLib::CPaintManagerUI::TranslateMessage(&msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  WriteLog("out of thread");
}

void KorvaThreadUIControl::StopMessageLoop() {
  stop_.store(true, std::memory_order_release);
  // Wakes the wait if it sleeps in GetMessageW; a stray WM_NULL is harmless.
  DWORD thread = waitingThread_.load(std::memory_order_acquire);
  if (thread != 0) PostThreadMessageW(thread, WM_NULL, 0, 0);
}

void KorvaThreadUIControl::ResetMessageLoop() {
  stop_.store(false, std::memory_order_release);
}

StepCompletion* GetStepCompletion() { return g_completion.Get(); }

void DestroyStepCompletion() { g_completion.Destroy(); }

void SetStepWaiter(IThreadUIControl* waiter) {
  StepCompletion* completion = GetStepCompletion();
  std::lock_guard<std::mutex> guard(completion->lock);
  completion->waiter = waiter;
}

unsigned long BeginStep() {
  StepCompletion* completion = GetStepCompletion();
  std::lock_guard<std::mutex> guard(completion->lock);
  ++completion->ticket;
  completion->completed = false;
  completion->result = 0;
  // A signal left by a wait that ended on WM_QUIT must not end this one.
  if (completion->waiter) completion->waiter->ResetMessageLoop();
  return completion->ticket;
}

void CompleteStep(unsigned long ticket, int result) {
  ProcessObjectsAccess access;
  if (!access.granted()) ParkWorkerThread();
  StepCompletion* completion = GetStepCompletion();
  std::lock_guard<std::mutex> guard(completion->lock);
  if (ticket != completion->ticket || completion->completed) return;
  completion->result = result;
  completion->completed = true;
  completion->completion.notify_all();
  if (completion->waiter) completion->waiter->StopMessageLoop();
}

bool StepCompleted(unsigned long ticket) {
  StepCompletion* completion = GetStepCompletion();
  std::lock_guard<std::mutex> guard(completion->lock);
  return ticket == completion->ticket && completion->completed;
}

void AwaitStep(unsigned long ticket) {
  StepCompletion* completion = GetStepCompletion();
  std::unique_lock<std::mutex> guard(completion->lock);
  completion->completion.wait(guard, [&] { return ticket != completion->ticket || completion->completed; });
}

bool EndStep(unsigned long ticket, int* result) {
  StepCompletion* completion = GetStepCompletion();
  std::lock_guard<std::mutex> guard(completion->lock);
  if (ticket != completion->ticket) return false;
  bool done = completion->completed;
  if (done && result) *result = completion->result;
  ++completion->ticket;
  if (completion->waiter) completion->waiter->ResetMessageLoop();
  return done;
}
