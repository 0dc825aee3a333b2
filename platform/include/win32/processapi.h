// Processes: opening, terminating and querying them.
#pragma once
#include <win32/wintypes.h>

#define PROCESS_TERMINATE 0x0001
#define PROCESS_QUERY_INFORMATION 0x0400
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000
#ifndef SYNCHRONIZE
#define SYNCHRONIZE 0x00100000L
#endif
#define PROCESS_ALL_ACCESS 0x001FFFFFL
#define STILL_ACTIVE 259

// The handle waits (WaitForSingleObject) until the process has ended.
HANDLE WINAPI OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId);
BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode);
// STILL_ACTIVE while the process runs. A process ended by TerminateProcess
// reports the code given there; one that this process did not start reports
// its own code only while the system still keeps it, else 0.
BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
DWORD WINAPI GetProcessId(HANDLE process);
