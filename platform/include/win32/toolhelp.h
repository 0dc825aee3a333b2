// Process snapshots (Toolhelp).
#pragma once
#include <win32/wintypes.h>

#define TH32CS_SNAPHEAPLIST 0x00000001
#define TH32CS_SNAPPROCESS 0x00000002
#define TH32CS_SNAPTHREAD 0x00000004
#define TH32CS_SNAPMODULE 0x00000008

typedef struct tagPROCESSENTRY32W {
  DWORD dwSize;
  DWORD cntUsage;
  DWORD th32ProcessID;
  ULONG_PTR th32DefaultHeapID;
  DWORD th32ModuleID;
  DWORD cntThreads;
  DWORD th32ParentProcessID;
  LONG pcPriClassBase;
  DWORD dwFlags;
  WCHAR szExeFile[MAX_PATH];
} PROCESSENTRY32W, *PPROCESSENTRY32W, *LPPROCESSENTRY32W;
typedef PROCESSENTRY32W PROCESSENTRY32;
typedef PPROCESSENTRY32W PPROCESSENTRY32;
typedef LPPROCESSENTRY32W LPPROCESSENTRY32;

// A snapshot of the processes of this machine: those started with its
// WIN32_MACHINE (every program the machine starts is), and the caller.
// szExeFile is the file name of the process's executable (no directory), as
// Windows reports it.
HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
BOOL WINAPI Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry);
BOOL WINAPI Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry);
#define Process32First Process32FirstW
#define Process32Next Process32NextW
