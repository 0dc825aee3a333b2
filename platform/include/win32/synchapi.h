// Waiting and named mutexes.
#pragma once
#include <win32/wintypes.h>

#ifndef SYNCHRONIZE
#define SYNCHRONIZE 0x00100000L
#endif
#define MUTEX_ALL_ACCESS 0x001F0001L
#define WAIT_IO_COMPLETION 0x000000C0L

// A named mutex is shared by every process of the machine; the second
// creator gets a handle too, with GetLastError() == ERROR_ALREADY_EXISTS.
// A mutex whose owner ended is released (the next wait reports
// WAIT_ABANDONED).
HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
BOOL WINAPI ReleaseMutex(HANDLE mutex);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
