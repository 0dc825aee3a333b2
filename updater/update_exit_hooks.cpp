#include "updater/update_exit_hooks.h"

#include <cstdlib>
#include <mutex>

#include <windows.h>

#include "updater/update_context.h"
#include "updater/update_progress.h"

namespace {

struct AccessGate {
  std::mutex mutex;  // held by a worker for the duration of one access
  bool closed = false;
};

// Never freed: abandoned workers may still ask for access while the process
// ends, after every other object is gone.
AccessGate& Gate() {
  static AccessGate* gate = new AccessGate;
  return *gate;
}

[[noreturn]] void ParkThread() {
  for (;;) {
    Sleep(INFINITE);
  }
}

void FreeUpdaterObjects() {
  CloseWorkerAccess();
  DestroyStepWaiter();
  KorvaUpdateProgress::DestroyInstance();
  UpdateContext::DestroyInstance();
}

}  // namespace

void RegisterUpdaterExitHooks() {
  static bool registered = false;
  if (registered) return;
  registered = true;
  Gate();  // exists before any worker can ask for it
  std::atexit(FreeUpdaterObjects);
}

WorkerAccess::WorkerAccess() {
  AccessGate& gate = Gate();
  gate.mutex.lock();
  if (gate.closed) {
    gate.mutex.unlock();
    ParkThread();
  }
}

WorkerAccess::~WorkerAccess() { Gate().mutex.unlock(); }

void CloseWorkerAccess() {
  AccessGate& gate = Gate();
  std::lock_guard<std::mutex> lock(gate.mutex);
  gate.closed = true;
}
