// Waiting and named mutexes.
#pragma once
#include <win32/wintypes.h>

#ifndef SYNCHRONIZE
#define SYNCHRONIZE 0x00100000L
#endif
#define MUTEX_ALL_ACCESS 0x001F0001L
#define WAIT_IO_COMPLETION 0x000000C0L
#ifndef ERROR_NOT_OWNER
#define ERROR_NOT_OWNER 288L
#endif

// A named mutex is shared by every process of the machine; the second
// creator gets a handle too, with GetLastError() == ERROR_ALREADY_EXISTS.
// It exists while any process holds a handle to it, and a process that ends
// gives up its handles and its ownership.
HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
BOOL WINAPI ReleaseMutex(HANDLE mutex);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
