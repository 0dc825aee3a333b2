// A program of the build started on the test's machine as a user would start
// it: WIN32_MACHINE of the test process, its own output file.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace testing_support {

class ProgramRun {
 public:
  ProgramRun() = default;
  ~ProgramRun();
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;

  // Starts program with args; stdout and stderr go to outputFile.
  bool Start(const std::string& program, const std::vector<std::string>& args, const std::string& outputFile);
  pid_t pid() const { return pid_; }
  // True once the program has ended (within timeoutMs); its exit code, or
  // 128 + signal, in *exitCode.
  bool Wait(int timeoutMs, int* exitCode = nullptr);
  bool Running();
  // Ends a program still running (SIGKILL) and reaps it.
  void Kill();
  // Stops the program (SIGSTOP) and waits until it has stopped; false when it
  // did not within timeoutMs. Continue lets it go on.
  bool Stop(int timeoutMs);
  void Continue();

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int exitCode_ = -1;
};

// Stops a program of the machine where it takes part in no file call: every
// open, move and delete of the machine takes one machine-wide guard, so a
// program stopped inside one would hold up every other program's. It is let
// go on a little and stopped again until it is outside. False when that did
// not happen within timeoutMs (the program is then running).
bool StopOutsideFileCalls(ProgramRun* run, int timeoutMs);

// Holds back every file call of the machine while it is closed: each open,
// move and delete takes one machine-wide guard, which the gate keeps. The
// test's own process must make none meanwhile.
class FileCallGate {
 public:
  FileCallGate();  // closed
  ~FileCallGate() { Open(); }
  FileCallGate(const FileCallGate&) = delete;
  FileCallGate& operator=(const FileCallGate&) = delete;

  bool closed() const { return fd_ >= 0; }
  // True once the program waits at the gate with a file call (within timeoutMs).
  bool WaitForCall(pid_t pid, int timeoutMs);
  void Open();

 private:
  int fd_ = -1;
  ino_t inode_ = 0;
};

// Starts argv[0] with the test's environment and `extraEnv` ("NAME=value",
// which win over the test's own); its pid, -1 when it could not start.
pid_t SpawnWithEnvironment(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv);
// Waits for a child started so; its exit code, or 128 + signal.
int WaitForExit(pid_t pid);

// Runs a host command to its end; its exit code (-1 when it could not start).
// Output goes to outputFile, or is dropped when that is empty.
int RunHostCommand(const std::vector<std::string>& argv, const std::string& outputFile = "");

}  // namespace testing_support
