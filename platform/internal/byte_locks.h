// One-byte open-file-description locks. The kernel drops them when the open
// file is closed or its process dies, so state shared between the machine's
// processes through them never goes stale. Platform-internal.
#pragma once
#include <fcntl.h>

#include <cerrno>

namespace win32 {

inline struct flock ByteLock(short type, off_t byte) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  return lock;
}

// Takes (F_RDLCK, F_WRLCK) or drops (F_UNLCK) the lock on `byte`; `wait`
// blocks until it can be had.
inline bool LockByte(int fd, short type, off_t byte, bool wait) {
  struct flock lock = ByteLock(type, byte);
  int r;
  do {
    r = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
  } while (r != 0 && errno == EINTR);
  return r == 0;
}

// True when another open file holds a lock on `byte`.
inline bool ByteLockedElsewhere(int fd, off_t byte) {
  struct flock lock = ByteLock(F_WRLCK, byte);
  return fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

}  // namespace win32
