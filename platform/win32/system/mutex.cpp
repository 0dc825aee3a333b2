// Mutexes. A named mutex of the machine is a lock file in <machine>/mutex/
// with two open-file-description locks, released by the kernel when the
// process ends: a read lock on byte 0 for every process that holds the
// mutex open (a creator that can write-lock byte 0 is the first), and a
// write lock on byte 1 for the process that owns it.
#include <windows.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cwchar>
#include <map>
#include <mutex>
#include <thread>

#include "internal/byte_locks.h"
#include "internal/errors.h"
#include "internal/handles.h"
#include "internal/machine.h"
#include "internal/unicode.h"

namespace win32 {
namespace {

using Clock = std::chrono::steady_clock;

// The state of one mutex in this process, shared by all its handles.
class MutexCore {
 public:
  explicit MutexCore(int fd) : fd_(fd) {}
  ~MutexCore() {
    if (fd_ >= 0) close(fd_);  // drops this process's locks
  }

  DWORD Acquire(DWORD milliseconds) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock<std::mutex> lock(mutex_);
    const auto me = std::this_thread::get_id();
    if (owned_ && owner_ == me) {
      ++recursion_;
      return WAIT_OBJECT_0;
    }
    auto free = [&] { return !owned_; };
    if (milliseconds == INFINITE)
      released_.wait(lock, free);
    else if (!released_.wait_until(lock, deadline, free))
      return WAIT_TIMEOUT;
    owned_ = true;  // reserved for this thread while it takes the file lock
    owner_ = me;
    lock.unlock();
    if (!TakeFileLock(milliseconds, deadline)) {
      lock.lock();
      owned_ = false;
      released_.notify_one();
      return WAIT_TIMEOUT;
    }
    lock.lock();
    recursion_ = 1;
    return WAIT_OBJECT_0;
  }

  bool Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!owned_ || owner_ != std::this_thread::get_id() || recursion_ == 0) {
      SetLastError(ERROR_NOT_OWNER);
      return false;
    }
    if (--recursion_ == 0) {
      if (fd_ >= 0) LockByte(fd_, F_UNLCK, 1, false);
      owned_ = false;
      released_.notify_one();
    }
    return true;
  }

 private:
  bool TakeFileLock(DWORD milliseconds, Clock::time_point deadline) {
    if (fd_ < 0) return true;
    if (milliseconds == INFINITE) return LockByte(fd_, F_WRLCK, 1, true);
    for (;;) {
      if (LockByte(fd_, F_WRLCK, 1, false)) return true;
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  int fd_;
  std::mutex mutex_;
  std::condition_variable released_;
  bool owned_ = false;
  std::thread::id owner_;
  int recursion_ = 0;
};

class MutexObject : public KernelObject {
 public:
  explicit MutexObject(std::shared_ptr<MutexCore> core) : core_(std::move(core)) {}
  DWORD Wait(DWORD milliseconds) override { return core_->Acquire(milliseconds); }
  bool Release() { return core_->Release(); }

 private:
  std::shared_ptr<MutexCore> core_;
};

std::mutex g_namedMutex;
// By machine directory and folded name.
std::map<std::pair<std::string, std::wstring>, std::weak_ptr<MutexCore>>& NamedCores() {
  static auto* cores = new std::map<std::pair<std::string, std::wstring>, std::weak_ptr<MutexCore>>();
  return *cores;
}

// A file name for any mutex name: case folded, unsafe bytes as %XX.
std::string LockFileName(const std::wstring& folded) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : WideToUtf8(folded)) {
    if (isalnum(c) || c == '.' || c == '_' || c == '-') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out + ".lock";
}

// Opens the machine-wide lock file and joins the holders of the mutex.
int JoinNamedMutex(const std::wstring& folded, bool* existed, DWORD* error) {
  const std::string dir = MachineDir() + "/mutex";
  mkdir(dir.c_str(), 0777);
  const std::string path = dir + "/" + LockFileName(folded);
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = ErrorFromErrno(errno);
    return -1;
  }
  if (LockByte(fd, F_WRLCK, 0, false)) {
    *existed = false;
    LockByte(fd, F_RDLCK, 0, false);  // downgrade: atomic, never fails
  } else {
    *existed = true;
    if (!LockByte(fd, F_RDLCK, 0, true)) {
      *error = ErrorFromErrno(errno);
      close(fd);
      return -1;
    }
  }
  return fd;
}

}  // namespace
}  // namespace win32

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name) {
  (void)attributes;
  std::shared_ptr<win32::MutexCore> core;
  bool existed = false;
  if (name && *name) {
    std::wstring folded;
    for (const WCHAR* p = name; *p; ++p) folded += win32::FoldCase(*p);
    // A machine here has one session: its global and local namespaces are
    // one. Any other folder of the object namespace does not exist.
    for (const WCHAR* prefix : {L"GLOBAL\\", L"LOCAL\\"}) {
      if (folded.compare(0, wcslen(prefix), prefix) == 0) {
        folded.erase(0, wcslen(prefix));
        break;
      }
    }
    if (folded.empty() || folded.find(L'\\') != std::wstring::npos) {
      SetLastError(folded.empty() ? ERROR_INVALID_NAME : ERROR_PATH_NOT_FOUND);
      return nullptr;
    }
    std::lock_guard<std::mutex> lock(win32::g_namedMutex);
    auto& entry = win32::NamedCores()[{win32::MachineDir(), folded}];
    core = entry.lock();
    if (core) {
      existed = true;
    } else {
      DWORD error = 0;
      int fd = win32::JoinNamedMutex(folded, &existed, &error);
      if (fd < 0) {
        SetLastError(error);
        return nullptr;
      }
      core = std::make_shared<win32::MutexCore>(fd);
      entry = core;
    }
  } else {
    core = std::make_shared<win32::MutexCore>(-1);
  }
  // The owner flag counts only for the creator of a mutex.
  if (initialOwner && !existed) core->Acquire(INFINITE);
  HANDLE handle = win32::RegisterHandle(std::make_shared<win32::MutexObject>(core));
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL WINAPI ReleaseMutex(HANDLE mutex) {
  auto object = win32::LookupHandleAs<win32::MutexObject>(mutex);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return object->Release() ? TRUE : FALSE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (handle == GetCurrentProcess()) {
    // This process does not end while it waits for itself.
    if (milliseconds == INFINITE) milliseconds = 0x7FFFFFFF;
    Sleep(milliseconds);
    return WAIT_TIMEOUT;
  }
  auto object = win32::LookupHandle(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return object->Wait(milliseconds);
}
