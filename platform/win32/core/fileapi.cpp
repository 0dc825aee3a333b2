// File handles: CreateFileW and I/O on them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <string>

#include <windows.h>

#include "internal/errors.h"
#include "internal/files.h"
#include "internal/handles.h"
#include "internal/machine.h"
#include "internal/power_cut.h"
#include "internal/process_images.h"
#include "internal/volumes.h"

namespace win32 {
namespace {

constexpr DWORD kErrorNegativeSeek = 131;

class FileObject : public KernelObject {
 public:
  FileObject(int fd, std::string hostPath, unsigned access, bool deleteOnClose)
      : fd_(fd), hostPath_(std::move(hostPath)), access_(access), deleteOnClose_(deleteOnClose) {}
  ~FileObject() override {
    if (deleteOnClose_) {
      PowerCutSection section;
      struct stat st{};
      bool known = fstat(fd_, &st) == 0;
      if (unlink(hostPath_.c_str()) == 0) {
        if (known) PowerCutNameGone(st);
        PowerCutChanged(hostPath_);
      }
    }
    close(fd_);
  }
  int fd() const { return fd_; }
  const std::string& hostPath() const { return hostPath_; }
  bool CanRead() const { return access_ & kShareRead; }
  bool CanWrite() const { return access_ & kShareWrite; }
  ShareClaim& claim() { return claim_; }
  // ReadFile/WriteFile and the pointer calls of one handle run one at a time.
  std::mutex& mutex() { return mutex_; }

