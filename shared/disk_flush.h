// Writing a whole folder of files to the disk, so that it survives a power
// cut: one flush of its volume where the process may open the volume (an
// administrator may), else one flush per file, which costs a wait for the
// disk each.
#pragma once
#include <string>
#include <vector>

#include <windows.h>

// The device name of the volume holding path ("\\.\C:" for "C:\a\b"); empty
// for a path without a drive letter.
std::wstring VolumeDeviceName(const std::wstring& path);

// Writes what the system still caches of every file below dir to the disk.
// File by file, the subfolders of dir named in `skipped` are left out (a
// volume's flush writes them as well); a file that cannot be flushed does not
// stop the others. False when one could not be: *failed (when given) names
// the first, and the last error says why.
bool FlushTreeToDisk(const std::wstring& dir, const std::vector<std::wstring>& skipped, std::wstring* failed);
