// COM of this machine: per-thread start-up and the one class that the
// programs create, the shell link.
#include <objbase.h>
#include <shobjidl.h>

#include <cstdlib>

#include "internal/process_com.h"

namespace win32 {
HRESULT CreateShellLink(REFIID iid, void** object);

namespace {
struct ThreadCom {
  unsigned long depth = 0;  // balanced CoInitialize calls still open
  DWORD model = 0;
  unsigned long calls = 0;
};
thread_local ThreadCom t_com;

constexpr DWORD kModelMask = COINIT_APARTMENTTHREADED;
}  // namespace

unsigned long ComInitializeCallsOnThread() { return t_com.calls; }

}  // namespace win32

HRESULT WINAPI CoInitializeEx(LPVOID reserved, DWORD coInit) {
  (void)reserved;
  auto& com = win32::t_com;
  ++com.calls;
  const DWORD model = coInit & win32::kModelMask;
  if (com.depth == 0) {
    com.model = model;
    com.depth = 1;
    return S_OK;
  }
  if (com.model != model) return RPC_E_CHANGED_MODE;
  ++com.depth;
  return S_FALSE;
}

HRESULT WINAPI CoInitialize(LPVOID reserved) { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); }

void WINAPI CoUninitialize() {
  if (win32::t_com.depth > 0) --win32::t_com.depth;
}

HRESULT WINAPI CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsContext, REFIID iid, LPVOID* object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (win32::t_com.depth == 0) return CO_E_NOTINITIALIZED;
  if (outer) return CLASS_E_NOAGGREGATION;
  if (!(clsContext & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
  if (clsid == CLSID_ShellLink) return win32::CreateShellLink(iid, object);
  return REGDB_E_CLASSNOTREG;
}

LPVOID WINAPI CoTaskMemAlloc(SIZE_T size) { return malloc(size ? size : 1); }

void WINAPI CoTaskMemFree(LPVOID memory) { free(memory); }