 private:
  int fd_;
  std::string hostPath_;
  unsigned access_;
  bool deleteOnClose_;
  ShareClaim claim_;
  std::mutex mutex_;
};

std::shared_ptr<FileObject> FileOf(HANDLE handle) {
  auto file = LookupHandleAs<FileObject>(handle);
  // A volume handle does no file I/O here.
  if (!file) SetLastError(IsVolumeHandle(handle) ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
  return file;
}

// The file of a handle that may read (or, `writing`, write) it; null with the
// last error set otherwise.
std::shared_ptr<FileObject> FileWithAccess(HANDLE handle, bool writing) {
  auto file = FileOf(handle);
  if (file && (writing ? !file->CanWrite() : !file->CanRead())) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return file;
}

// The file of a handle and its host facts; null with the last error set when
// either cannot be had.
std::shared_ptr<FileObject> StatFileOf(HANDLE handle, struct stat* st) {
  auto file = FileOf(handle);
  if (file && fstat(file->fd(), st) != 0) {
    SetLastErrorFromErrno();
    return nullptr;
  }
  return file;
}

HANDLE Fail(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

// Opens an existing directory as a handle (FILE_FLAG_BACKUP_SEMANTICS).
HANDLE OpenDirectoryHandle(const std::string& host) {
  int fd = open(host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Fail(ErrorFromErrno(errno));
  SetLastError(ERROR_SUCCESS);
  return RegisterHandle(std::make_shared<FileObject>(fd, host, 0, false));
}

// ReadFile and WriteFile: the whole count, or up to the end of the file; an
// OVERLAPPED on this synchronous handle gives the position to start at.
BOOL TransferData(HANDLE handle, char* buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped, bool writing) {
  if (done) *done = 0;
  auto file = FileWithAccess(handle, writing);
  if (!file) return FALSE;
  if (!buffer && count > 0) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  PowerCutSection section(writing);
  std::lock_guard<std::mutex> lock(file->mutex());
  if (writing && count > 0) PowerCutBeforeDataChange(file->fd(), file->hostPath());
  if (overlapped) {
    off_t at = static_cast<off_t>((static_cast<uint64_t>(overlapped->OffsetHigh) << 32) | overlapped->Offset);
    if (lseek(file->fd(), at, SEEK_SET) < 0) {
      SetLastErrorFromErrno();
      return FALSE;
    }
  }
  DWORD total = 0;
  BOOL ok = TRUE;
  while (total < count) {
    ssize_t n = writing ? write(file->fd(), buffer + total, count - total)
                        : read(file->fd(), buffer + total, count - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      SetLastErrorFromErrno();
      ok = FALSE;
      break;
    }
    if (n == 0) break;
    total += static_cast<DWORD>(n);
  }
  if (done) *done = total;
  if (overlapped) overlapped->InternalHigh = total;
  return ok;
}

}  // namespace
}  // namespace win32

using namespace win32;

HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                          DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
  if (!fileName || creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING)
    return Fail(ERROR_INVALID_PARAMETER);
  HANDLE volume = INVALID_HANDLE_VALUE;
  if (OpenIfVolume(fileName, desiredAccess, shareMode, creationDisposition, &volume)) return volume;
  std::string host;
  DWORD error = 0;
  if (!ToHostPath(fileName, &host, &error)) return Fail(error);
  size_t len = wcslen(fileName);
  bool trailingSeparator = len > 0 && (fileName[len - 1] == L'\\' || fileName[len - 1] == L'/');

  unsigned access = ShareAccessOf(desiredAccess);
  bool wantsWrite = access & kShareWrite;
  if (creationDisposition == TRUNCATE_EXISTING && !wantsWrite) return Fail(ERROR_INVALID_PARAMETER);

  struct stat st{};
  bool exists = stat(host.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    if ((flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) &&
        (creationDisposition == OPEN_EXISTING || creationDisposition == OPEN_ALWAYS))
      return OpenDirectoryHandle(host);
    return Fail(ERROR_ACCESS_DENIED);
  }
  if (trailingSeparator) return Fail(exists ? ERROR_INVALID_NAME : MissingError(host + "/x"));
  if (!exists && (creationDisposition == OPEN_EXISTING || creationDisposition == TRUNCATE_EXISTING))
    return Fail(MissingError(host));
  if (exists && creationDisposition == CREATE_NEW) return Fail(ERROR_FILE_EXISTS);
  // root bypasses permissions, so a read-only file is refused here.
  bool truncates = creationDisposition == CREATE_ALWAYS || creationDisposition == TRUNCATE_EXISTING;
  if (exists && (wantsWrite || truncates) && HostIsReadOnly(host, st)) return Fail(ERROR_ACCESS_DENIED);
  // Overwriting a hidden or system file takes those flags in the call, or it
  // is refused: the file would silently lose them.
  const DWORD guarded = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  if (exists && truncates && (HostAttributes(host, st) & guarded & ~flagsAndAttributes))
    return Fail(ERROR_ACCESS_DENIED);
  // A running program's file cannot be written whatever the handle would
  // share, nor deleted when a handle closes.
  bool deleteOnClose = (flagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) != 0;
  if (exists && (wantsWrite || truncates || deleteOnClose) && IsRunningImage(st))
    return Fail(deleteOnClose ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION);

  // Replacing a file needs a writable descriptor even for a reading handle.
  bool writableFd = wantsWrite || truncates;
  int flags = O_CLOEXEC | O_NOCTTY;
  if ((access & kShareRead) && writableFd)
    flags |= O_RDWR;
  else if (writableFd)
    flags |= O_WRONLY;
  else
    flags |= O_RDONLY;
  // Append-only access writes at the end whatever the file pointer says.
  if ((desiredAccess & FILE_APPEND_DATA) && !(desiredAccess & (FILE_WRITE_DATA | GENERIC_WRITE | GENERIC_ALL)))
    flags |= O_APPEND;
  if (creationDisposition == CREATE_NEW) flags |= O_CREAT | O_EXCL;
  if (creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS) flags |= O_CREAT;

  PowerCutSection section;
  ShareGuard guard;
  int fd = open(host.c_str(), flags, 0644);
  if (fd < 0) {
    if (errno == EEXIST) return Fail(ERROR_FILE_EXISTS);
    if (errno == ENOENT) return Fail(MissingError(host));
    return Fail(ErrorFromErrno(errno));
  }
  bool created = !exists;
  auto file = std::make_shared<FileObject>(fd, host, access, deleteOnClose);
  if (file->claim().Attach(fd)) {
    if (!file->claim().Compatible(access, shareMode)) {
      if (created) unlink(host.c_str());
      return Fail(ERROR_SHARING_VIOLATION);
    }
    file->claim().Claim(access, shareMode);
  }
  if (truncates && exists) {
    PowerCutBeforeDataChange(fd, host);
    if (ftruncate(fd, 0) != 0) return Fail(ErrorFromErrno(errno));
  }
  if (created) {
    DWORD attributes = flagsAndAttributes & 0xFFFF & ~FILE_ATTRIBUTE_DIRECTORY;
    if (attributes & ~FILE_ATTRIBUTE_NORMAL) SetHostAttributes(host, attributes);
    PowerCutCreated(fd, host);
  }
  HANDLE handle = RegisterHandle(file);
  // Opening or replacing an existing file reports it, as the system does.
  bool reportExisting = exists && (creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS);
  SetLastError(reportExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped) {
  return TransferData(handle, static_cast<char*>(buffer), bytesToRead, bytesRead, overlapped, false);
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      LPOVERLAPPED overlapped) {
  return TransferData(handle, static_cast<char*>(const_cast<void*>(buffer)), bytesToWrite, bytesWritten,
                      overlapped, true);
}

BOOL WINAPI SetFilePointerEx(HANDLE handle, LARGE_INTEGER distance, PLARGE_INTEGER newPointer, DWORD moveMethod) {
  auto file = FileOf(handle);
  if (!file) return FALSE;
  int whence = moveMethod == FILE_BEGIN ? SEEK_SET : moveMethod == FILE_CURRENT ? SEEK_CUR
             : moveMethod == FILE_END   ? SEEK_END : -1;
  if (whence < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(file->mutex());
  off_t base = 0;
  if (whence == SEEK_CUR) base = lseek(file->fd(), 0, SEEK_CUR);
  if (whence == SEEK_END) {
    struct stat st{};
    fstat(file->fd(), &st);
    base = st.st_size;
  }
  if (base + distance.QuadPart < 0) {
    SetLastError(kErrorNegativeSeek);
    return FALSE;
  }
  off_t at = lseek(file->fd(), base + distance.QuadPart, SEEK_SET);
  if (at < 0) {
    SetLastErrorFromErrno();
    return FALSE;
  }
  if (newPointer) newPointer->QuadPart = at;
  return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE handle, LONG distance, PLONG distanceHigh, DWORD moveMethod) {
  LARGE_INTEGER move;
  if (distanceHigh)
    move.QuadPart = static_cast<LONGLONG>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
                                          static_cast<uint32_t>(distance));
  else
    move.QuadPart = distance;
  LARGE_INTEGER at;
  if (!SetFilePointerEx(handle, move, &at, moveMethod)) return INVALID_SET_FILE_POINTER;
  if (!distanceHigh && at.QuadPart > 0xFFFFFFFFLL) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (distanceHigh) *distanceHigh = at.HighPart;
  // A position whose low part is all ones is no failure.
  SetLastError(ERROR_SUCCESS);
  return at.LowPart;
}

BOOL WINAPI GetFileSizeEx(HANDLE handle, PLARGE_INTEGER fileSize) {
  struct stat st{};
  auto file = StatFileOf(handle, &st);
  if (!file) return FALSE;
  if (fileSize) fileSize->QuadPart = st.st_size;
  return TRUE;
}

DWORD WINAPI GetFileSize(HANDLE handle, LPDWORD fileSizeHigh) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle, &size)) return INVALID_FILE_SIZE;
  if (fileSizeHigh) *fileSizeHigh = static_cast<DWORD>(size.HighPart);
  SetLastError(ERROR_SUCCESS);
  return size.LowPart;
}

