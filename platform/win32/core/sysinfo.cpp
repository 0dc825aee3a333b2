#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <sys/syscall.h>
#include <unistd.h>

#include "internal/unicode.h"

namespace {
// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kEpochDelta = 116444736000000000LL;

void FromTm(const std::tm& tm, long millis, LPSYSTEMTIME st) {
  st->wYear = static_cast<WORD>(tm.tm_year + 1900);
  st->wMonth = static_cast<WORD>(tm.tm_mon + 1);
  st->wDayOfWeek = static_cast<WORD>(tm.tm_wday);
  st->wDay = static_cast<WORD>(tm.tm_mday);
  st->wHour = static_cast<WORD>(tm.tm_hour);
  st->wMinute = static_cast<WORD>(tm.tm_min);
  st->wSecond = static_cast<WORD>(tm.tm_sec);
  st->wMilliseconds = static_cast<WORD>(millis);
}

void NowParts(time_t* secs, long* millis) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  *secs = ts.tv_sec;
  *millis = ts.tv_nsec / 1000000;
}

// The current time broken down by `breakDown` (localtime_r or gmtime_r).
void NowAs(LPSYSTEMTIME st, std::tm* (*breakDown)(const time_t*, std::tm*)) {
  time_t secs;
  long millis;
  NowParts(&secs, &millis);
  std::tm tm{};
  breakDown(&secs, &tm);
  FromTm(tm, millis, st);
}
}  // namespace

void WINAPI GetLocalTime(LPSYSTEMTIME st) { NowAs(st, localtime_r); }

void WINAPI GetSystemTime(LPSYSTEMTIME st) { NowAs(st, gmtime_r); }

void WINAPI GetSystemTimeAsFileTime(LPFILETIME ft) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  int64_t v = static_cast<int64_t>(ts.tv_sec) * 10000000LL + ts.tv_nsec / 100 + kEpochDelta;
  ft->dwLowDateTime = static_cast<DWORD>(v & 0xFFFFFFFF);
  ft->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) >> 32);
}

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME ft) {
  if (!st || !ft || st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1 || st->wDay > 31 ||
      st->wHour > 23 || st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::tm tm{};
  tm.tm_year = st->wYear - 1900;
  tm.tm_mon = st->wMonth - 1;
  tm.tm_mday = st->wDay;
  tm.tm_hour = st->wHour;
  tm.tm_min = st->wMinute;
  tm.tm_sec = st->wSecond;
  int64_t secs = timegm(&tm);
  int64_t v = secs * 10000000LL + st->wMilliseconds * 10000LL + kEpochDelta;
  ft->dwLowDateTime = static_cast<DWORD>(v & 0xFFFFFFFF);
  ft->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) >> 32);
  return TRUE;
}

BOOL WINAPI FileTimeToSystemTime(const FILETIME* ft, LPSYSTEMTIME st) {
  if (!ft || !st) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int64_t v = static_cast<int64_t>((static_cast<uint64_t>(ft->dwHighDateTime) << 32) | ft->dwLowDateTime);
  int64_t rel = v - kEpochDelta;
  int64_t secs = rel >= 0 ? rel / 10000000LL : -((-rel + 9999999) / 10000000LL);
  long millis = static_cast<long>((rel - secs * 10000000LL) / 10000);
  time_t t = static_cast<time_t>(secs);
  std::tm tm{};
  gmtime_r(&t, &tm);
  FromTm(tm, millis, st);
  return TRUE;
}

DWORD WINAPI GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

ULONGLONG WINAPI GetTickCount64() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<ULONGLONG>(ts.tv_sec) * 1000ULL + static_cast<ULONGLONG>(ts.tv_nsec / 1000000);
}

void WINAPI Sleep(DWORD milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD WINAPI GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }
DWORD WINAPI GetCurrentThreadId() { return static_cast<DWORD>(syscall(SYS_gettid)); }
HANDLE WINAPI GetCurrentProcess() { return INVALID_HANDLE_VALUE; }  // the pseudo-handle -1

DWORD WINAPI GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
  const char* v = getenv(win32::WideToUtf8(name).c_str());
  if (!v) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  std::wstring w = win32::Utf8ToWide(v);
  if (!buffer || size <= w.size()) return static_cast<DWORD>(w.size() + 1);
  w.copy(buffer, w.size());
  buffer[w.size()] = 0;
  return static_cast<DWORD>(w.size());
}

BOOL WINAPI SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) {
  std::string n = win32::WideToUtf8(name);
  int rc = value ? setenv(n.c_str(), win32::WideToUtf8(value).c_str(), 1) : unsetenv(n.c_str());
  if (rc != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}
