// Whole-file and directory operations: attributes, copy, move, delete,
// directory creation and removal.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

#include "internal/errors.h"
#include "internal/files.h"
#include "internal/machine.h"
#include "internal/power_cut.h"
#include "internal/process_images.h"
#include "internal/unicode.h"

namespace win32 {
namespace {

BOOL FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

bool Resolve(LPCWSTR path, std::string* host) {
  if (!path) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  DWORD error = 0;
  if (!ToHostPath(path, host, &error)) {
    SetLastError(error);
    return false;
  }
  return true;
}

bool IsDriveRootHost(const std::string& host) {
  std::wstring windows = ToWindowsPath(host);
  return windows.size() == 3 && windows[1] == L':';
}

// Each drive letter is a volume of its own, whatever host file system holds
// its folder; a folder mounted from another host device is one too (EXDEV).
wchar_t VolumeOf(const std::string& host) { return ToWindowsPath(host)[0]; }

std::string ParentOf(const std::string& host) {
  size_t slash = host.rfind('/');
  return slash == std::string::npos || slash == 0 ? "/" : host.substr(0, slash);
}

// The last component of a Windows path as the caller spelled it, less the
// trailing dots and blanks that the system drops.
std::string LiteralName(const std::wstring& path) {
  std::wstring p = path;
  while (!p.empty() && (p.back() == L'\\' || p.back() == L'/')) p.pop_back();
  size_t cut = p.find_last_of(L"\\/:");
  std::wstring name = cut == std::wstring::npos ? p : p.substr(cut + 1);
  while (!name.empty() && (name.back() == L'.' || name.back() == L' ')) name.pop_back();
  return WideToUtf8(name);
}

bool CopyData(HANDLE from, HANDLE to) {
  std::vector<char> buffer(1 << 20);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(from, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) return false;
    if (got == 0) return true;
    DWORD put = 0;
    if (!WriteFile(to, buffer.data(), got, &put, nullptr) || put != got) return false;
  }
}

// The hidden and system flags of a host file that lstat found.
DWORD GuardedFlags(const std::string& host, const struct stat& st) {
  return HostAttributes(host, st) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
}

// A copy never replaces a hidden or read-only file, nor a system one with a
// source that is no system file: the target would take the source's flags.
bool CopyMayReplace(const std::string& from, const struct stat& src, const std::string& to, const struct stat& dst) {
  const DWORD target = HostAttributes(to, dst);
  if (target & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY)) return false;
  return !(target & FILE_ATTRIBUTE_SYSTEM) || (GuardedFlags(from, src) & FILE_ATTRIBUTE_SYSTEM);
}

// Copies a host file's bytes, times and kept attributes to a new host file
// (a move between devices).
bool CopyHostFile(const std::string& from, const std::string& to) {
  std::wstring source = ToWindowsPath(from), target = ToWindowsPath(to);
  return CopyFileW(source.c_str(), target.c_str(), TRUE) != FALSE;
}

bool CopyHostLink(const std::string& from, const std::string& to) {
  std::vector<char> target(4096);
  ssize_t n = readlink(from.c_str(), target.data(), target.size() - 1);
  if (n < 0 || symlink(std::string(target.data(), static_cast<size_t>(n)).c_str(), to.c_str()) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  PowerCutChanged(to);
  return true;
}

// Removes the name host, whose lstat is st, as one change; false with errno
// set when it could not.
bool UnlinkName(const std::string& host, const struct stat& st) {
  if (unlink(host.c_str()) != 0) return false;
  PowerCutNameGone(st);
  PowerCutChanged(host);
  return true;
}

}  // namespace
}  // namespace win32

using namespace win32;

DWORD WINAPI GetFileAttributesW(LPCWSTR fileName) {
  std::string host;
  if (!Resolve(fileName, &host)) return INVALID_FILE_ATTRIBUTES;
  // A link's own attributes, never its target's.
  struct stat st{};
  if (lstat(host.c_str(), &st) != 0) {
    SetLastError(MissingError(host));
    return INVALID_FILE_ATTRIBUTES;
  }
  const DWORD attributes = HostAttributes(host, st);
  // A trailing separator names a directory: a file so named is an invalid
  // name, as CreateFileW finds too.
  const size_t length = wcslen(fileName);
  if (length > 0 && (fileName[length - 1] == L'\\' || fileName[length - 1] == L'/') &&
      !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_FILE_ATTRIBUTES;
  }
  return attributes;
}

