// The narrow (ANSI code page) forms of the file calls that take a path: the
// path is converted from CP_ACP and handed to the wide call, as on Windows.
#pragma once
#include <win32/wintypes.h>

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile);
