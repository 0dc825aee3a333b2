#include "updater/package_lock.h"

namespace {

// One for the whole machine: updaters of two logon sessions must not both
// apply, nor one undo the other's transaction.
const WCHAR kPackageLockName[] = L"Global\\KorvaUpdatePackage";

}  // namespace

bool PackageLock::TryAcquire() {
  if (mutex_ != NULL) return true;
  HANDLE mutex = CreateMutexW(NULL, FALSE, kPackageLockName);
  if (mutex == NULL) return false;
  const DWORD wait = WaitForSingleObject(mutex, 0);
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
    CloseHandle(mutex);
    return false;
  }
  mutex_ = mutex;
  return true;
}

void PackageLock::Release() {
  if (mutex_ == NULL) return;
  ReleaseMutex(mutex_);
  CloseHandle(mutex_);
  mutex_ = NULL;
}

void PackageLock::KeepUntilExit() { mutex_ = NULL; }
