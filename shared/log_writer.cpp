#include "shared/log_writer.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include <windows.h>

#include "shared/text_convert.h"

namespace {

std::string LogFilePath;

// Lines of concurrent threads must never interleave: each open, append and
// close happens under this lock.
std::mutex& LogMutex() {
  static std::mutex mutex;
  return mutex;
}

// The log file is a text-mode stream on Windows: "\n" is written as CRLF.
std::string ToTextMode(const char* text) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    if (*p == '\n') out += '\r';
    out += *p;
  }
  return out;
}

}  // namespace

void SetLogPath(const std::string& path) { LogFilePath = path; }

void WriteLog(const char* format, ...) {
  char message[1024] = {};
  va_list args;
  va_start(args, format);
  // vsnprintf cuts an over-long message at 1023 characters instead of failing.
  vsnprintf(message, sizeof(message), format, args);
  va_end(args);

  std::lock_guard<std::mutex> lock(LogMutex());
  if (LogFilePath.empty()) return;
  HANDLE file = CreateFileW(AnsiToWide(LogFilePath).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;

  SYSTEMTIME now;
  GetLocalTime(&now);
  char prefix[256] = {};
  snprintf(prefix, sizeof(prefix), "%d-%02d-%02d %02d:%02d:%02d    ", now.wYear, now.wMonth, now.wDay, now.wHour,
           now.wMinute, now.wSecond);
  std::string line = prefix + ToTextMode(message) + "\r\n";
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}
