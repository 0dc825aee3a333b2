// Per-thread last-error value.
#pragma once
#include <win32/wintypes.h>

DWORD WINAPI GetLastError();
void WINAPI SetLastError(DWORD error);
