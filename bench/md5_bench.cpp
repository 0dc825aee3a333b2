// MD5 of a 256 MB file: Md5File against md5sum, same file, warm cache.
#include <chrono>
#include <cstdio>
#include <string>

#include "bench/bench_files.h"
#include "shared/md5.h"
#include "support/temp_machine.h"

namespace {

const size_t kFileSize = 256u << 20;
const int kRounds = 3;

std::string RunMd5sum(const std::string& hostPath) {
  std::string command = "md5sum '" + hostPath + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return std::string();
  char line[256] = "";
  if (fgets(line, sizeof(line), pipe) == nullptr) line[0] = '\0';
  pclose(pipe);
  return std::string(line).substr(0, 32);
}

}  // namespace

int main() {
  testing_support::TempMachine machine;
  const std::string hostPath = machine.c() + "/package.7z";
  if (!bench::WriteRandomFile(hostPath, kFileSize, 1)) {
    std::fprintf(stderr, "cannot write the test file\n");
    return 1;
  }

  std::string theirs;
  std::string ours;
  double best_theirs = 1e9;
  double best_ours = 1e9;
  RunMd5sum(hostPath);  // warm the page cache
  for (int round = 0; round < kRounds; ++round) {
    auto start = std::chrono::steady_clock::now();
    theirs = RunMd5sum(hostPath);
    best_theirs = std::min(best_theirs, bench::SecondsSince(start));

    char hex[33] = "";
    start = std::chrono::steady_clock::now();
    Md5File("C:\\package.7z", hex);
    best_ours = std::min(best_ours, bench::SecondsSince(start));
    ours = hex;
  }
  std::printf("md5sum:  %.3f s  %s\n", best_theirs, theirs.c_str());
  std::printf("Md5File: %.3f s  %s\n", best_ours, ours.c_str());
  std::printf("ratio Md5File/md5sum: %.2f (goal <= 1.30)%s\n", best_ours / best_theirs,
              ours == theirs ? "" : "  DIGESTS DIFFER");
  return ours == theirs ? 0 : 1;
}
