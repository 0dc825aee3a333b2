#include "updater/update_progress.h"

#include <boost/thread/locks.hpp>
#include <duilib/UIlib.h>

#include "shared/log_writer.h"

const WCHAR kDownloadStageCaption[] = L"正在下载安装包，请稍等……";
const WCHAR kUnzipStageCaption[] = L"正在解压，请稍等……";

namespace {

std::mutex& InstanceMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

KorvaUpdateProgress* g_progress = nullptr;
StepWaiter* g_waiter = nullptr;

}  // namespace

KorvaUpdateProgress* KorvaUpdateProgress::Instance() {
  std::lock_guard<std::mutex> lock(InstanceMutex());
  if (g_progress == nullptr) g_progress = new KorvaUpdateProgress;
  return g_progress;
}

void KorvaUpdateProgress::DestroyInstance() {
  std::lock_guard<std::mutex> lock(InstanceMutex());
  delete g_progress;
  g_progress = nullptr;
}

int KorvaUpdateProgress::GetPercent() {
  boost::shared_lock<boost::shared_mutex> lock(lock_);
  if (finished_) return 100;
  if (total_ == 0) return 0;
  return static_cast<int>(current_ * 100 * weight_ / total_ + base_ * 100);
}

void KorvaUpdateProgress::SetStage(double base, double weight, UINT64 total, const std::wstring& caption) {
  boost::unique_lock<boost::shared_mutex> lock(lock_);
  base_ = base;
  weight_ = weight;
  total_ = static_cast<double>(total);
  current_ = 0;
  caption_ = caption;
}

void KorvaUpdateProgress::SetCurrent(UINT64 amount) {
  boost::unique_lock<boost::shared_mutex> lock(lock_);
  current_ = static_cast<double>(amount);
}

void KorvaUpdateProgress::SetFinished() {
  boost::unique_lock<boost::shared_mutex> lock(lock_);
  finished_ = true;
}

std::wstring KorvaUpdateProgress::GetCaption() {
  boost::shared_lock<boost::shared_mutex> lock(lock_);
  return caption_;
}

StepWaiter* GetStepWaiter() {
  std::lock_guard<std::mutex> lock(InstanceMutex());
  if (g_waiter == nullptr) g_waiter = new StepWaiter;
  return g_waiter;
}

void DestroyStepWaiter() {
  std::lock_guard<std::mutex> lock(InstanceMutex());
  delete g_waiter;
  g_waiter = nullptr;
}

unsigned long BeginWorkerWait() {
  StepWaiter* waiter = GetStepWaiter();
  std::lock_guard<std::mutex> lock(waiter->lock);
  waiter->done.store(false, std::memory_order_release);
  return ++waiter->ticket;
}

void SetWorkerStatus(unsigned long ticket, int code) {
  StepWaiter* waiter = GetStepWaiter();
  std::lock_guard<std::mutex> lock(waiter->lock);
  if (ticket != waiter->ticket) return;  // its wait was given up
  waiter->code = code;
  waiter->done.store(true, std::memory_order_release);
}

int GetWorkerStatus() {
  StepWaiter* waiter = GetStepWaiter();
  std::lock_guard<std::mutex> lock(waiter->lock);
  return waiter->code;
}

bool PumpUntilWorkerDone() {
  StepWaiter* waiter = GetStepWaiter();
  bool signalled = true;
  if (!waiter->done.load(std::memory_order_acquire)) {
    MSG msg;
    for (;;) {
      // 0 is WM_QUIT; -1 (no usable queue) would never deliver the signal either.
      if (GetMessageW(&msg, NULL, 0, 0) <= 0) {
        signalled = false;
        // Closes the wait: the worker's late signal must change nothing.
        std::lock_guard<std::mutex> lock(waiter->lock);
        ++waiter->ticket;
        break;
      }
      if (!DuiLib::CPaintManagerUI::TranslateMessage(&msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      if (waiter->done.load(std::memory_order_acquire)) break;
    }
  }
  WriteLog("out of thread");
  return signalled;
}
