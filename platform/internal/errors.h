// errno -> Win32 error mapping. Platform-internal.
#pragma once
#include <win32/wintypes.h>

namespace win32 {
DWORD ErrorFromErrno(int err);
// Sets the thread's last error from errno and returns it.
DWORD SetLastErrorFromErrno();
}  // namespace win32
