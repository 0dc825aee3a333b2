// The simulated Windows machine: its directory, its facts (machine.json)
// and the mapping between Windows paths and host paths. Platform-internal.
#pragma once
#include <string>
#include <json/json.h>
#include <win32/wintypes.h>

namespace win32 {

// Directory of the machine: $WIN32_MACHINE, else ~/.local/share/win32-machine.
// Created on first use, with drive C:.
std::string MachineDir();

// machine.json of the machine directory (an empty object when absent or
// unreadable); re-read whenever the file changes.
Json::Value MachineConfig();

// Maps a Windows path ("C:\a\b", "c:/A/b", "Z:\work\x", "\\?\C:\x", or a
// path relative to the current directory) to the host path. Components that
// exist are found whatever their case; "." and ".." are resolved. Fails with
// the Win32 error the real system gives (ERROR_PATH_NOT_FOUND for an unknown
// drive, ERROR_BAD_NETPATH for a UNC path, ERROR_INVALID_NAME for bad names).
bool ToHostPath(const std::wstring& windowsPath, std::string* hostPath, DWORD* error);

// Same, setting the thread's last error on failure and returning "".
std::string HostPathOrEmpty(const std::wstring& windowsPath);

// The Windows path under which a host path is seen on this machine:
// <machine>/c/x -> C:\x, anything else -> Z:\path.
std::wstring ToWindowsPath(const std::string& hostPath);

// Drive letter folder of the machine ("c" -> <machine>/c), created for C.
std::string DriveDir(wchar_t letter);

// Case folding used for every name comparison of the machine.
wchar_t FoldCase(wchar_t c);
bool EqualsNoCase(const std::wstring& a, const std::wstring& b);

}  // namespace win32
