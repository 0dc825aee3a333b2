// The program's log: one line per call, prefixed with the local time,
// appended to the file named by SetLogPath (a path in the ANSI code page).
#pragma once
#include <string>

#if defined(__GNUC__)
#define KORVA_PRINTF_FORMAT(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define KORVA_PRINTF_FORMAT(fmt, first)
#endif

// Set once at start-up, before any worker thread exists. Lines written
// before it are dropped.
void SetLogPath(const std::string& path);

// printf-style, narrow text (wide values go through WideToAnsi first). A
// message longer than 1023 characters is cut there. A file that cannot be
// opened loses the line silently.
void WriteLog(const char* format, ...) KORVA_PRINTF_FORMAT(1, 2);
