/* Stands for update.exe on the Windows side of the batch file's runs.
 *   updater_probe            the new updater that the batch file starts: notes
 *                            its start, its own path and its working folder
 *   updater_probe --live MS  the old updater, still running when the batch
 *                            file starts: notes its start, lives MS
 *                            milliseconds, notes its end
 * Notes are appended to the file that %KORVA_PROBE_LOG% names, one line each:
 * "<what> <ms since 1970> <path>|<working folder>", UTF-8. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static unsigned long long NowMs(void) {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  ULARGE_INTEGER t;
  t.LowPart = now.dwLowDateTime;
  t.HighPart = now.dwHighDateTime;
  /* 100 ns steps since 1601 to milliseconds since 1970. */
  return (t.QuadPart - 116444736000000000ULL) / 10000ULL;
}

static void Note(const char* what) {
  WCHAR log[MAX_PATH * 2], self[MAX_PATH * 2], cwd[MAX_PATH * 2], line[MAX_PATH * 5];
  if (!GetEnvironmentVariableW(L"KORVA_PROBE_LOG", log, MAX_PATH * 2)) return;
  if (!GetModuleFileNameW(NULL, self, MAX_PATH * 2)) self[0] = 0;
  if (!GetCurrentDirectoryW(MAX_PATH * 2, cwd)) cwd[0] = 0;
  _snwprintf(line, MAX_PATH * 5, L"%hs %llu %ls|%ls\r\n", what, NowMs(), self, cwd);
  line[MAX_PATH * 5 - 1] = 0;
  char bytes[MAX_PATH * 5 * 3];
  int size = WideCharToMultiByte(CP_UTF8, 0, line, -1, bytes, sizeof(bytes), NULL, NULL);
  if (size <= 1) return;
  /* Appending, shared: both updaters note into one file. */
  HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, bytes, (DWORD)(size - 1), &written, NULL);
  CloseHandle(file);
}

int wmain(int argc, WCHAR** argv) {
  if (argc == 3 && wcscmp(argv[1], L"--live") == 0) {
    Note("running");
    Sleep((DWORD)_wtoi(argv[2]));
    Note("ended");
    return 0;
  }
  Note("started");
  return 0;
}
