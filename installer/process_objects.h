// The installer's process-wide objects are created on first use by their
// getters and freed by exit hooks. Worker threads are detached and may still
// run while the hooks free them, so workers reach those objects only through
// a ProcessObjectsAccess.
#pragma once
#include <mutex>

// The pointer to one process-wide object: created on first use (from any
// thread, exactly once) and freed by its exit hook. Constant-initialised, so
// it is usable before and after every static constructor and destructor.
template <typename T>
class ProcessObject {
 public:
  T* Get() {
    std::lock_guard<std::mutex> guard(lock_);
    if (!object_) object_ = new T();
    return object_;
  }
  void Destroy() {
    std::lock_guard<std::mutex> guard(lock_);
    delete object_;
    object_ = nullptr;
  }

 private:
  std::mutex lock_;
  T* object_ = nullptr;
};

// Registers the exit hooks, in this order: waiter, install kernel, progress
// model, step completion (they run in the reverse order). Later calls do
// nothing.
void RegisterInstallerExitHooks();

// Held by a worker thread while it uses a process-wide object. Once the first
// exit hook has run, every access is refused.
class ProcessObjectsAccess {
 public:
  ProcessObjectsAccess();
  ~ProcessObjectsAccess();
  ProcessObjectsAccess(const ProcessObjectsAccess&) = delete;
  ProcessObjectsAccess& operator=(const ProcessObjectsAccess&) = delete;

  bool granted() const { return granted_; }

 private:
  bool granted_;
};

// Waits for every access in progress, then refuses all later ones. Each exit
// hook calls it before it frees its object.
void CloseProcessObjects();

// Closes the gate at exit before any static object that exists now is
// destroyed (the log path among them), however early the hooks were
// registered. Called before a worker starts; later calls do nothing.
void CloseProcessObjectsFirstAtExit();

// A worker that was refused access parks its thread here for the rest of the
// process's life, so it touches nothing more while the process ends.
[[noreturn]] void ParkWorkerThread();
