#include "process_object.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "internal/errors.h"
#include "internal/machine.h"
#include "internal/power_cut.h"

extern char** environ;

namespace win32 {
namespace {

int OpenPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

bool StillSameProcess(pid_t pid, unsigned long long startTime) {
  ProcStat st;
  if (!ReadProcStat(pid, &st)) return false;
  if (st.startTime != startTime) return false;
  return st.state != 'Z' && st.state != 'X';
}

DWORD WaitStatusToExitCode(int status) {
  if (WIFEXITED(status)) return static_cast<DWORD>(WEXITSTATUS(status));
  // A program killed by a signal; SIGKILL is what TerminateProcess sends.
  return 1;
}

// The children this process started: a process is one object on Windows,
// so a termination through any handle is what every handle reports. Never
// destroyed: watcher threads may still use them while the program exits.
std::mutex& ChildrenMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}
std::map<pid_t, std::weak_ptr<ChildState>>& Children() {
  static auto* children = new std::map<pid_t, std::weak_ptr<ChildState>>;
  return *children;
}

std::shared_ptr<ChildState> ChildOf(pid_t pid) {
  std::lock_guard<std::mutex> lock(ChildrenMutex());
  auto found = Children().find(pid);
  return found == Children().end() ? nullptr : found->second.lock();
}

// A child that has ended but is not reaped yet has ended all the same; its
// code is in its zombie's status unless a termination set one first.
// Called with state.mutex held.
bool EndedUnreaped(pid_t pid, ChildState& state) {
  ProcStat st;
  if (!ReadProcStat(pid, &st) || st.state != 'Z') return false;
  if (state.exitCode == STILL_ACTIVE) state.exitCode = WaitStatusToExitCode(st.exitCode);
  return true;
}

// Records the child's end before reaping it: until then it stays a zombie
// that EndedUnreaped recognises, so no handle ever sees it running again.
void WatchChild(pid_t pid, std::shared_ptr<ChildState> state) {
  siginfo_t info{};
  int r;
  do {
    r = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
  } while (r < 0 && errno == EINTR);
  {
    std::lock_guard<std::mutex> lock(ChildrenMutex());
    Children().erase(pid);
  }
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->exitCode == STILL_ACTIVE)
      state->exitCode = r != 0 ? 0 : info.si_code == CLD_EXITED ? static_cast<DWORD>(info.si_status) : 1;
    state->done = true;
    state->ended.notify_all();
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

bool ReadProcStat(pid_t pid, ProcStat* out) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(in, text)) return false;
  size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream rest(text.substr(close + 1));
  std::vector<std::string> fields;  // fields[0] is field 3 (state)
  std::string f;
  while (rest >> f) fields.push_back(f);
  if (fields.size() < 20) return false;
  out->state = fields[0][0];
  out->parent = static_cast<pid_t>(std::stol(fields[1]));
  out->threads = std::stol(fields[17]);
  out->startTime = std::stoull(fields[19]);
  out->exitCode = fields.size() >= 50 ? std::stoi(fields[49]) : 0;
  return true;
}

ProcessObject::ProcessObject(pid_t pid, DWORD access, std::shared_ptr<ChildState> child)
    : pid_(pid), access_(access), child_(std::move(child)) {
  if (!child_) {
    pidfd_ = OpenPidfd(pid);
    ProcStat st;
    if (ReadProcStat(pid, &st)) startTime_ = st.startTime;
  }
}

ProcessObject::~ProcessObject() {
  if (pidfd_ >= 0) close(pidfd_);
}

bool ProcessObject::HasEnded() {
  if (child_) {
    std::lock_guard<std::mutex> lock(child_->mutex);
    return child_->done || EndedUnreaped(pid_, *child_);
  }
  return WaitOther(0);
}

