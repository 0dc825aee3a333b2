// The power cut of an armed process: the durable bytes of each file it has
// changed since that file's last flush, the count of its changes of names,
// and the cut that gives those bytes back.
#include "internal/power_cut.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "internal/machine.h"

namespace win32 {
namespace power_cut {

bool armed = false;

namespace {

// A file whatever names it has had: renames keep it.
using FileKey = std::pair<dev_t, ino_t>;

struct State {
  std::recursive_mutex mutex;
  unsigned long long cutAfter = 0;
  unsigned long long changes = 0;
  // What a cut gives back to each file changed since its last flush.
  std::map<FileKey, std::string> durable;
  // Machine directories those files were found in.
  std::set<std::string> machines;
  // The cut keeps each file's new length and zeroes what it lost.
  bool zero = false;
  // Set by the cut at the end of the process, whose status is kept.
  bool cut = false;
  int exitStatus = 0;
};

// Made once when armed and never destroyed: the cut at exit runs after the
// static objects are gone.
State* state = nullptr;

FileKey KeyOf(const struct stat& st) { return {st.st_dev, st.st_ino}; }

// The machine directory when hostPath lies inside it, else "". MachineDir()
// is asked here, never at the cut: exit() has destroyed thread_local state
// by then.
std::string MachineHolding(const std::string& hostPath) {
  std::string dir = MachineDir();
  bool inside = hostPath.size() > dir.size() + 1 && hostPath.compare(0, dir.size(), dir) == 0 &&
                hostPath[dir.size()] == '/';
  return inside ? dir : std::string();
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The bytes of the file open as fd, read through a descriptor of their own:
// fd may be write-only, and its position must not move.
bool CurrentBytes(int fd, std::string* bytes) {
  int own = open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (own < 0) return false;
  char buffer[1 << 16];
  bool ok = true;
  for (;;) {
    ssize_t n = read(own, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    bytes->append(buffer, static_cast<size_t>(n));
  }
  close(own);
  return ok;
}

// What a cut leaves of a file that held current and whose durable bytes are
// durable, in the zero mode: its length stays, and what it lost reads as zero.
std::string ZeroedBytes(const std::string& current, const std::string& durable) {
  std::string left(current.size(), '\0');
  for (size_t i = 0; i < current.size() && i < durable.size(); ++i) {
    if (current[i] == durable[i]) left[i] = durable[i];
  }
  return left;
}

// Gives one file its durable bytes back, keeping its times; st is its lstat.
void Restore(const std::string& path, const struct stat& st, std::string bytes) {
  if (state->zero) {
    std::string current;
    int own = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (own >= 0) {
      const bool read = CurrentBytes(own, &current);
      close(own);
      if (read) bytes = ZeroedBytes(current, bytes);
    }
  }
  const int flags = O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
  int fd = open(path.c_str(), flags);
  // A read-only file (for a user who is not root) is opened the same way.
  if (fd < 0 && errno == EACCES && chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0) {
    fd = open(path.c_str(), flags);
    chmod(path.c_str(), st.st_mode & 07777);
  }
  if (fd < 0) return;
  WriteAll(fd, bytes);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  futimens(fd, times);
  close(fd);
}

using Tracked = std::map<FileKey, std::string>::iterator;

// Walks dir without following links and hands each tracked file found to
// found, with its path and lstat, until no tracked file is left.
template <typename Found>
void ForEachTrackedFile(const std::string& dir, const Found& found) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    if (state->durable.empty()) break;
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = dir + "/" + name;
    struct stat st{};
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      ForEachTrackedFile(path, found);
    } else if (S_ISREG(st.st_mode)) {
      auto it = state->durable.find(KeyOf(st));
      if (it != state->durable.end()) found(path, st, it);
    }
  }
  closedir(d);
}

// Restores each tracked file below dir. A tracked file that is found nowhere
// has been deleted and stays so.
void RestoreTree(const std::string& dir) {
  ForEachTrackedFile(dir, [](const std::string& path, const struct stat& st, Tracked it) {
    Restore(path, st, it->second);
    state->durable.erase(it);  // one restore for a file of several names
  });
}

// Forgets the tracked files found below dir: they are durable now.
void ForgetTree(const std::string& dir) {
  ForEachTrackedFile(dir, [](const std::string&, const struct stat&, Tracked it) { state->durable.erase(it); });
}

// The power fails: under the lock, which is never given back.
void Cut() {
  for (const std::string& machine : state->machines) RestoreTree(machine);
  state->durable.clear();
  state->cut = true;
}

void CutAtEnd(int status) {
  state->mutex.lock();  // waits for the operation another thread has under way
  if (state->cut) return;
  state->exitStatus = status;
  Cut();
}

// exit() has run the handlers and destructors registered after this one;
// what remains (the C library's) touches no machine file.
void CutOnExit(int status, void*) { CutAtEnd(status); }

bool ParseCount(const char* text, unsigned long long* count) {
  if (!text || *text < '0' || *text > '9') return false;
  errno = 0;
  char* end = nullptr;
  *count = strtoull(text, &end, 10);
  return errno == 0 && *end == '\0' && *count >= 1;
}

// Before any static object of the program, so that the exit hook is
// registered first and runs last.
__attribute__((constructor(101))) void ArmFromEnvironment() {
  const char* text = getenv(kPowerCutVariable);
  if (!text) return;
  unsigned long long count = 0;
  const bool valid = ParseCount(text, &count);
  if (!valid) fprintf(stderr, "%s=%s is no count of at least 1: no power cut\n", kPowerCutVariable, text);
  unsetenv(kPowerCutVariable);  // the process's own: the programs it starts run unarmed
  const char* mode = getenv(kPowerCutModeVariable);
  const bool zero = mode && strcmp(mode, "zero") == 0;
  const bool knownMode = !mode || zero || strcmp(mode, "drop") == 0;
  if (!knownMode) fprintf(stderr, "%s=%s is neither drop nor zero: no power cut\n", kPowerCutModeVariable, mode);
  unsetenv(kPowerCutModeVariable);
  if (!valid || !knownMode) return;
  state = new State;
  state->zero = zero;
  state->cutAfter = count;
  on_exit(CutOnExit, nullptr);
  armed = true;
}

}  // namespace

void Enter() {
  state->mutex.lock();
  // The power failed as this thread was ending the process: nothing it does
  // now takes effect.
  if (state->cut) _exit(state->exitStatus);
}

void Leave() { state->mutex.unlock(); }

void BeforeDataChange(int fd, const std::string& hostPath) {
  const std::string machine = MachineHolding(hostPath);
  struct stat st{};
  if (machine.empty() || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink == 0) return;
  std::lock_guard<std::recursive_mutex> lock(state->mutex);
  if (state->durable.count(KeyOf(st))) return;
  std::string bytes;
  if (!CurrentBytes(fd, &bytes)) {
    fprintf(stderr, "power cut: the bytes of %s cannot be kept; a cut leaves what it holds\n", hostPath.c_str());
    return;
  }
  state->durable.emplace(KeyOf(st), std::move(bytes));
  state->machines.insert(machine);
}

void Created(int fd, const std::string& hostPath) {
  const std::string machine = MachineHolding(hostPath);
  struct stat st{};
  if (machine.empty() || fstat(fd, &st) != 0) return;
  std::lock_guard<std::recursive_mutex> lock(state->mutex);
  state->durable[KeyOf(st)].clear();  // also drops what a reused inode had
  state->machines.insert(machine);
  Changed(hostPath);
}

void Flushed(int fd) {
  struct stat st{};
  if (fstat(fd, &st) != 0) return;
  std::lock_guard<std::recursive_mutex> lock(state->mutex);
  state->durable.erase(KeyOf(st));
}

void FlushedVolume(const std::string& hostRoot) {
  std::lock_guard<std::recursive_mutex> lock(state->mutex);
  ForgetTree(hostRoot);
}

void NameGone(const struct stat& st) {
  if (!S_ISREG(st.st_mode) || st.st_nlink > 1) return;
  std::lock_guard<std::recursive_mutex> lock(state->mutex);
  state->durable.erase(KeyOf(st));
}

void Changed(const std::string& hostPath) {
  if (MachineHolding(hostPath).empty()) return;
  std::lock_guard<std::recursive_mutex> lock(state->mutex);
  if (++state->changes < state->cutAfter) return;
  Cut();
  _exit(kPowerCutExitCode);
}

void AtProcessEnd(int exitCode) { CutAtEnd(exitCode); }

}  // namespace power_cut
}  // namespace win32