BOOL WINAPI SetFileAttributesW(LPCWSTR fileName, DWORD fileAttributes) {
  std::string host;
  if (!Resolve(fileName, &host)) return FALSE;
  return SetHostAttributes(host, fileAttributes) ? TRUE : FALSE;
}

BOOL WINAPI CopyFileW(LPCWSTR existingFileName, LPCWSTR newFileName, BOOL failIfExists) {
  std::string hostFrom, hostTo;
  if (!Resolve(existingFileName, &hostFrom) || !Resolve(newFileName, &hostTo)) return FALSE;
  HANDLE from = CreateFileW(existingFileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (from == INVALID_HANDLE_VALUE) return FALSE;
  // The target is created with the source's hidden and system flags.
  struct stat src{}, dst{};
  const DWORD sourceFlags = stat(hostFrom.c_str(), &src) == 0 ? GuardedFlags(hostFrom, src) : 0;
  if (!failIfExists && stat(hostTo.c_str(), &dst) == 0 && !S_ISDIR(dst.st_mode) &&
      !CopyMayReplace(hostFrom, src, hostTo, dst)) {
    CloseHandle(from);
    return FailWith(ERROR_ACCESS_DENIED);
  }
  HANDLE to = CreateFileW(newFileName, GENERIC_WRITE, 0, nullptr, failIfExists ? CREATE_NEW : CREATE_ALWAYS,
                          sourceFlags ? sourceFlags : FILE_ATTRIBUTE_NORMAL, nullptr);
  if (to == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    CloseHandle(from);
    return FailWith(error);
  }
  bool ok = CopyData(from, to);
  DWORD error = GetLastError();
  if (ok) {
    FILETIME access, write;
    if (GetFileTime(from, nullptr, &access, &write)) SetFileTime(to, nullptr, &access, &write);
  }
  CloseHandle(to);
  CloseHandle(from);
  if (!ok) {
    PowerCutSection section;
    struct stat left{};
    if (lstat(hostTo.c_str(), &left) == 0) UnlinkName(hostTo, left);  // no half-copied file is left behind
    return FailWith(error);
  }
  CopyHostAttributes(hostFrom, hostTo);
  // A copied program stays a program: Windows needs no execute permission,
  // the host does.
  if (stat(hostFrom.c_str(), &src) == 0 && stat(hostTo.c_str(), &dst) == 0 && (src.st_mode & 0111))
    chmod(hostTo.c_str(), (dst.st_mode & 07777) | (src.st_mode & 0111));
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI MoveFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags) {
  if (!newFileName) return FailWith(ERROR_INVALID_PARAMETER);  // delete-at-reboot is not kept here
  std::string from, to;
  if (!Resolve(existingFileName, &from) || !Resolve(newFileName, &to)) return FALSE;
  struct stat src{};
  if (lstat(from.c_str(), &src) != 0) return FailWith(MissingError(from));
  if (IsDriveRootHost(from)) return FailWith(ERROR_ACCESS_DENIED);

  struct stat dst{};
  bool targetExists = lstat(to.c_str(), &dst) == 0;
  if (targetExists && dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) {
    // The same entry under another case: rename to the spelling asked for.
    to = ParentOf(to) + "/" + LiteralName(newFileName);
    targetExists = false;
  }
  if (!targetExists) {
    struct stat parent{};
    if (stat(ParentOf(to).c_str(), &parent) != 0 || !S_ISDIR(parent.st_mode)) return FailWith(ERROR_PATH_NOT_FOUND);
  }

  bool replace = targetExists && (flags & MOVEFILE_REPLACE_EXISTING);
  // A running program's file may be renamed but not replaced; the scan runs
  // before the machine-wide guard is taken.
  bool targetRuns = replace && IsRunningImage(dst);

  // The whole move, a copy between volumes included, is one step for a cut.
  PowerCutSection section;
  std::optional<ShareGuard> guard;
  guard.emplace();
  if (ShareDenies(from, kShareDelete)) return FailWith(ERROR_SHARING_VIOLATION);
  if (targetExists) {
    if (!replace) return FailWith(ERROR_ALREADY_EXISTS);
    if (S_ISDIR(dst.st_mode) || HostIsDirectoryLink(to, dst) || S_ISDIR(src.st_mode) || HostIsReadOnly(to, dst) ||
        targetRuns)
      return FailWith(ERROR_ACCESS_DENIED);
    if (ShareDenies(to, kShareDelete)) return FailWith(ERROR_SHARING_VIOLATION);
  }
  if (VolumeOf(from) == VolumeOf(to)) {
    int rc = replace ? rename(from.c_str(), to.c_str())
                     : renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && !replace && errno == EINVAL) rc = rename(from.c_str(), to.c_str());  // no NOREPLACE support
    if (rc == 0) {
      if (replace) PowerCutNameGone(dst);
      PowerCutChanged(to);
      SetLastError(ERROR_SUCCESS);
      return TRUE;
    }
    if (errno == EEXIST) return FailWith(ERROR_ALREADY_EXISTS);
    if (errno != EXDEV) return FailWith(ErrorFromErrno(errno));
  }
  // Another volume: files are copied and the original removed; directories
  // cannot move there.
  if (S_ISDIR(src.st_mode) || !(flags & MOVEFILE_COPY_ALLOWED)) return FailWith(ERROR_NOT_SAME_DEVICE);
  guard.reset();  // the copy opens files, which takes the guard itself
  if (IsRunningImage(src)) return FailWith(ERROR_ACCESS_DENIED);  // the move would delete it
  // There the move is a copy, which is refused where a copy would be.
  if (replace && !CopyMayReplace(from, src, to, dst)) return FailWith(ERROR_ACCESS_DENIED);
  if (replace) UnlinkName(to, dst);
  // A link moves as a link: its target is neither copied nor touched.
  if (S_ISLNK(src.st_mode) ? !CopyHostLink(from, to) : !CopyHostFile(from, to)) return FALSE;
  UnlinkName(from, src);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI MoveFileW(LPCWSTR existingFileName, LPCWSTR newFileName) {
  return MoveFileExW(existingFileName, newFileName, MOVEFILE_COPY_ALLOWED);
}

BOOL WINAPI DeleteFileW(LPCWSTR fileName) {
  std::string host;
  if (!Resolve(fileName, &host)) return FALSE;
  struct stat st{};
  if (lstat(host.c_str(), &st) != 0) return FailWith(MissingError(host));
  // A file link goes itself, never its target; a directory link is a
  // directory and refused, as on Windows (RemoveDirectoryW removes it). A
  // dangling link of unknown kind may have been a file link and goes.
  if (S_ISDIR(st.st_mode) || HostIsDirectoryLink(host, st)) return FailWith(ERROR_ACCESS_DENIED);
  if (HostIsReadOnly(host, st) || IsRunningImage(st)) return FailWith(ERROR_ACCESS_DENIED);
  PowerCutSection section;
  ShareGuard guard;
  if (ShareDenies(host, kShareDelete)) return FailWith(ERROR_SHARING_VIOLATION);
  if (!UnlinkName(host, st)) return FailWith(errno == ENOENT ? MissingError(host) : ErrorFromErrno(errno));
  return TRUE;
}

BOOL WINAPI CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES) {
  std::string host;
  if (!Resolve(pathName, &host)) return FALSE;
  struct stat st{};
  if (lstat(host.c_str(), &st) == 0) return FailWith(ERROR_ALREADY_EXISTS);
  PowerCutSection section;
  if (mkdir(host.c_str(), 0755) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return FailWith(ERROR_PATH_NOT_FOUND);
    return FailWith(ErrorFromErrno(errno));
  }
  PowerCutChanged(host);
  return TRUE;
}

