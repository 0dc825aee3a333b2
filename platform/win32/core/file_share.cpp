// Share modes between all processes of the machine. Each open handle keeps a
// second descriptor on its file and holds shared open-file-description locks
// on marker bytes far beyond any real data: one byte per kind of access it
// has, one per kind of access it refuses to share. The kernel drops them when
// the handle closes or its process dies, so nothing goes stale.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

#include <windows.h>

#include "internal/byte_locks.h"
#include "internal/files.h"
#include "internal/machine.h"

namespace win32 {
namespace {

constexpr off_t kMarkerBase = 0x7FFFFFFF00000000LL;
constexpr off_t kAccessMarker = 0;  // + bit index: handle has that access
constexpr off_t kDenyMarker = 8;    // + bit index: handle refuses to share it
constexpr unsigned kKinds[] = {kShareRead, kShareWrite, kShareDelete};

off_t MarkerOf(off_t group, unsigned kind) {
  off_t index = kind == kShareRead ? 0 : kind == kShareWrite ? 1 : 2;
  return kMarkerBase + group + index;
}

int OpenForClaims(const std::string& path, int flags = 0) {
  return open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | flags);
}

}  // namespace

unsigned ShareAccessOf(DWORD desiredAccess) {
  unsigned access = 0;
  if (desiredAccess & (GENERIC_READ | GENERIC_ALL | GENERIC_EXECUTE | FILE_READ_DATA)) access |= kShareRead;
  if (desiredAccess & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) access |= kShareWrite;
  if (desiredAccess & (DELETE | GENERIC_ALL)) access |= kShareDelete;
  return access;
}

ShareGuard::ShareGuard() : fd_(-1) {
  std::string path = MachineDir() + "/file-shares.lock";
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ >= 0) {
    while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
}

ShareGuard::~ShareGuard() {
  if (fd_ >= 0) close(fd_);  // closing drops the flock
}

ShareClaim::~ShareClaim() {
  if (fd_ >= 0) close(fd_);
}

bool ShareClaim::Attach(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = OpenForClaims("/proc/self/fd/" + std::to_string(fd));
  return fd_ >= 0;
}

bool ShareClaim::Compatible(unsigned access, unsigned share) const {
  if (fd_ < 0) return true;
  for (unsigned kind : kKinds) {
    if ((access & kind) && ByteLockedElsewhere(fd_, MarkerOf(kDenyMarker, kind))) return false;
    if (!(share & kind) && ByteLockedElsewhere(fd_, MarkerOf(kAccessMarker, kind))) return false;
  }
  return true;
}

bool ShareClaim::Claim(unsigned access, unsigned share) {
  if (fd_ < 0) return true;
  bool ok = true;
  for (unsigned kind : kKinds) {
    if (access & kind) ok = LockByte(fd_, F_RDLCK, MarkerOf(kAccessMarker, kind), false) && ok;
    if (!(share & kind)) ok = LockByte(fd_, F_RDLCK, MarkerOf(kDenyMarker, kind), false) && ok;
  }
  return ok;
}

bool ShareDenies(const std::string& hostPath, unsigned access) {
  // A link is an entry of its own: handles on its target do not hold it.
  int fd = OpenForClaims(hostPath, O_NOFOLLOW);
  if (fd < 0) return false;
  bool denied = false;
  for (unsigned kind : kKinds)
    if ((access & kind) && ByteLockedElsewhere(fd, MarkerOf(kDenyMarker, kind))) denied = true;
  close(fd);
  return denied;
}

}  // namespace win32
