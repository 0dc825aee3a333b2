// Small wrappers of one Windows facility each: shell folders, the file-in-use
// test, shortcuts, free disk space, ending the product's processes, the
// compatibility-assistant mark, the MAC address and the network state. None
// keeps state or throws; failures come back as the result.
#pragma once
#include <string>

#include <windows.h>

// Closes the handle held in *handle when the guard goes away, so a handle is
// closed also when an exception passes.
class HandleGuard {
 public:
  explicit HandleGuard(HANDLE* handle) : handle_(handle) {}
  ~HandleGuard();
  HandleGuard(const HandleGuard&) = delete;
  HandleGuard& operator=(const HandleGuard&) = delete;

 private:
  HANDLE* handle_;
};

// The folder's path without a trailing backslash; empty on failure.
std::wstring GetShellFolder(int csidl);

// True when the file exists and cannot be opened for exclusive read and
// write. Clears a read-only attribute first, so that alone never counts.
bool IsFileLocked(const std::wstring& path);

// Saves a shell link at shortcutPath (its directory is created when
// missing). True when the file was saved.
bool CreateShortcut(const std::wstring& target, const std::wstring& shortcutPath, const std::wstring& iconPath,
                    const std::wstring& arguments, const std::wstring& workingDirectory,
                    const std::wstring& description);

// Bytes available to the caller on the drive of a drive-letter path; 0 on
// failure.
ULONGLONG GetFreeDiskSpace(const std::wstring& path);

// Terminates every process whose executable name matches (case ignored) and
// waits for each to end. The last termination result, 0 when none matched.
int KillProcessByName(const std::wstring& exeName);

// Marks the running program under the compatibility assistant's HKCU key,
// only when that key exists. True when the mark was written.
bool SetCompatibilityAssistantFlag();

// "00-11-22-33-44-55" of the first Ethernet adapter; mac is set only on
// success.
bool GetMacAddress(std::wstring& mac);

bool IsNetworkConnected();
