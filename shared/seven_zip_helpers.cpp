#include "shared/seven_zip_helpers.h"

#include <cstdarg>
#include <cwchar>
#include <vector>

#include <shlwapi.h>

namespace SevenZip {

namespace {

// Longest text FormatWideString produces; beyond it the text counts as not formattable.
const size_t kMaxFormattedLength = 1 << 20;

// The standard library has no wide counterpart of vsnprintf(NULL, 0): the
// length is found by formatting into growing buffers.
int MeasureWideFormat(const WCHAR* format, va_list args) {
  std::vector<WCHAR> probe(256);
  while (probe.size() <= kMaxFormattedLength) {
    va_list copy;
    va_copy(copy, args);
    const int length = std::vswprintf(probe.data(), probe.size(), format, copy);
    va_end(copy);
    if (length >= 0) return length;
    probe.resize(probe.size() * 4);
  }
  return -1;
}

bool IsSeparator(WCHAR c) { return c == L'\\' || c == L'/'; }

// A component that Windows would resolve to a parent: "..", and the
// dot-and-blank forms that lose their trailing dots and blanks ("... ").
bool IsParentComponent(const std::wstring& component) {
  size_t dots = 0;
  for (WCHAR c : component) {
    if (c == L'.') {
      ++dots;
    } else if (c != L' ') {
      return false;
    }
  }
  return dots >= 2;
}

}  // namespace

std::wstring FormatWideString(const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = MeasureWideFormat(format, args);
  std::wstring result;
  if (length >= 0) {
    std::vector<WCHAR> buffer(static_cast<size_t>(length) + 1);
    va_list copy;
    va_copy(copy, args);
    if (std::vswprintf(buffer.data(), buffer.size(), format, copy) == length) {
      result.assign(buffer.data(), static_cast<size_t>(length));
    }
    va_end(copy);
  }
  va_end(args);
  return result;
}

std::wstring LastErrorMessage(const WCHAR* prefix, DWORD code) {
  return FormatWideString(L"%ls: GetLastError = %lu", prefix, static_cast<unsigned long>(code));
}

std::wstring HresultMessage(const WCHAR* prefix, HRESULT result) {
  return FormatWideString(L"%ls: HRESULT = 0x%08X", prefix, static_cast<unsigned int>(result));
}

std::wstring GetDirectoryPart(const std::wstring& path) {
  const size_t last = path.find_last_of(L"\\/");
  return last == std::wstring::npos ? std::wstring() : path.substr(0, last + 1);
}

std::wstring JoinPath(const std::wstring& directory, const std::wstring& name) {
  if (directory.empty()) return name;
  if (IsSeparator(directory.back())) return directory + name;
  return directory + L"\\" + name;
}

bool IsContainedItemPath(const std::wstring& itemPath) {
  if (!itemPath.empty() && IsSeparator(itemPath[0])) return false;
  // A colon is a drive letter ("C:x" is relative to C:'s current directory)
  // or a stream name; neither belongs in an item path.
  if (itemPath.find(L':') != std::wstring::npos) return false;
  size_t start = 0;
  while (start <= itemPath.size()) {
    size_t end = start;
    while (end < itemPath.size() && !IsSeparator(itemPath[end])) ++end;
    if (IsParentComponent(itemPath.substr(start, end - start))) return false;
    start = end + 1;
  }
  return true;
}

namespace {

IStream* OpenFileStream(const std::wstring& path, DWORD mode, BOOL create) {
  IStream* stream = nullptr;
  const HRESULT result = SHCreateStreamOnFileEx(path.c_str(), mode, FILE_ATTRIBUTE_NORMAL, create, nullptr, &stream);
  if (FAILED(result)) {
    if (stream) stream->Release();
    return nullptr;
  }
  return stream;
}

}  // namespace

IStream* OpenReadStream(const std::wstring& path) { return OpenFileStream(path, STGM_READ, FALSE); }

IStream* CreateWriteStream(const std::wstring& path) {
  return OpenFileStream(path, STGM_CREATE | STGM_WRITE, TRUE);
}

}  // namespace SevenZip
