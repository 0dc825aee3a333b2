// The installer's process-wide objects are created on first use by their
// getters and freed by exit hooks. Worker threads are detached and may still
// run while the hooks free them, so workers reach those objects only through
// a ProcessObjectsAccess.
#pragma once

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

// A worker that was refused access parks its thread here for the rest of the
// process's life, so it touches nothing more while the process ends.
[[noreturn]] void ParkWorkerThread();
