// Message texts, path helpers and file streams of the archive layer.
#pragma once
#include <string>

#include <windows.h>
#include <objidl.h>

namespace SevenZip {

// printf-style wide formatting ("%ls" for wide strings, as on every
// platform); empty when the text cannot be formatted.
std::wstring FormatWideString(const WCHAR* format, ...);

// "<prefix>: GetLastError = <code in decimal>"
std::wstring LastErrorMessage(const WCHAR* prefix, DWORD code);
// "<prefix>: HRESULT = 0x<8 upper-case hex digits>"
std::wstring HresultMessage(const WCHAR* prefix, HRESULT result);

// The path up to and including its last "\" or "/"; empty without either.
std::wstring GetDirectoryPart(const std::wstring& path);
// directory + name with exactly the separator that is needed between them.
std::wstring JoinPath(const std::wstring& directory, const std::wstring& name);

// True when an archive item path stays below the directory it is extracted
// into: relative, no drive letter, no ".." component.
bool IsContainedItemPath(const std::wstring& itemPath);

// A stream on an existing file for reading, or null.
IStream* OpenReadStream(const std::wstring& path);
// A stream on a new or truncated file for writing, or null (the thread's last
// error says why).
IStream* CreateWriteStream(const std::wstring& path);

}  // namespace SevenZip
