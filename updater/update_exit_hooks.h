// The updater's process-wide objects (update context, progress model, step
// waiter) are created on first use and freed at exit. A worker whose wait was
// given up may still be running then, so workers reach those objects only
// while they hold a WorkerAccess.
#pragma once

// Registers the exit hook that closes worker access and frees the objects.
// Later calls do nothing. Called once at start-up.
void RegisterUpdaterExitHooks();

// Held by a worker thread while it uses a process-wide object or the log.
// Once the exit hook has run, a worker that asks for access is parked for the
// rest of the process's life instead, so it touches nothing that was freed.
class WorkerAccess {
 public:
  WorkerAccess();
  ~WorkerAccess();
  WorkerAccess(const WorkerAccess&) = delete;
  WorkerAccess& operator=(const WorkerAccess&) = delete;
};

// Waits for accesses in progress, then refuses every later one; frees
// nothing. The exit hook calls it first.
void CloseWorkerAccess();