// A process that is not our child: its pidfd becomes readable when it ends;
// without pidfd, /proc is polled.
bool ProcessObject::WaitOther(DWORD milliseconds) {
  if (pidfd_ >= 0) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
      int timeout = -1;
      if (milliseconds != INFINITE) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        timeout = left.count() > 0 ? static_cast<int>(left.count()) : 0;
      }
      pollfd p{pidfd_, POLLIN, 0};
      int r = poll(&p, 1, timeout);
      if (r > 0) return true;
      if (r == 0) return false;
      if (errno != EINTR) return !StillSameProcess(pid_, startTime_);
    }
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    if (!StillSameProcess(pid_, startTime_)) return true;
    if (milliseconds != INFINITE && std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

DWORD ProcessObject::Wait(DWORD milliseconds) {
  if (!(access_ & SYNCHRONIZE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return WAIT_FAILED;
  }
  if (child_) {
    std::unique_lock<std::mutex> lock(child_->mutex);
    if (!child_->done && EndedUnreaped(pid_, *child_)) return WAIT_OBJECT_0;
    if (milliseconds == INFINITE) {
      child_->ended.wait(lock, [&] { return child_->done; });
      return WAIT_OBJECT_0;
    }
    bool done = child_->ended.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return child_->done; });
    return done ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  }
  return WaitOther(milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

bool ProcessObject::Terminate(UINT exitCode) {
  if (!(access_ & PROCESS_TERMINATE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  if (HasEnded()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  // The code is in place before the process can be seen to end, also for
  // the handle that started it when this one was opened by id.
  std::shared_ptr<ChildState> child = child_ ? child_ : ChildOf(pid_);
  auto recordCode = [&](DWORD code) {
    if (!child) return;
    std::lock_guard<std::mutex> lock(child->mutex);
    if (!child->done) child->exitCode = code;
  };
  terminateCode_ = exitCode;
  terminated_ = true;
  recordCode(exitCode);
  if (kill(pid_, SIGKILL) != 0) {
    const int error = errno;
    terminated_ = false;
    recordCode(STILL_ACTIVE);
    SetLastError(error == EPERM ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
    return false;
  }
  return true;
}

DWORD ProcessObject::ExitCode() {
  if (child_) {
    std::lock_guard<std::mutex> lock(child_->mutex);
    return child_->done || EndedUnreaped(pid_, *child_) ? child_->exitCode : static_cast<DWORD>(STILL_ACTIVE);
  }
  if (!WaitOther(0)) return STILL_ACTIVE;
  if (terminated_) return terminateCode_;
  // Someone else's child: its status is readable while it is a zombie.
  ProcStat st;
  if (ReadProcStat(pid_, &st) && st.startTime == startTime_ && st.state == 'Z')
    return WaitStatusToExitCode(st.exitCode);
  return 0;
}

std::shared_ptr<ProcessObject> SpawnDetached(const std::string& hostExe, const std::vector<std::string>& args,
                                             const std::string& hostDir, DWORD* error) {
  std::vector<std::string> envStore;
  const std::string machineVar = "WIN32_MACHINE=" + MachineDir();
  for (char** e = environ; e && *e; ++e)
    if (strncmp(*e, "WIN32_MACHINE=", 14) != 0) envStore.push_back(*e);
  envStore.push_back(machineVar);
  std::vector<char*> envp;
  for (auto& s : envStore) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::vector<std::string> argStore{hostExe};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argStore) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  // A terminal keeps seeing the program's complaints; a pipe must not be
  // held open by a program that outlives its starter.
  if (!isatty(2)) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  if (!hostDir.empty()) posix_spawn_file_actions_addchdir_np(&actions, hostDir.c_str());
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = 0;
  int rc = 0;
  // A file that another thread has just written may still be open for
  // writing somewhere for a moment (ETXTBSY).
  for (int attempt = 0; attempt < 50; ++attempt) {
    rc = posix_spawn(&pid, hostExe.c_str(), &actions, &attr, argv.data(), envp.data());
    if (rc != ETXTBSY) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    if (rc == ENOEXEC || rc == ELIBBAD)
      *error = ERROR_BAD_FORMAT;
    else if (rc == ENOENT && !hostDir.empty() && access(hostDir.c_str(), F_OK) != 0)
      *error = ERROR_DIRECTORY;
    else
      *error = ErrorFromErrno(rc);
    return nullptr;
  }
  auto state = std::make_shared<ChildState>();
  {
    std::lock_guard<std::mutex> lock(ChildrenMutex());
    Children()[pid] = state;
  }
  try {
    std::thread(WatchChild, pid, state).detach();
  } catch (...) {
    // No watcher: the child is still started; it stays a zombie when it ends.
  }
  return std::make_shared<ProcessObject>(pid, PROCESS_ALL_ACCESS, state);
}

}  // namespace win32

HANDLE WINAPI OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId) {
  (void)inheritHandle;
  pid_t pid = static_cast<pid_t>(processId);
  win32::ProcStat st;
  if (processId == 0 || !win32::ReadProcStat(pid, &st) || st.state == 'Z' || st.state == 'X') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (kill(pid, 0) != 0 && errno == EPERM) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return win32::RegisterHandle(std::make_shared<win32::ProcessObject>(pid, desiredAccess, nullptr));
}

namespace {
std::shared_ptr<win32::ProcessObject> ProcessFromHandle(HANDLE process) {
  auto object = win32::LookupHandleAs<win32::ProcessObject>(process);
  if (!object) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}
}  // namespace

BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode) {
  if (process == GetCurrentProcess()) {
    win32::PowerCutAtProcessEnd(static_cast<int>(exitCode & 0xFF));
    _exit(static_cast<int>(exitCode & 0xFF));
  }
  auto object = ProcessFromHandle(process);
  return object && object->Terminate(exitCode) ? TRUE : FALSE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
  if (!exitCode) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (process == GetCurrentProcess()) {
    *exitCode = STILL_ACTIVE;
    return TRUE;
  }
  auto object = ProcessFromHandle(process);
  if (!object) return FALSE;
  if (!(object->access() & (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  *exitCode = object->ExitCode();
  return TRUE;
}

DWORD WINAPI GetProcessId(HANDLE process) {
  if (process == GetCurrentProcess()) return GetCurrentProcessId();
  auto object = ProcessFromHandle(process);
  return object ? static_cast<DWORD>(object->pid()) : 0;
}
