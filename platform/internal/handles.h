// Kernel object handles of this process: files, processes, mutexes,
// snapshots and the rest register an object here and get a HANDLE back.
// Platform-internal.
#pragma once
#include <memory>
#include <win32/wintypes.h>

namespace win32 {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // WAIT_OBJECT_0 / WAIT_TIMEOUT / WAIT_FAILED, as WaitForSingleObject.
  virtual DWORD Wait(DWORD milliseconds);
};

HANDLE RegisterHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}
// Drops the handle's reference; false when the handle is unknown.
bool ReleaseHandle(HANDLE handle);

}  // namespace win32
