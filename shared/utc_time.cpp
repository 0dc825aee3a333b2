#include "shared/utc_time.h"

#include <cwchar>

#include <windows.h>

std::wstring GetUtcTimestamp() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  WCHAR buffer[64] = {};
  swprintf(buffer, 64, L"%04d%02d%02d%02d%02d%02d", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
           now.wSecond);
  return buffer;
}

std::wstring GetUtcDate() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  WCHAR buffer[32] = {};
  swprintf(buffer, 32, L"%04d-%02d-%02d", now.wYear, now.wMonth, now.wDay);
  return buffer;
}
