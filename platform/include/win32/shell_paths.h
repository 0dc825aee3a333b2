// Path helpers of shlwapi. Buffers are MAX_PATH characters unless said
// otherwise; both separators are recognised where the shell recognises them.
#pragma once
#include <win32/wintypes.h>

// Appends a backslash unless the path ends in one. Returns the address of
// the terminating NUL, or NULL (path unchanged) when the result would not
// fit in MAX_PATH characters with its terminator.
LPWSTR WINAPI PathAddBackslashW(LPWSTR path);
// Removes one trailing backslash unless the path is a root ("C:\", "\").
// Returns the address of the removed backslash, or of the last character
// when nothing was removed.
LPWSTR WINAPI PathRemoveBackslashW(LPWSTR path);
// Cuts the last element and the backslash before it ("C:\a\b" -> "C:\a",
// "C:\a" -> "C:\", "a" -> ""). TRUE when something was removed.
BOOL WINAPI PathRemoveFileSpecW(LPWSTR path);
// TRUE when the file or directory exists.
BOOL WINAPI PathFileExistsW(LPCWSTR path);
// TRUE for "\", "C:\", "\\server" and "\\server\share".
BOOL WINAPI PathIsRootW(LPCWSTR path);
