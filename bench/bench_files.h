// Helpers shared by the benchmarks.
#pragma once
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

extern "C" char** environ;

namespace bench {

// Writes `size` pseudo-random bytes (a multiple of 1 MiB) to a host file.
inline bool WriteRandomFile(const std::string& path, size_t size, unsigned seed) {
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  std::mt19937_64 gen(seed);
  std::vector<unsigned long long> block(1 << 17);
  bool ok = true;
  for (size_t written = 0; ok && written < size; written += block.size() * 8) {
    for (auto& word : block) word = gen();
    ok = std::fwrite(block.data(), 8, block.size(), out) == block.size();
  }
  return std::fclose(out) == 0 && ok;
}

inline double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs a shell command with its output thrown away; true when it succeeded.
inline bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// Writes back what earlier work left dirty, so that it does not land in the
// next measurement.
inline void Settle() { Run("sync"); }

// One round of the peer: "curl -o" of the package into `dir`, "md5sum" of
// that file and "7z x" of it into a fresh folder there; `dir` is removed
// afterwards.
struct PeerTimes {
  double curl = 0;
  double md5 = 0;
  double extract = 0;
  double Total() const { return curl + md5 + extract; }
};

inline bool TimePeer(const std::string& packageUrl, const std::string& dir, PeerTimes* times) {
  std::filesystem::create_directories(dir);
  const std::string package = dir + "/pkg.7z";
  auto start = std::chrono::steady_clock::now();
  bool ok = Run("curl -s -o '" + package + "' '" + packageUrl + "'");
  times->curl = SecondsSince(start);
  start = std::chrono::steady_clock::now();
  ok = ok && Run("md5sum '" + package + "'");
  times->md5 = SecondsSince(start);
  start = std::chrono::steady_clock::now();
  ok = ok && Run("7z x -y -bd -o'" + dir + "/out' '" + package + "'");
  times->extract = SecondsSince(start);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return ok;
}

// Runs `program` with the environment variable `mark` set and waits for it.
// Its exit code, or -1 when it could not start or did not exit; *usage (when
// given) receives its resource use.
inline int RunMarkedChild(const std::string& program, const char* mark, struct rusage* usage = nullptr) {
  setenv(mark, "1", 1);
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ);
  unsetenv(mark);
  if (spawned != 0) return -1;
  int status = 0;
  struct rusage own {};
  wait4(pid, &status, 0, usage != nullptr ? usage : &own);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace bench
