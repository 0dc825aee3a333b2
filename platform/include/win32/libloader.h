// Modules: the program itself, the system modules and loaded libraries.
#pragma once
#include <win32/wintypes.h>

// The system modules (kernel32.dll, advapi32.dll, user32.dll, shell32.dll ...)
// are part of this platform: their handles are always there.
HMODULE WINAPI LoadLibraryW(LPCWSTR fileName);
BOOL WINAPI FreeLibrary(HMODULE module);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);
// NULL gives the running program's own module.
HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName);
// The Windows path of the module's file; NULL is the running program.
// Truncates to size-1 characters with ERROR_INSUFFICIENT_BUFFER.
DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);
