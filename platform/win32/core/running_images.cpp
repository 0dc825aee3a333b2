// Program images held by running processes: Windows keeps such a file from
// being written, truncated or deleted while any process runs it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <string>

#include "internal/process_images.h"

namespace win32 {
namespace {

// A zombie (or a dying process) holds no image any more.
bool HasEnded(int procFd, const char* pid) {
  int fd = openat(procFd, (std::string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  char buf[512];
  ssize_t n = read(fd, buf, sizeof(buf) - 1);
  close(fd);
  if (n <= 0) return true;
  buf[n] = 0;
  // The command name in parentheses may hold anything; the state follows
  // its closing parenthesis.
  const char* close = strrchr(buf, ')');
  if (!close || close[1] != ' ') return true;
  char state = close[2];
  return state == 'Z' || state == 'X' || state == 'x';
}

}  // namespace

bool IsRunningImage(const struct stat& st) {
  // Every program image here carries an execute bit (the host runs nothing
  // else), so other files never cost a scan.
  if (!S_ISREG(st.st_mode) || !(st.st_mode & 0111)) return false;
  DIR* proc = opendir("/proc");
  if (!proc) return false;
  const int procFd = dirfd(proc);
  bool found = false;
  while (dirent* e = readdir(proc)) {
    if (!isdigit(static_cast<unsigned char>(e->d_name[0]))) continue;
    // The exe link leads to the image's inode whatever it is named now, so
    // a renamed image is still found and its old name is free.
    struct stat image{};
    if (fstatat(procFd, (std::string(e->d_name) + "/exe").c_str(), &image, 0) != 0) continue;
    if (image.st_dev == st.st_dev && image.st_ino == st.st_ino && !HasEnded(procFd, e->d_name)) {
      found = true;
      break;
    }
  }
  closedir(proc);
  return found;
}

bool IsRunningImage(const std::string& hostPath) {
  struct stat st{};
  return stat(hostPath.c_str(), &st) == 0 && IsRunningImage(st);
}

}  // namespace win32
