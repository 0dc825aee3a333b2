// A whole install run of the kernel (version check, download over loopback,
// MD5 check, unpacking, moving into place, runtime files, clean-up) with a
// 256 MB package, against "curl -o", "md5sum" and "7z x" of the same package,
// measured in the same run, so both sides fetch, digest and unpack it. The
// kernel runs in a child process (a copy of this program in its own installer
// directory), so its peak memory is its own: the service that sends the
// package stays in this process.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_files.h"
#include "installer/install_kernel.h"
#include "installer/thread_ui_control.h"
#include "server/update_service.h"
#include "shared/log_writer.h"
#include "shared/version_check.h"
#include "support/temp_machine.h"

namespace {

namespace fs = std::filesystem;

const char kChildMark[] = "KORVA_INSTALL_BENCH_CHILD";
const char kPackageFile[] = "korva_main.7z";
const int kRounds = 3;

// `megabytes` of random data and as much repetitive text, in files of
// 32 MB: the package is about `megabytes` large, and the library both copies
// stored chunks and decodes LZMA2.
bool WriteSources(const std::string& dir, int megabytes) {
  fs::create_directories(dir + "/text");
  std::string line = "korva install benchmark text line\n";
  std::string block;
  while (block.size() < (1u << 20)) block += line;
  block.resize(1u << 20);
  for (int file = 0; file * 32 < megabytes; ++file) {
    const int size = std::min(32, megabytes - file * 32);
    if (!bench::WriteRandomFile(dir + "/blob" + std::to_string(file) + ".bin", size_t(size) << 20, file)) {
      return false;
    }
    std::ofstream out(dir + "/text/part" + std::to_string(file) + ".bin", std::ios::binary);
    for (int mb = 0; mb < size; ++mb) out.write(block.data(), static_cast<std::streamsize>(block.size()));
    if (!out) return false;
  }
  return true;
}

void WriteFile(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

// The child: one install run as the progress window makes it.
int RunKernel() {
  SetLogPath("C:\\install-bench.log");
  IInstallKernel* kernel = KorvaInstallKernel::Instance();
  kernel->SetThreadUIControl(KorvaThreadUIControl::Instance());
  if (!kernel->Init()) return 90;
  return kernel->Install();
}

// The installer's directory: configuration, skin, archive library and the
// runtime files the run copies.
void PrepareInstallerDir(const std::string& dir, const testing_support::TestUpdateService& service) {
  fs::create_directories(dir);
  fs::copy_file("/proc/self/exe", dir + "/install.exe");
  WriteFile(dir + "/install.json", R"({"defaultpath": "C:/Program Files/", "version": "1.0", "mainapp": "korva.exe",
    "officialurl": "", "url": ")" + service.BaseUrl() + R"(", "shortcut": [], "execute": []})");
  WriteFile(dir + "/update.json", R"({"updateurl": ")" + service.VersionCheckUrl() + R"(",
    "updatekorva": {"packagename": "korva", "version": "1"}})");
  WriteFile(dir + "/skin/skin.zip", "skin");
  fs::path library = fs::path(KORVA_DIST_DIR) / "7z.dll";
  if (!fs::exists(library)) library = "/usr/lib/p7zip/7z.so";
  fs::copy_file(library, dir + "/7z.dll");
  for (const wchar_t* name : RuntimeFileList) {
    std::string narrow;
    for (const wchar_t* c = name; *c; ++c) narrow += static_cast<char>(*c);
    if (!fs::exists(dir + "/" + narrow)) WriteFile(dir + "/" + narrow, narrow);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (getenv(kChildMark)) return RunKernel();

  const int megabytes = argc > 1 ? std::atoi(argv[1]) : 256;
  testing_support::TempMachine machine;
  const std::string work = machine.dir() + "/bench";
  if (!WriteSources(work + "/src", megabytes)) {
    std::fprintf(stderr, "cannot write the package sources\n");
    return 1;
  }
  fs::create_directories(work + "/packages");
  if (!bench::Run("cd '" + work + "/src' && 7z a -bd -mx=1 '" + work + "/packages/" + kPackageFile + "' .")) {
    std::fprintf(stderr, "7z a failed\n");
    return 1;
  }
  fs::remove_all(work + "/src");
  const double packageMB = static_cast<double>(fs::file_size(work + "/packages/" + kPackageFile)) / 1048576.0;

  testing_support::TestUpdateService service;
  service.SetRoot(work + "/packages");
  testing_support::CatalogEntry entry;
  entry.packageName = "korva";
  entry.versionCode = 2;
  entry.file = kPackageFile;
  service.SetPackage(entry);
  if (!service.Start()) {
    std::fprintf(stderr, "service did not start\n");
    return 1;
  }

  // The service digests a package on its first version check; that is the
  // service's cost, not the installer's.
  UpdateInfo warm;
  const std::string checkUrl = service.VersionCheckUrl();
  CheckVersion(std::wstring(checkUrl.begin(), checkUrl.end()), L"korva", L"1", warm);

  const std::string installerDir = work + "/installer";
  PrepareInstallerDir(installerDir, service);
  const std::string program = installerDir + "/install.exe";

  // Best of three rounds on each side; each kernel run on a fresh machine.
  double kernelSeconds = 1e9, peerSeconds = 1e9, curlSeconds = 1e9, md5Seconds = 0;
  long peakKilobytes = 0;
  int code = 0;
  for (int round = 0; round < kRounds && code == 0; ++round) {
    bench::PeerTimes peer;
    if (!bench::TimePeer(service.PackageUrl(kPackageFile), work + "/peer", &peer)) {
      std::fprintf(stderr, "curl, md5sum or 7z x failed\n");
      return 1;
    }
    if (peer.Total() < peerSeconds) {
      peerSeconds = peer.Total();
      curlSeconds = peer.curl;
      md5Seconds = peer.md5;
    }

    const std::string roundMachine = work + "/machine" + std::to_string(round);
    fs::create_directories(roundMachine + "/c");
    setenv("WIN32_MACHINE", roundMachine.c_str(), 1);
    const auto start = std::chrono::steady_clock::now();
    struct rusage usage {};
    code = bench::RunMarkedChild(program, kChildMark, &usage);
    kernelSeconds = std::min(kernelSeconds, bench::SecondsSince(start));
    peakKilobytes = std::max(peakKilobytes, usage.ru_maxrss);
    setenv("WIN32_MACHINE", machine.dir().c_str(), 1);
    if (getenv("KORVA_BENCH_SHOW_LOG")) {
      std::ifstream log(roundMachine + "/c/install-bench.log");
      std::printf("%s", std::string(std::istreambuf_iterator<char>(log), {}).c_str());
    }
    fs::remove_all(roundMachine);
  }
  service.Stop();

  std::printf("package: %.1f MB (%d MB unpacked), best of %d rounds\n", packageMB, 2 * megabytes, kRounds);
  std::printf("kernel install run: %.2f s (result %d)\n", kernelSeconds, code);
  std::printf("curl -o + md5sum + 7z x: %.2f s (curl %.2f s, md5sum %.2f s, 7z x %.2f s)\n", peerSeconds,
              curlSeconds, md5Seconds, peerSeconds - curlSeconds - md5Seconds);
  std::printf("ratio: %.2f (goal: at most 1.1)\n", kernelSeconds / peerSeconds);
  std::printf("peak memory of the install run: %.1f MB (goal: under 64 MB)\n", peakKilobytes / 1024.0);
  return code == 0 ? 0 : 1;
}
