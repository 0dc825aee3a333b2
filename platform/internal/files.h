// Pieces shared by the file calls of win32_core: host file facts as Win32
// sees them, share-mode bookkeeping between processes, standard folders and
// the module file-name table. Platform-internal.
#pragma once
#include <sys/stat.h>

#include <string>

#include <win32/wintypes.h>

namespace win32 {

// ---- attributes and times ----

// The Win32 attributes of a host file (st from stat or lstat of
// `hostPath`). A symbolic link that lstat gave is a reparse point, with
// FILE_ATTRIBUTE_DIRECTORY when it is a directory link.
DWORD HostAttributes(const std::string& hostPath, const struct stat& st);
// What a symbolic link stands for on Windows. A live link takes its kind from
// its target. A dangling one is a directory link when its text names a
// directory ("dir/", "dir/."); otherwise the host cannot tell what it led to.
enum class HostLink { kNone, kFile, kDirectory, kDanglingUnknown };
// st from lstat of hostPath.
HostLink HostLinkKind(const std::string& hostPath, const struct stat& st);
// A directory link (HostLinkKind kDirectory): listed with
// FILE_ATTRIBUTE_DIRECTORY and removed with RemoveDirectoryW.
bool HostIsDirectoryLink(const std::string& hostPath, const struct stat& st);
// Read-only as Win32 sees it (a file without its owner's write permission,
// or a directory marked so).
bool HostIsReadOnly(const std::string& hostPath, const struct stat& st);
// Stores `attributes` for the host file; false with the last error set. A
// symbolic link keeps none here: its target is never changed.
bool SetHostAttributes(const std::string& hostPath, DWORD attributes);
// Copies the kept attributes of one host file to another (CopyFileW).
void CopyHostAttributes(const std::string& from, const std::string& to);

FILETIME ToFileTime(const struct timespec& ts);
struct timespec FromFileTime(const FILETIME& ft);
// Creation time where the file system keeps one, else the write time.
// `path` relative to dirFd, or "" for dirFd itself.
FILETIME HostCreationTime(int dirFd, const std::string& path, const struct stat& st);

// ERROR_FILE_NOT_FOUND when the parent directory of a missing host path
// exists, else ERROR_PATH_NOT_FOUND.
DWORD MissingError(const std::string& hostPath);

// ---- share modes ----

// Access a handle holds, as far as share modes are concerned.
enum ShareAccess : unsigned { kShareRead = 1, kShareWrite = 2, kShareDelete = 4 };
// The share bits of a desired-access mask (GENERIC_*, FILE_*_DATA, DELETE).
unsigned ShareAccessOf(DWORD desiredAccess);

// Serialises share checks of all processes of the machine while it lives.
class ShareGuard {
 public:
  ShareGuard();
  ~ShareGuard();
  ShareGuard(const ShareGuard&) = delete;
  ShareGuard& operator=(const ShareGuard&) = delete;

 private:
  int fd_;
};

// The share claim of one open handle on one file: held as open-file-
// description locks, so it ends when the handle is closed or its process
// dies. Check and Claim must run under a ShareGuard.
class ShareClaim {
 public:
  ShareClaim() = default;
  ~ShareClaim();
  ShareClaim(const ShareClaim&) = delete;
  ShareClaim& operator=(const ShareClaim&) = delete;

  // Opens the claim's own descriptor on the file behind `fd`. False when the
  // file cannot carry claims (then nothing is checked).
  bool Attach(int fd);
  // True when `access` with `share` fits every other handle's claim.
  bool Compatible(unsigned access, unsigned share) const;
  // Records the claim; Compatible must have been true.
  bool Claim(unsigned access, unsigned share);

 private:
  int fd_ = -1;
};

// True when a handle on hostPath that does not share `access` is open
// anywhere on the machine (used by delete and rename). Under a ShareGuard.
bool ShareDenies(const std::string& hostPath, unsigned access);

// ---- folders and modules ----

// Windows path of a standard folder (no trailing backslash), created on the
// machine's drive C: when missing. False for a CSIDL the machine lacks.
bool KnownFolderPath(int csidl, std::wstring* path);
// The machine's user name: machine.json "user", default "User".
std::wstring MachineUserName();

// Loaded modules register their file's Windows path here so that
// GetModuleFileNameW can answer for them; an empty path stands for the
// running program (its own module handle).
void RegisterModuleFileName(HMODULE module, const std::wstring& windowsPath);
void UnregisterModuleFileName(HMODULE module);

// mkdir -p of a host path; false with errno set.
bool MakeHostDirs(const std::string& hostPath);

}  // namespace win32
