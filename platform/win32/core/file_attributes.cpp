// Win32 attributes and times of host files.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <windows.h>

#include "internal/errors.h"
#include "internal/files.h"

namespace win32 {
namespace {

constexpr char kAttributeName[] = "user.win32.attributes";
constexpr int64_t kEpochDelta = 116444736000000000LL;  // 1601 -> 1970 in 100 ns
// Attributes kept in the extended attribute; a file's read-only is its mode.
constexpr DWORD kKeptBits = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The stored bits, or false when none were stored.
bool StoredBits(const std::string& hostPath, DWORD* bits) {
  char value[32] = {};
  ssize_t n = getxattr(hostPath.c_str(), kAttributeName, value, sizeof(value) - 1);
  if (n <= 0) return false;
  *bits = static_cast<DWORD>(strtoul(value, nullptr, 10));
  return true;
}

}  // namespace

HostLink HostLinkKind(const std::string& hostPath, const struct stat& st) {
  if (!S_ISLNK(st.st_mode)) return HostLink::kNone;
  struct stat target{};
  if (stat(hostPath.c_str(), &target) == 0) return S_ISDIR(target.st_mode) ? HostLink::kDirectory : HostLink::kFile;
  // The host keeps no kind on a link; only a text that can name nothing but
  // a directory still tells it once the target has gone.
  char text[4096];
  ssize_t n = readlink(hostPath.c_str(), text, sizeof(text) - 1);
  if (n <= 0) return HostLink::kDanglingUnknown;
  std::string t(text, static_cast<size_t>(n));
  size_t cut = t.rfind('/');
  std::string last = cut == std::string::npos ? t : t.substr(cut + 1);
  return last.empty() || last == "." || last == ".." ? HostLink::kDirectory : HostLink::kDanglingUnknown;
}

bool HostIsDirectoryLink(const std::string& hostPath, const struct stat& st) {
  return HostLinkKind(hostPath, st) == HostLink::kDirectory;
}

DWORD HostAttributes(const std::string& hostPath, const struct stat& st) {
  // A symbolic link is a reparse point of its own; its target lends only the
  // directory bit (a dangling link of unknown kind is listed as a file link,
  // the kind a link has unless made otherwise). The host keeps no attributes
  // on links.
  if (S_ISLNK(st.st_mode))
    return FILE_ATTRIBUTE_REPARSE_POINT |
           (HostIsDirectoryLink(hostPath, st) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
  DWORD stored = 0;
  bool explicitBits = StoredBits(hostPath, &stored);
  if (S_ISDIR(st.st_mode))
    return FILE_ATTRIBUTE_DIRECTORY | (stored & (kKeptBits | FILE_ATTRIBUTE_READONLY));
  // New files carry the archive bit, as on Windows.
  DWORD attributes = explicitBits ? (stored & kKeptBits) : FILE_ATTRIBUTE_ARCHIVE;
  if (!(st.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

bool HostIsReadOnly(const std::string& hostPath, const struct stat& st) {
  return (HostAttributes(hostPath, st) & FILE_ATTRIBUTE_READONLY) != 0;
}

bool SetHostAttributes(const std::string& hostPath, DWORD attributes) {
  struct stat st{};
  if (lstat(hostPath.c_str(), &st) != 0) {
    SetLastError(MissingError(hostPath));
    return false;
  }
  // The attributes belong to the link, which cannot keep them here; its
  // target is left alone.
  if (S_ISLNK(st.st_mode)) return true;
  DWORD stored = attributes & kKeptBits;
  DWORD defaultBits = FILE_ATTRIBUTE_ARCHIVE;
  if (S_ISDIR(st.st_mode)) {
    stored |= attributes & FILE_ATTRIBUTE_READONLY;
    defaultBits = 0;
  } else {
    mode_t mode = (attributes & FILE_ATTRIBUTE_READONLY) ? (st.st_mode & ~0222) : (st.st_mode | S_IWUSR);
    if (mode != st.st_mode && chmod(hostPath.c_str(), mode & 07777) != 0) {
      SetLastErrorFromErrno();
      return false;
    }
  }
  if (stored == defaultBits) {
    removexattr(hostPath.c_str(), kAttributeName);
  } else {
    std::string value = std::to_string(stored);
    // A file system without extended attributes keeps only read-only.
    setxattr(hostPath.c_str(), kAttributeName, value.data(), value.size(), 0);
  }
  return true;
}

void CopyHostAttributes(const std::string& from, const std::string& to) {
  struct stat st{};
  if (stat(from.c_str(), &st) != 0) return;
  SetHostAttributes(to, HostAttributes(from, st));
}

FILETIME ToFileTime(const struct timespec& ts) {
  int64_t v = static_cast<int64_t>(ts.tv_sec) * 10000000LL + ts.tv_nsec / 100 + kEpochDelta;
  if (v < 0) v = 0;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) >> 32);
  return ft;
}

struct timespec FromFileTime(const FILETIME& ft) {
  int64_t v = static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
  int64_t rel = v - kEpochDelta;
  int64_t secs = rel / 10000000LL;
  int64_t rest = rel % 10000000LL;
  if (rest < 0) {
    rest += 10000000LL;
    --secs;
  }
  struct timespec ts{};
  ts.tv_sec = static_cast<time_t>(secs);
  ts.tv_nsec = static_cast<long>(rest * 100);
  return ts;
}

FILETIME HostCreationTime(int dirFd, const std::string& path, const struct stat& st) {
  struct statx sx{};
  int flags = path.empty() ? AT_EMPTY_PATH : S_ISLNK(st.st_mode) ? AT_SYMLINK_NOFOLLOW : 0;
  if (statx(dirFd, path.c_str(), flags, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME)) {
    struct timespec ts{};
    ts.tv_sec = sx.stx_btime.tv_sec;
    ts.tv_nsec = sx.stx_btime.tv_nsec;
    return ToFileTime(ts);
  }
  return ToFileTime(st.st_mtim);
}

DWORD MissingError(const std::string& hostPath) {
  size_t slash = hostPath.rfind('/');
  std::string parent = slash == std::string::npos || slash == 0 ? "/" : hostPath.substr(0, slash);
  struct stat st{};
  return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

}  // namespace win32