BOOL WINAPI RemoveDirectoryW(LPCWSTR pathName) {
  std::string host;
  if (!Resolve(pathName, &host)) return FALSE;
  struct stat st{};
  if (lstat(host.c_str(), &st) != 0) return FailWith(MissingError(host));
  // A directory link goes itself, whatever its target holds, and so does a
  // dangling link of unknown kind: it may be a directory link whose target
  // has gone (a tree whose links point into it loses the targets first). A
  // file link is no directory, as on Windows.
  const HostLink link = HostLinkKind(host, st);
  PowerCutSection section;
  if (link == HostLink::kDirectory || link == HostLink::kDanglingUnknown) {
    if (!UnlinkName(host, st)) return FailWith(ErrorFromErrno(errno));
    return TRUE;
  }
  if (!S_ISDIR(st.st_mode)) return FailWith(ERROR_DIRECTORY);
  if (IsDriveRootHost(host) || HostIsReadOnly(host, st)) return FailWith(ERROR_ACCESS_DENIED);
  if (rmdir(host.c_str()) != 0) {
    if (errno == ENOTEMPTY || errno == EEXIST) return FailWith(ERROR_DIR_NOT_EMPTY);
    return FailWith(ErrorFromErrno(errno));
  }
  PowerCutChanged(host);
  return TRUE;
}
