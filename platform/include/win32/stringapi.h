// Code page conversions (CP_ACP follows machine.json, default 936) and
// the string helpers of kernel32.
#pragma once
#include <win32/wintypes.h>

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_THREAD_ACP 3
#define CP_UTF8 65001
#define MB_PRECOMPOSED 0x00000001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_NO_BEST_FIT_CHARS 0x00000400
#define WC_ERR_INVALID_CHARS 0x00000080

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByteStr, int cbMultiByte,
                               LPWSTR wideCharStr, int cchWideChar);
int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wideCharStr, int cchWideChar,
                               LPSTR multiByteStr, int cbMultiByte, LPCSTR defaultChar,
                               LPBOOL usedDefaultChar);
UINT WINAPI GetACP();