BOOL WINAPI SetEndOfFile(HANDLE handle) {
  auto file = FileWithAccess(handle, true);
  if (!file) return FALSE;
  PowerCutSection section;
  std::lock_guard<std::mutex> lock(file->mutex());
  PowerCutBeforeDataChange(file->fd(), file->hostPath());
  off_t at = lseek(file->fd(), 0, SEEK_CUR);
  if (at < 0 || ftruncate(file->fd(), at) != 0) {
    SetLastErrorFromErrno();
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE handle) {
  DelayFlush();
  BOOL flushed = FALSE;
  if (FlushIfVolume(handle, &flushed)) return flushed;
  auto file = FileWithAccess(handle, true);
  if (!file) return FALSE;
  {
    PowerCutSection section;
    if (fdatasync(file->fd()) != 0 && errno != EINVAL) {
      SetLastErrorFromErrno();
      return FALSE;
    }
    PowerCutFlushed(file->fd());
  }
  LogFlush(L"file " + ToWindowsPath(file->hostPath()));
  return TRUE;
}

BOOL WINAPI GetFileTime(HANDLE handle, LPFILETIME creationTime, LPFILETIME lastAccessTime, LPFILETIME lastWriteTime) {
  struct stat st{};
  auto file = StatFileOf(handle, &st);
  if (!file) return FALSE;
  if (creationTime) *creationTime = HostCreationTime(file->fd(), "", st);
  if (lastAccessTime) *lastAccessTime = ToFileTime(st.st_atim);
  if (lastWriteTime) *lastWriteTime = ToFileTime(st.st_mtim);
  return TRUE;
}

BOOL WINAPI SetFileTime(HANDLE handle, const FILETIME* creationTime, const FILETIME* lastAccessTime,
                        const FILETIME* lastWriteTime) {
  auto file = FileOf(handle);
  if (!file) return FALSE;
  (void)creationTime;  // host file systems keep no settable creation time
  // A null time, or zero, leaves that time as it is.
  auto toSpec = [](const FILETIME* ft) {
    struct timespec ts{};
    if (!ft || (ft->dwLowDateTime == 0 && ft->dwHighDateTime == 0) ||
        (ft->dwLowDateTime == 0xFFFFFFFFu && ft->dwHighDateTime == 0xFFFFFFFFu)) {
      ts.tv_nsec = UTIME_OMIT;
      return ts;
    }
    return FromFileTime(*ft);
  };
  struct timespec times[2] = {toSpec(lastAccessTime), toSpec(lastWriteTime)};
  if (futimens(file->fd(), times) != 0) {
    SetLastErrorFromErrno();
    return FALSE;
  }
  return TRUE;
}
