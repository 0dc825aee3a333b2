// Loopback download of a 256 MB package from the test service:
// HttpDownloadFile against `curl -o`, same service, same file.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "bench/bench_files.h"
#include "server/update_service.h"
#include "shared/http_client.h"
#include "support/temp_machine.h"

namespace {

const size_t kFileSize = 256u << 20;
const int kRounds = 3;

void IgnoreProgress(double, double) {}

long long HostSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

}  // namespace

int main() {
  testing_support::TempMachine machine;
  const std::string root = machine.dir() + "/srv";
  testing_support::MakeHostDirs(root);
  testing_support::MakeHostDirs(machine.c() + "/dl");
  if (!bench::WriteRandomFile(root + "/package.7z", kFileSize, 2)) {
    std::fprintf(stderr, "cannot write the test file\n");
    return 1;
  }

  testing_support::TestUpdateService service;
  service.SetRoot(root);
  if (!service.Start()) {
    std::fprintf(stderr, "cannot start the service\n");
    return 1;
  }
  const std::string url = service.PackageUrl("package.7z");
  const std::string curlTarget = machine.dir() + "/curl.out";
  const std::string ourTarget = machine.c() + "/dl/package.7z";
  const std::string expected = testing_support::ServiceMd5OfFile(root + "/package.7z");

  double best_theirs = 1e9;
  double best_ours = 1e9;
  bool ok = true;
  for (int round = 0; round < kRounds; ++round) {
    std::remove(curlTarget.c_str());
    auto start = std::chrono::steady_clock::now();
    const std::string command = "curl -s -o '" + curlTarget + "' '" + url + "'";
    ok = std::system(command.c_str()) == 0 && ok;
    best_theirs = std::min(best_theirs, bench::SecondsSince(start));

    std::remove(ourTarget.c_str());
    start = std::chrono::steady_clock::now();
    ok = HttpDownloadFile(url, "C:\\dl\\package.7z", IgnoreProgress) && ok;
    best_ours = std::min(best_ours, bench::SecondsSince(start));
  }
  ok = ok && HostSize(ourTarget) == static_cast<long long>(kFileSize) &&
       testing_support::ServiceMd5OfFile(ourTarget) == expected &&
       testing_support::ServiceMd5OfFile(curlTarget) == expected;
  std::printf("curl -o:          %.3f s\n", best_theirs);
  std::printf("HttpDownloadFile: %.3f s\n", best_ours);
  std::printf("ratio HttpDownloadFile/curl: %.2f (goal <= 1.10)%s\n", best_ours / best_theirs,
              ok ? "" : "  DOWNLOAD WRONG");
  service.Stop();
  return ok ? 0 : 1;
}
