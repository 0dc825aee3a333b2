#include "support/e2e_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "internal/machine.h"

extern char** environ;

namespace testing_support {

namespace {

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& outputFile) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string output = outputFile.empty() ? "/dev/null" : outputFile;
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// The state letter of /proc/<pid>/stat ('T' once stopped); '?' when gone.
char ProcessState(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t name = text.rfind(')');  // the command name may hold anything
  return name == std::string::npos || name + 2 >= text.size() ? '?' : text[name + 2];
}

// The machine-wide guard that every file call of the machine takes.
std::string FileCallGuard() { return win32::MachineDir() + "/file-shares.lock"; }

// Whether pid holds the flock on the file with this inode, or waits for it
// (a line marked "->").
bool InFlock(pid_t pid, ino_t inode, bool waiting) {
  std::ifstream in("/proc/locks");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, owner, device;
    if (!(fields >> number >> kind)) continue;
    const bool waiter = kind == "->";
    if (waiter != waiting || (waiter && !(fields >> kind))) continue;
    if (!(fields >> mode >> access >> owner >> device) || kind != "FLOCK") continue;
    if (owner != std::to_string(pid)) continue;
    const size_t colon = device.rfind(':');
    if (colon != std::string::npos && device.substr(colon + 1) == std::to_string(inode)) return true;
  }
  return false;
}

}  // namespace

ProgramRun::~ProgramRun() { Kill(); }

bool ProgramRun::Start(const std::string& program, const std::vector<std::string>& args,
                       const std::string& outputFile) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_ = Spawn(argv, outputFile);
  reaped_ = false;
  return pid_ > 0;
}

bool ProgramRun::Wait(int timeoutMs, int* exitCode) {
  if (pid_ <= 0) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!reaped_) {
    int status = 0;
    pid_t got = waitpid(pid_, &status, WNOHANG);
    if (got == pid_) {
      reaped_ = true;
      exitCode_ = DecodeStatus(status);
      break;
    }
    if (got < 0 || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (exitCode) *exitCode = exitCode_;
  return true;
}

bool ProgramRun::Running() { return pid_ > 0 && !Wait(0); }

void ProgramRun::Kill() {
  if (pid_ <= 0 || reaped_) return;
  kill(pid_, SIGKILL);
  Wait(10000);
}

bool ProgramRun::Stop(int timeoutMs) {
  if (pid_ <= 0 || reaped_ || kill(pid_, SIGSTOP) != 0) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (ProcessState(pid_) != 'T') {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void ProgramRun::Continue() {
  if (pid_ > 0 && !reaped_) kill(pid_, SIGCONT);
}

bool StopOutsideFileCalls(ProgramRun* run, int timeoutMs) {
  struct stat guard{};
  if (stat(FileCallGuard().c_str(), &guard) != 0) return run->Stop(timeoutMs);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!run->Stop(timeoutMs)) return false;
    if (!InFlock(run->pid(), guard.st_ino, false)) return true;
    run->Continue();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return false;
}

FileCallGate::FileCallGate() {
  fd_ = open(FileCallGuard().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  struct stat guard{};
  int taken = -1;
  while (fd_ >= 0 && (taken = flock(fd_, LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (taken != 0 || fstat(fd_, &guard) != 0) {
    Open();
    return;
  }
  inode_ = guard.st_ino;
}

bool FileCallGate::WaitForCall(pid_t pid, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (closed() && !InFlock(pid, inode_, true)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return closed();
}

void FileCallGate::Open() {
  if (fd_ >= 0) close(fd_);  // closing drops the flock
  fd_ = -1;
}

pid_t SpawnWithEnvironment(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv) {
  // getenv takes the first entry of a name: the extra ones go first.
  std::vector<std::string> env(extraEnv);
  for (char** e = environ; *e; ++e) env.push_back(*e);
  std::vector<char*> envp, args;
  for (auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), envp.data()) != 0) return -1;
  return pid;
}

int WaitForExit(pid_t pid) {
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
  return DecodeStatus(status);
}

int RunHostCommand(const std::vector<std::string>& argv, const std::string& outputFile) {
  return WaitForExit(Spawn(argv, outputFile));
}

}  // namespace testing_support
