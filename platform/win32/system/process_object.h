// Process handles of the system module: processes this process started
// (its children, reaped by a watcher thread so they never stay zombies) and
// processes opened by id.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <windows.h>

#include "internal/handles.h"

namespace win32 {

// What is known of a child: filled by its watcher thread.
struct ChildState {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  DWORD exitCode = STILL_ACTIVE;
};

class ProcessObject : public KernelObject {
 public:
  ProcessObject(pid_t pid, DWORD access, std::shared_ptr<ChildState> child);
  ~ProcessObject() override;

  DWORD Wait(DWORD milliseconds) override;
  bool HasEnded();
  bool Terminate(UINT exitCode);
  DWORD ExitCode();
  pid_t pid() const { return pid_; }
  DWORD access() const { return access_; }

 private:
  bool WaitOther(DWORD milliseconds);

  pid_t pid_;
  DWORD access_;
  std::shared_ptr<ChildState> child_;
  int pidfd_ = -1;
  unsigned long long startTime_ = 0;
  std::atomic<bool> terminated_{false};
  std::atomic<DWORD> terminateCode_{0};
};

// Starts hostExe detached (own session, stdin/stdout to /dev/null, no
// inherited descriptors, WIN32_MACHINE of this machine) in hostDir; argv
// holds every argument after argv[0], which is hostExe. On failure returns
// null with a Win32 error code.
std::shared_ptr<ProcessObject> SpawnDetached(const std::string& hostExe, const std::vector<std::string>& args,
                                             const std::string& hostDir, DWORD* error);

// Fields of /proc/<pid>/stat: state letter, parent, threads, start time.
struct ProcStat {
  char state = '?';
  pid_t parent = 0;
  long threads = 0;
  unsigned long long startTime = 0;
  int exitCode = 0;  // wait status of a zombie
};
bool ReadProcStat(pid_t pid, ProcStat* out);

}  // namespace win32
