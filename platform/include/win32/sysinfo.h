// Time, tick count, process and thread ids, handles and environment.
#pragma once
#include <win32/wintypes.h>

void WINAPI GetLocalTime(LPSYSTEMTIME st);
void WINAPI GetSystemTime(LPSYSTEMTIME st);
void WINAPI GetSystemTimeAsFileTime(LPFILETIME ft);
BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME ft);
BOOL WINAPI FileTimeToSystemTime(const FILETIME* ft, LPSYSTEMTIME st);
DWORD WINAPI GetTickCount();
ULONGLONG WINAPI GetTickCount64();
void WINAPI Sleep(DWORD milliseconds);
DWORD WINAPI GetCurrentProcessId();
DWORD WINAPI GetCurrentThreadId();
HANDLE WINAPI GetCurrentProcess();
BOOL WINAPI CloseHandle(HANDLE handle);
DWORD WINAPI GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size);
BOOL WINAPI SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value);

#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED 0x00000080L
#define WAIT_FAILED 0xFFFFFFFFu
