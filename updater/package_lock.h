// One updater at a time applies a package: a named mutex of the machine,
// held from a package's download until what the run writes into the install
// tree for it is written: its transaction done or undone, and the version
// written back (or the self-update's batch file started).
#pragma once
#include <windows.h>

class PackageLock {
 public:
  PackageLock() = default;
  PackageLock(const PackageLock&) = delete;
  PackageLock& operator=(const PackageLock&) = delete;
  ~PackageLock() { Release(); }

  // Takes the lock without waiting: false when another updater holds it.
  // The owner that died without letting go leaves it free.
  bool TryAcquire();
  void Release();
  // Keeps the lock until the process ends: a worker that still runs may go
  // on writing into the install tree.
  void KeepUntilExit();

 private:
  HANDLE mutex_ = NULL;
};
