// Executable images of running processes. Platform-internal.
#pragma once
#include <sys/types.h>

#include <string>

namespace win32 {

// Host path of the process's executable ("" when it cannot be read).
std::string ProcessImagePath(pid_t pid);

// True while a process of the host runs the file at hostPath: Windows
// refuses to open such a file for writing, whatever its sharing.
bool IsRunningImage(const std::string& hostPath);

}  // namespace win32
