#include "internal/handles.h"

#include <mutex>
#include <unordered_map>

#include <windows.h>

namespace win32 {
namespace {
std::mutex g_mutex;
std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>>& Table() {
  static auto* table = new std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>>();
  return *table;
}
uintptr_t g_next = 0x100;
}  // namespace

DWORD KernelObject::Wait(DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

HANDLE RegisterHandle(std::shared_ptr<KernelObject> object) {
  std::lock_guard<std::mutex> lock(g_mutex);
  uintptr_t value = g_next;
  g_next += 4;
  Table()[value] = std::move(object);
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = Table().find(reinterpret_cast<uintptr_t>(handle));
  return it == Table().end() ? nullptr : it->second;
}

bool ReleaseHandle(HANDLE handle) {
  std::shared_ptr<KernelObject> dropped;  // destroyed outside the lock
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = Table().find(reinterpret_cast<uintptr_t>(handle));
  if (it == Table().end()) return false;
  dropped = std::move(it->second);
  Table().erase(it);
  return true;
}

}  // namespace win32

BOOL WINAPI CloseHandle(HANDLE handle) {
  if (!win32::ReleaseHandle(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
