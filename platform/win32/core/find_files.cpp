// Directory searches: FindFirstFileW / FindNextFileW / FindClose.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <windows.h>

#include "internal/errors.h"
#include "internal/files.h"
#include "internal/handles.h"
#include "internal/machine.h"
#include "internal/unicode.h"

namespace win32 {
namespace {

class FindObject : public KernelObject {
 public:
  explicit FindObject(std::vector<WIN32_FIND_DATAW> entries) : entries_(std::move(entries)) {}
  // The next entry, or false at the end.
  bool Next(WIN32_FIND_DATAW* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (next_ >= entries_.size()) return false;
    *out = entries_[next_++];
    return true;
  }

 private:
  std::mutex mutex_;
  std::vector<WIN32_FIND_DATAW> entries_;
  size_t next_ = 0;
};

// Wildcard match as the system does it: '*' any run, '?' one character,
// both without regard to case.
bool Matches(const wchar_t* pattern, const wchar_t* name) {
  const wchar_t* starP = nullptr;
  const wchar_t* starN = nullptr;
  while (*name) {
    if (*pattern == L'*') {
      starP = pattern++;
      starN = name;
    } else if (*pattern == L'?' || (*pattern && FoldCase(*pattern) == FoldCase(*name))) {
      ++pattern;
      ++name;
    } else if (starP) {
      pattern = starP + 1;
      name = ++starN;
    } else {
      return false;
    }
  }
  while (*pattern == L'*') ++pattern;
  return *pattern == 0;
}

bool PatternMatches(const std::wstring& pattern, const std::wstring& name) {
  if (pattern == L"*" || pattern == L"*.*") return true;
  if (Matches(pattern.c_str(), name.c_str())) return true;
  // "name.*" also finds "name" without an extension.
  if (pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, L".*") == 0 && name.find(L'.') == std::wstring::npos)
    return Matches(pattern.substr(0, pattern.size() - 2).c_str(), name.c_str());
  return false;
}

bool HasWildcards(const std::wstring& s) { return s.find_first_of(L"*?") != std::wstring::npos; }

bool FillEntry(const std::string& hostPath, const std::wstring& name, WIN32_FIND_DATAW* data) {
  // The entry itself, as Windows lists a reparse point: a link is never
  // followed, so a walk sees where a tree leaves itself.
  struct stat st{};
  if (lstat(hostPath.c_str(), &st) != 0) return false;
  std::memset(data, 0, sizeof(*data));
  data->dwFileAttributes = HostAttributes(hostPath, st);
  data->ftCreationTime = HostCreationTime(AT_FDCWD, hostPath, st);
  data->ftLastAccessTime = ToFileTime(st.st_atim);
  data->ftLastWriteTime = ToFileTime(st.st_mtim);
  if (S_ISREG(st.st_mode)) {
    uint64_t size = static_cast<uint64_t>(st.st_size);
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
  }
  size_t n = std::min(name.size(), static_cast<size_t>(MAX_PATH - 1));
  name.copy(data->cFileName, n);
  data->cFileName[n] = 0;
  return true;
}

// Drive roots have no "." and ".." entries.
bool IsDriveRoot(const std::string& hostDir) {
  std::wstring windows = ToWindowsPath(hostDir);
  return windows.size() == 3 && windows[1] == L':' && windows[2] == L'\\';
}

HANDLE Fail(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

}  // namespace
}  // namespace win32

using namespace win32;

HANDLE WINAPI FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findFileData) {
  if (!fileName || !findFileData) return Fail(ERROR_INVALID_PARAMETER);
  std::wstring path = fileName;
  size_t cut = path.find_last_of(L"\\/");
  std::wstring name = cut == std::wstring::npos ? path : path.substr(cut + 1);
  // "C:name" names an entry of the drive's root.
  std::wstring dirPart = cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
  if (cut == std::wstring::npos && path.size() >= 2 && path[1] == L':') {
    dirPart = path.substr(0, 2) + L"\\";
    name = path.substr(2);
  }
  // A search needs a name: "C:\dir\" and "C:\" find nothing.
  if (name.empty()) return Fail(ERROR_FILE_NOT_FOUND);

  std::string hostDir;
  DWORD error = 0;
  WIN32_FIND_DATAW data;
  if (!HasWildcards(name) && name != L"." && name != L"..") {
    // An entry that is there needs no look at its folder first.
    std::string host;
    if (ToHostPath(dirPart + name, &host, &error) &&
        FillEntry(host, Utf8ToWide(host.substr(host.rfind('/') + 1)), &data)) {
      std::vector<WIN32_FIND_DATAW> one(1, data);
      auto search = std::make_shared<FindObject>(std::move(one));
      search->Next(findFileData);
      SetLastError(ERROR_SUCCESS);
      return RegisterHandle(search);
    }
  }
  if (!ToHostPath(dirPart.empty() ? std::wstring(L".") : dirPart, &hostDir, &error)) return Fail(error);
  struct stat st{};
  if (stat(hostDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return Fail(ERROR_PATH_NOT_FOUND);

  std::vector<WIN32_FIND_DATAW> entries;
  if (!HasWildcards(name)) {
    // One entry looked up by name; "." and ".." name directories.
    std::string host;
    if (!ToHostPath(dirPart + name, &host, &error)) return Fail(error);
    std::wstring shown = (name == L"." || name == L"..") ? name : Utf8ToWide(host.substr(host.rfind('/') + 1));
    if (!FillEntry(host, shown, &data)) return Fail(ERROR_FILE_NOT_FOUND);
    entries.push_back(data);
  } else {
    DIR* dir = opendir(hostDir.c_str());
    if (!dir) return Fail(ErrorFromErrno(errno));
    std::vector<std::wstring> names;
    while (dirent* e = readdir(dir)) {
      std::wstring entryName = Utf8ToWide(e->d_name);
      if (entryName == L"." || entryName == L"..") continue;
      if (PatternMatches(name, entryName)) names.push_back(entryName);
    }
    closedir(dir);
    // NTFS returns entries in upper-cased name order.
    std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) {
      size_t n = std::min(a.size(), b.size());
      for (size_t i = 0; i < n; ++i) {
        wchar_t x = FoldCase(a[i]), y = FoldCase(b[i]);
        if (x != y) return x < y;
      }
      return a.size() < b.size();
    });
    if (!IsDriveRoot(hostDir)) {
      for (const wchar_t* dot : {L".", L".."}) {
        if (PatternMatches(name, dot) && FillEntry(hostDir + (dot[1] ? "/.." : "/."), dot, &data))
          entries.push_back(data);
      }
    }
    std::string base = hostDir == "/" ? "" : hostDir;
    for (const auto& entryName : names)
      if (FillEntry(base + "/" + WideToUtf8(entryName), entryName, &data)) entries.push_back(data);
  }
  if (entries.empty()) return Fail(ERROR_FILE_NOT_FOUND);
  auto search = std::make_shared<FindObject>(std::move(entries));
  search->Next(findFileData);
  SetLastError(ERROR_SUCCESS);
  return RegisterHandle(search);
}

BOOL WINAPI FindNextFileW(HANDLE findFile, LPWIN32_FIND_DATAW findFileData) {
  auto search = LookupHandleAs<FindObject>(findFile);
  if (!search || !findFileData) {
    SetLastError(search ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!search->Next(findFileData)) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI FindClose(HANDLE findFile) {
  if (!LookupHandleAs<FindObject>(findFile) || !ReleaseHandle(findFile)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
