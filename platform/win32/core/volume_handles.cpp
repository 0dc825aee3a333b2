// Volume handles: "\\.\X:" opened with CreateFileW, whose FlushFileBuffers
// writes every file of the drive to the disk; and the test facilities of
// FlushFileBuffers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include <windows.h>

#include "internal/errors.h"
#include "internal/files.h"
#include "internal/handles.h"
#include "internal/machine.h"
#include "internal/power_cut.h"
#include "internal/unicode.h"
#include "internal/volumes.h"

namespace win32 {
namespace {

class VolumeObject : public KernelObject {
 public:
  VolumeObject(int fd, std::string hostRoot, wchar_t letter, bool canWrite)
      : fd_(fd), hostRoot_(std::move(hostRoot)), letter_(letter), canWrite_(canWrite) {}
  ~VolumeObject() override { close(fd_); }
  int fd() const { return fd_; }
  const std::string& hostRoot() const { return hostRoot_; }
  wchar_t letter() const { return letter_; }
  bool CanWrite() const { return canWrite_; }

 private:
  int fd_;  // the drive's host folder, for syncfs
  std::string hostRoot_;
  wchar_t letter_;
  bool canWrite_;
};

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// "\\.\X:" exactly: with anything after the colon it names a file or the
// drive's root folder instead.
bool VolumeLetter(LPCWSTR name, wchar_t* letter) {
  if (!IsSeparator(name[0]) || !IsSeparator(name[1]) || name[2] != L'.' || !IsSeparator(name[3])) return false;
  const wchar_t c = name[4];
  if (!((c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z')) || name[5] != L':' || name[6] != L'\0') return false;
  *letter = FoldCase(c);
  return true;
}

HANDLE Fail(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

bool OpenIfVolume(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                  HANDLE* handle) {
  wchar_t letter = 0;
  if (!VolumeLetter(fileName, &letter)) return false;
  // Z: is the host's root; every other drive is a folder of the machine.
  const std::string root = letter == L'Z' ? std::string("/") : DriveDir(letter);
  struct stat st{};
  if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *handle = Fail(ERROR_FILE_NOT_FOUND);
    return true;
  }
  if (creationDisposition != OPEN_EXISTING) {
    *handle = Fail(ERROR_INVALID_PARAMETER);
    return true;
  }
  // A mounted volume always has files open for reading and writing.
  if ((shareMode & (FILE_SHARE_READ | FILE_SHARE_WRITE)) != (FILE_SHARE_READ | FILE_SHARE_WRITE)) {
    *handle = Fail(ERROR_SHARING_VIOLATION);
    return true;
  }
  // Reading or writing a volume takes an administrator; a handle that asks
  // for neither does not.
  const unsigned access = ShareAccessOf(desiredAccess);
  const char* denied = getenv(kNoVolumeAccessVariable);
  if ((access & (kShareRead | kShareWrite)) && denied && *denied && std::string(denied) != "0") {
    *handle = Fail(ERROR_ACCESS_DENIED);
    return true;
  }
  const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *handle = Fail(ErrorFromErrno(errno));
    return true;
  }
  *handle = RegisterHandle(std::make_shared<VolumeObject>(fd, root, letter, (access & kShareWrite) != 0));
  SetLastError(ERROR_SUCCESS);
  return true;
}

bool FlushIfVolume(HANDLE handle, BOOL* result) {
  auto volume = LookupHandleAs<VolumeObject>(handle);
  if (!volume) return false;
  *result = FALSE;
  if (!volume->CanWrite()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return true;
  }
  {
    PowerCutSection section;
    if (syncfs(volume->fd()) != 0) {
      SetLastErrorFromErrno();
      return true;
    }
    // Files of Z: are never tracked, and the machine itself lies below it.
    if (volume->letter() != L'Z') PowerCutFlushedVolume(volume->hostRoot());
  }
  LogFlush(std::wstring(L"volume ") + volume->letter() + L":");
  *result = TRUE;
  return true;
}

bool IsVolumeHandle(HANDLE handle) { return LookupHandleAs<VolumeObject>(handle) != nullptr; }

// Read at each call, so that a test may set them for a part of its run.
void DelayFlush() {
  const char* value = getenv(kSlowFlushVariable);
  if (value == nullptr || *value == '\0') return;
  const long ms = std::strtol(value, nullptr, 10);
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void LogFlush(const std::wstring& what) {
  const char* path = getenv(kFlushLogVariable);
  if (path == nullptr || *path == '\0') return;
  const std::string line = WideToUtf8(what) + "\n";
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  // One write per line: lines of several threads or processes never mix.
  ssize_t written = write(fd, line.data(), line.size());
  (void)written;
  close(fd);
}

}  // namespace win32
