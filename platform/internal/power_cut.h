// A simulated power cut for one process of the machine, so that tests can
// show what of its work a real cut would leave. Platform-internal.
//
// Armed by WIN32_POWER_CUT_AFTER=N (N >= 1) in the process's environment,
// read once at start and removed from it, so that the programs it starts run
// unarmed. The power fails right after the process's N-th change of names
// inside the machine directory, or when it ends (returns from main, exit(),
// TerminateProcess of itself) before that. A cut during the run ends the
// process at once with kPowerCutExitCode: no exit handler or flush runs.
//
// What is modelled, as NTFS behaves: every creation, rename and deletion of a
// file or directory that has happened is kept, in order, and each file loses
// what this process wrote to it (WriteFile, SetEndOfFile, a truncating
// CreateFileW) since its last FlushFileBuffers, or since a FlushFileBuffers of
// its volume's handle. Two ways, chosen by WIN32_POWER_CUT_MODE:
// - "drop" (the default): the file gets back the bytes it had before, or
//   nothing when this process created it;
// - "zero": the file keeps its new length, and every byte that differs from
//   what it had before, or lies past its old end, reads as zero, as NTFS can
//   leave a file whose length was logged and whose data pages were not.
// Attributes and times are kept as they are.
//
// What is not: other processes of the machine carry on, and their writes are
// neither tracked nor lost; the registry keeps every change; files outside the
// machine directory (Z:) keep everything; the standard folders the machine
// makes on first use are no changes of the process (Windows has them from the
// start); a process killed by a signal (TerminateProcess from another one) has
// no cut at all.
#pragma once
#include <sys/stat.h>

#include <string>

namespace win32 {

constexpr char kPowerCutVariable[] = "WIN32_POWER_CUT_AFTER";
constexpr char kPowerCutModeVariable[] = "WIN32_POWER_CUT_MODE";
// The exit status of a process whose power failed during its run. A process
// cut when it ends keeps its own status.
constexpr int kPowerCutExitCode = 86;

// Behind the section and the hooks below, which are what the file calls use.
namespace power_cut {
// Set once before main, before any thread exists.
extern bool armed;
void Enter();
void Leave();
void BeforeDataChange(int fd, const std::string& hostPath);
void Created(int fd, const std::string& hostPath);
void Flushed(int fd);
void FlushedVolume(const std::string& hostRoot);
void NameGone(const struct stat& st);
void Changed(const std::string& hostPath);
void AtProcessEnd(int exitCode);
}  // namespace power_cut

// Held around every tracked file operation of an armed process, before any
// other lock it takes, so that nothing is written after the cut and the cut
// sees no operation half done. Nothing at all in an unarmed process.
class PowerCutSection {
 public:
  explicit PowerCutSection(bool needed = true) : held_(needed && power_cut::armed) {
    if (held_) power_cut::Enter();
  }
  ~PowerCutSection() {
    if (held_) power_cut::Leave();
  }
  PowerCutSection(const PowerCutSection&) = delete;
  PowerCutSection& operator=(const PowerCutSection&) = delete;

 private:
  bool held_;
};

// The hooks below run inside a PowerCutSection and cost a flag test when the
// process is unarmed.

// The data of the file open as fd, named hostPath, is about to change: its
// durable bytes are kept first unless a change since its last flush did so.
inline void PowerCutBeforeDataChange(int fd, const std::string& hostPath) {
  if (power_cut::armed) power_cut::BeforeDataChange(fd, hostPath);
}
// This process created the file open as fd: durable but empty, and a change.
inline void PowerCutCreated(int fd, const std::string& hostPath) {
  if (power_cut::armed) power_cut::Created(fd, hostPath);
}
// A flush made the file's current bytes durable.
inline void PowerCutFlushed(int fd) {
  if (power_cut::armed) power_cut::Flushed(fd);
}
// A flush of a volume's handle made every file below hostRoot, the volume's
// host folder, durable.
inline void PowerCutFlushedVolume(const std::string& hostRoot) {
  if (power_cut::armed) power_cut::FlushedVolume(hostRoot);
}
// The file st (lstat before the change) lost a name by a deletion or a
// replacing rename; a file without names left is forgotten, since its inode
// may come back as another file.
inline void PowerCutNameGone(const struct stat& st) {
  if (power_cut::armed) power_cut::NameGone(st);
}
// A creation, rename or deletion at hostPath has taken effect. The N-th
// inside the machine directory cuts the power: tracked files get their
// durable bytes back and the process ends with kPowerCutExitCode.
inline void PowerCutChanged(const std::string& hostPath) {
  if (power_cut::armed) power_cut::Changed(hostPath);
}
// The process is ending with exitCode without exit() (TerminateProcess of
// itself): the power fails now.
inline void PowerCutAtProcessEnd(int exitCode) {
  if (power_cut::armed) power_cut::AtProcessEnd(exitCode);
}

}  // namespace win32
