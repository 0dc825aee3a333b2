#include "installer/process_objects.h"

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <boost/thread/locks.hpp>
#include <boost/thread/shared_mutex.hpp>

#include "installer/install_kernel.h"
#include "installer/install_progress.h"
#include "installer/thread_ui_control.h"

namespace {

struct Gate {
  boost::shared_mutex lock;
  bool closed = false;
};

// Never freed: detached workers may ask for it while the process ends.
Gate& TheGate() {
  static Gate* gate = new Gate;
  return *gate;
}

void FreeWaiter() {
  CloseProcessObjects();
  KorvaThreadUIControl::DestroyInstance();
}

void FreeKernel() {
  CloseProcessObjects();
  KorvaInstallKernel::DestroyInstance();
}

void FreeProgress() {
  CloseProcessObjects();
  KorvaInstallProgress::DestroyInstance();
}

void FreeStepCompletion() {
  CloseProcessObjects();
  DestroyStepCompletion();
}

}  // namespace

void RegisterInstallerExitHooks() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::atexit(FreeWaiter);
    std::atexit(FreeKernel);
    std::atexit(FreeProgress);
    std::atexit(FreeStepCompletion);
  });
}

void CloseProcessObjectsFirstAtExit() {
  static std::once_flag once;
  std::call_once(once, [] { std::atexit(CloseProcessObjects); });
}

ProcessObjectsAccess::ProcessObjectsAccess() : granted_(false) {
  Gate& gate = TheGate();
  gate.lock.lock_shared();
  granted_ = !gate.closed;
  if (!granted_) gate.lock.unlock_shared();
}

ProcessObjectsAccess::~ProcessObjectsAccess() {
  if (granted_) TheGate().lock.unlock_shared();
}

void CloseProcessObjects() {
  Gate& gate = TheGate();
  boost::unique_lock<boost::shared_mutex> exclusive(gate.lock);
  gate.closed = true;
}

void ParkWorkerThread() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}
