// Volume handles (CreateFileW of "\\.\X:") and what FlushFileBuffers does
// besides flushing: the test facilities that slow it down and log it.
// Platform-internal.
#pragma once
#include <string>

#include <win32/wintypes.h>

namespace win32 {

constexpr char kSlowFlushVariable[] = "WIN32_SLOW_FLUSH_MS";
constexpr char kFlushLogVariable[] = "WIN32_FLUSH_LOG";
constexpr char kNoVolumeAccessVariable[] = "WIN32_NO_VOLUME_ACCESS";

// When fileName names a volume ("\\.\C:"), opens it into *handle (or
// INVALID_HANDLE_VALUE, with the last error set) and returns true.
bool OpenIfVolume(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                  HANDLE* handle);
// When handle is a volume's, flushes the volume into *result and returns true.
bool FlushIfVolume(HANDLE handle, BOOL* result);
bool IsVolumeHandle(HANDLE handle);

// Every FlushFileBuffers call, before anything else: sleeps the
// WIN32_SLOW_FLUSH_MS of the process's environment.
void DelayFlush();
// A flush that succeeded, named as "file <Windows path>" or "volume X:",
// is appended as a line to the host file WIN32_FLUSH_LOG names.
void LogFlush(const std::wstring& what);

}  // namespace win32
