// Executable images of running processes. Platform-internal.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace win32 {

// Host path of the process's executable ("" when it cannot be read).
std::string ProcessImagePath(pid_t pid);

// True while a live process of the host (whoever started it) runs the file
// that st, from stat, describes: Windows refuses to write, truncate or delete
// such a file whatever its sharing, and allows renaming it. Only a regular
// file with an execute bit is looked for among the processes.
bool IsRunningImage(const struct stat& st);
// The same for the file at hostPath (a link is followed).
bool IsRunningImage(const std::string& hostPath);

}  // namespace win32
