// One main-package step of the updater (UpdateContext::ApplyMainPackage:
// download over loopback, MD5 check, extraction and the move over the
// installed tree) with a package of about 256 MB in 5,000 files, over a tree
// that holds an older version of every one of them, against "curl -o",
// "md5sum" and "7z x" of the same package, measured in the same run (the
// median of five rounds of each). Both sides fetch the package from the same
// service, so the download is on both. The bench runs as the installed
// updater (a copy of this program in <install dir>\update\), as the
// updater's tests do, and the peer runs from there too; once with the
// machine in memory and once on a disk, where the step's flush of the
// package (which the peer does not do) costs what it costs a user.
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench_files.h"
#include "updater/update_context.h"
#include "updater/update_messages.h"
#include "updater/update_progress.h"
#include "updater/updater_test_util.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using updater_test::InstallTree;
using updater_test::OwnerWindow;

const char kPackageFile[] = "korva-200.7z";
const int kRounds = 5;
const int kFiles = 5000;
const int kLargeFiles = 16;
const size_t kLargeFileSize = 8u << 20;

// Compressible text, so that the library decodes LZMA2 as well as copying
// stored chunks.
std::string TextBytes(size_t size, int seed) {
  const std::string line = "korva route table entry " + std::to_string(seed) + " 10.0.0.0/8 via tunnel\n";
  std::string bytes;
  bytes.reserve(size + line.size());
  while (bytes.size() < size) bytes += line;
  bytes.resize(size);
  return bytes;
}

// The package's files under the names a product tree has; version 2 of the
// product differs from version 1 in every byte, and both have the same
// names, so the step replaces each file. Sixteen large files of 8 MB and the
// rest of 1 to 61 KB, one in five of them text: about 280 MB unpacked. The
// package's own update.json makes kFiles.
std::map<std::string, std::string> ProductFiles(int version) {
  std::map<std::string, std::string> files;
  const unsigned seed = static_cast<unsigned>(version) * 100003u;
  for (int i = 0; i < kLargeFiles; ++i) {
    const std::string name = i == 0 ? "数据/路由表.dat" : "data/large" + std::to_string(i) + ".bin";
    files[name] = updater_test::NoiseBytes(kLargeFileSize, seed + i);
  }
  for (int i = kLargeFiles; i < kFiles - 3; ++i) {
    const size_t size = (1 + (static_cast<size_t>(i) * 7919u) % 61u) * 1024u;
    const bool text = i % 5 == 0;
    const std::string name =
        "resources/m" + std::to_string(i % 50) + "/f" + std::to_string(i) + (text ? ".txt" : ".dll");
    files[name] = text ? TextBytes(size, version * kFiles + i) : updater_test::NoiseBytes(size, seed + i);
  }
  files["korva.exe"] = updater_test::NoiseBytes(3u << 20, seed + kFiles);
  files["launch.exe"] = updater_test::NoiseBytes(1u << 20, seed + kFiles + 1);
  return files;
}

size_t TotalBytes(const std::map<std::string, std::string>& files) {
  size_t total = 0;
  for (const auto& file : files) total += file.second.size();
  return total;
}

// The update window's stand-in, with the window's own timer period: a
// step's wait ends at the first message after its worker is done, so the
// timer's period is part of what the user waits for. It notes when each tick
// and "download finished" arrive; the latter is posted before the MD5 check
// and handled once the extraction's wait has begun.
class TimingOwner : public OwnerWindow {
 public:
  explicit TimingOwner(Clock::time_point start) : OwnerWindow(kUpdateProgressTimerPeriodMs), start_(start) {}

  double downloadFinishedAt = -1;

  // The last tick before `at`, or -1.
  double LastTickBefore(double at) const {
    double last = -1;
    for (double tick : tickTimes_) {
      if (tick < at) last = tick;
    }
    return last;
  }

  // The first tick at or after `at`, or -1.
  double FirstTickFrom(double at) const {
    for (double tick : tickTimes_) {
      if (tick >= at) return tick;
    }
    return -1;
  }

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override {
    if (msg == kMsgDownloadFinished && downloadFinishedAt < 0) downloadFinishedAt = bench::SecondsSince(start_);
    if (msg == WM_TIMER && wParam == kUpdateProgressTimer) tickTimes_.push_back(bench::SecondsSince(start_));
    return OwnerWindow::HandleMessage(msg, wParam, lParam);
  }

 private:
  Clock::time_point start_;
  std::vector<double> tickTimes_;
};

// Reads the progress model every millisecond from a thread of its own, as
// the window's timer does, but without a message to the UI thread, which
// would end the step's waits early. Each change is noted.
class ProgressWatch {
 public:
  explicit ProgressWatch(Clock::time_point start) : start_(start), thread_([this] { Watch(); }) {}
  ~ProgressWatch() { Stop(); }

  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  // When the stage with this caption, as shown at or after `after`, first
  // reaches the highest percentage it shows; -1 when it never shows.
  double StageEnd(const std::wstring& caption, double after) const {
    int highest = -1;
    double reached = -1;
    for (const Sample& sample : samples_) {
      if (sample.at >= after && sample.caption == caption && sample.percent > highest) {
        highest = sample.percent;
        reached = sample.at;
      }
    }
    return reached;
  }

 private:
  struct Sample {
    double at;
    std::wstring caption;
    int percent;
  };

  void Watch() {
    KorvaUpdateProgress* progress = KorvaUpdateProgress::Instance();
    while (!stop_) {
      Sample sample{bench::SecondsSince(start_), progress->GetCaption(), progress->GetPercent()};
      if (samples_.empty() || sample.caption != samples_.back().caption || sample.percent != samples_.back().percent) {
        samples_.push_back(sample);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  Clock::time_point start_;
  std::atomic<bool> stop_{false};
  std::vector<Sample> samples_;
  std::thread thread_;
};

// Where one step's time goes: its download stage, the MD5 check (with
// clearing the extraction folder), the extraction stage, what follows it (the
// move over the installed tree and the clean-up) and the wait loop noticing
// that a worker is done. The UI thread does not tick while it hashes, so the
// tick that ends the download's wait is the last one before that; the
// unpacking's wait ends at the first tick after it, and the move (on a worker
// of its own) follows.
struct StepParts {
  double total = 0;
  double download = -1;
  double digest = -1;
  double extraction = -1;
  double move = -1;
  double wakeUps = -1;
};

StepParts ReadParts(const ProgressWatch& watch, const TimingOwner& owner, double total) {
  StepParts parts;
  parts.total = total;
  const double hashed = owner.downloadFinishedAt;
  const double downloadNoticed = owner.LastTickBefore(hashed);
  const double downloaded = watch.StageEnd(kDownloadStageCaption, 0);
  const double unpacked = watch.StageEnd(kUnzipStageCaption, hashed);
  const double unpackNoticed = unpacked < 0 ? -1 : owner.FirstTickFrom(unpacked);
  if (hashed < 0 || downloadNoticed < 0 || downloaded < 0 || unpacked < 0 || unpackNoticed < 0) return parts;
  parts.download = std::min(downloaded, downloadNoticed);
  parts.digest = hashed - downloadNoticed;
  parts.extraction = unpacked - hashed;
  parts.move = total - unpackNoticed;
  parts.wakeUps = (downloadNoticed - parts.download) + (unpackNoticed - unpacked);
  return parts;
}

// With KORVA_BENCH_PERF_CTL naming the control fifo of
// "perf record --control fifo:<fifo> -D -1 ...", only the steps are recorded.
void ProfileSteps(bool on) {
  const char* fifo = getenv("KORVA_BENCH_PERF_CTL");
  if (fifo == nullptr) return;
  if (FILE* control = std::fopen(fifo, "w")) {
    std::fputs(on ? "enable\n" : "disable\n", control);
    std::fclose(control);
  }
}

// Puts version 1 back over what the last step replaced.
void InstallOldVersion(const InstallTree& tree, const std::map<std::string, std::string>& files) {
  for (const auto& file : files) testing_support::WriteHostFile(tree.Host(file.first), file.second);
}

// A file's size and bytes, in short.
size_t Fingerprint(const std::string& bytes) { return std::hash<std::string>()(bytes) ^ bytes.size(); }

// Every file of the package is the new version's, whole.
bool TreeHoldsPackage(const InstallTree& tree, const std::map<std::string, size_t>& expected) {
  for (const auto& file : expected) {
    if (Fingerprint(testing_support::ReadHostFile(tree.Host(file.first))) != file.second) {
      std::fprintf(stderr, "not the new version: %s\n", file.first.c_str());
      return false;
    }
  }
  return true;
}

int RunAsInstalledUpdater() {
  // As the updater's tests do: no 7z.dll may come from a current directory
  // outside the tree.
  if (chdir(fs::read_symlink("/proc/self/exe").parent_path().c_str()) != 0) return 1;
  InstallTree tree;
  const std::string scratch = updater_test::MachineDir() + "/bench";

  // The package carries its own update.json, naming the new version.
  std::map<std::string, std::string> newFiles = ProductFiles(2);
  newFiles["resources/cplus-module/update.json"] = tree.ProductConfigText(100, 200, 100);
  std::map<std::string, std::string> oldFiles = ProductFiles(1);
  oldFiles["resources/cplus-module/update.json"] = tree.ProductConfigText(100, 100, 100);
  const double unpackedMB = static_cast<double>(TotalBytes(newFiles)) / 1048576.0;
  const std::string archive = tree.AddPackage("korva", 200, kPackageFile, newFiles);
  std::map<std::string, size_t> expected;
  for (const auto& file : newFiles) expected[file.first] = Fingerprint(file.second);
  newFiles.clear();
  const double packageMB = static_cast<double>(fs::file_size(archive)) / 1048576.0;

  UpdateContext* context = UpdateContext::Instance();
  std::vector<std::pair<double, StepParts>> steps;  // seconds, parts
  std::vector<std::pair<double, bench::PeerTimes>> peers;
  for (int round = 0; round < kRounds; ++round) {
    bench::Settle();
    bench::PeerTimes peer;
    if (!bench::TimePeer(tree.service.PackageUrl(kPackageFile), scratch + "/peer", &peer)) {
      std::fprintf(stderr, "curl, md5sum or 7z x failed\n");
      return 1;
    }
    peers.emplace_back(peer.Total(), peer);

    InstallOldVersion(tree, oldFiles);
    // The service digests the package on its first check: not the step's cost.
    if (!context->LoadUpdateConfig() || !context->CheckVersions() || !context->mainNeeded) {
      std::fprintf(stderr, "the version check offers no main package\n");
      return 1;
    }
    bench::Settle();
    const auto start = Clock::now();
    TimingOwner owner(start);
    ProgressWatch watch(start);
    context->owner = &owner;
    ProfileSteps(true);
    const int result = context->ApplyMainPackage();
    const double seconds = bench::SecondsSince(start);
    ProfileSteps(false);
    watch.Stop();
    context->owner = nullptr;
    if (result != kUpdateOk || !TreeHoldsPackage(tree, expected)) {
      std::fprintf(stderr, "the step failed (result %d)\n%s", result, tree.Log().c_str());
      return 1;
    }
    const StepParts parts = ReadParts(watch, owner, seconds);
    std::printf("round %d: step %.2f s (download %.2f, MD5 %.2f, extraction %.2f, move %.2f, wake-ups %.2f); "
                "peer %.2f s (curl %.2f, md5sum %.2f, 7z x %.2f)\n",
                round + 1, seconds, parts.download, parts.digest, parts.extraction, parts.move, parts.wakeUps,
                peer.Total(), peer.curl, peer.md5, peer.extract);
    steps.emplace_back(seconds, parts);
  }
  if (getenv("KORVA_BENCH_SHOW_LOG")) std::printf("%s", tree.Log().c_str());

  // The median round of each side.
  auto byTime = [](const auto& a, const auto& b) { return a.first < b.first; };
  std::sort(steps.begin(), steps.end(), byTime);
  std::sort(peers.begin(), peers.end(), byTime);
  const double stepSeconds = steps[kRounds / 2].first;
  const StepParts& parts = steps[kRounds / 2].second;
  const bench::PeerTimes& peer = peers[kRounds / 2].second;
  std::printf("package: %.1f MB, %zu files (%.1f MB unpacked) over as many older files; median of %d rounds\n",
              packageMB, expected.size(), unpackedMB, kRounds);
  std::printf("updater main-package step: %.2f s (download %.2f s, MD5 check %.2f s, extraction %.2f s, "
              "move and clean-up %.2f s, the wait loop noticing a finished worker %.2f s)\n",
              stepSeconds, parts.download, parts.digest, parts.extraction, parts.move, parts.wakeUps);
  std::printf("curl -o + md5sum + 7z x: %.2f s (curl %.2f s, md5sum %.2f s, 7z x %.2f s)\n", peer.Total(), peer.curl,
              peer.md5, peer.extract);
  if (parts.download >= 0) {
    std::printf("without the download on either side: %.2f s against %.2f s, %.2fx\n", stepSeconds - parts.download,
                peer.md5 + peer.extract, (stepSeconds - parts.download) / (peer.md5 + peer.extract));
  }
  std::printf("ratio: %.2fx (goal: at most 2.0x)\n", stepSeconds / peer.Total());
  if (const char* summary = getenv("KORVA_BENCH_SUMMARY")) {
    if (FILE* out = std::fopen(summary, "w")) {
      std::fprintf(out, "%f %f %f\n", stepSeconds, peer.Total(), parts.move);
      std::fclose(out);
    }
  }
  return 0;
}

// Where the machine lives: in memory (/dev/shm, when it has room), where
// the file system's own work on a disk (allocating inodes among files deleted
// a moment ago, discarding freed blocks), which can swing either side by
// half, is left out; and on a disk, in KORVA_BENCH_DIR or else beside this
// program. Both sides use the same folder.
struct Place {
  const char* name;
  std::string dir;
};

std::vector<Place> MachinePlaces() {
  std::vector<Place> places;
  struct statvfs memory {};
  const unsigned long long needed = 4ull << 30;  // two packages, three trees and the peer's copies
  if (statvfs("/dev/shm", &memory) == 0 &&
      static_cast<unsigned long long>(memory.f_bavail) * memory.f_frsize >= needed) {
    places.push_back({"in memory", "/dev/shm"});
  } else {
    std::printf("/dev/shm has no room for the machine: in memory is left out\n");
  }
  const char* disk = getenv("KORVA_BENCH_DIR");
  places.push_back({"on disk", disk != nullptr ? disk : fs::read_symlink("/proc/self/exe").parent_path().string()});
  return places;
}

// One whole bench with the machine in place.dir: the step's and the peer's
// seconds and the step's move (with its flush), or nothing when it failed.
bool RunIn(const Place& place, double* step, double* peer, double* move) {
  setenv("TMPDIR", place.dir.c_str(), 1);
  testing_support::TempMachine machine;
  std::printf("\n== %s; machine directory: %s\n", place.name, machine.dir().c_str());
  std::fflush(stdout);
  const std::string dir = machine.dir() + updater_test::kInstallHost + "/update";
  fs::create_directories(dir);
  fs::copy_file("/proc/self/exe", dir + "/update.exe");
  const std::string summary = machine.dir() + "/summary.txt";
  setenv("KORVA_BENCH_SUMMARY", summary.c_str(), 1);
  const int code = bench::RunMarkedChild(dir + "/update.exe", updater_test::kChildMark);
  unsetenv("KORVA_BENCH_SUMMARY");
  std::fflush(stdout);
  if (code != 0) {
    std::fprintf(stderr, "the bench failed as the installed updater (%d)\n", code);
    return false;
  }
  FILE* in = std::fopen(summary.c_str(), "r");
  const bool read = in != nullptr && std::fscanf(in, "%lf %lf %lf", step, peer, move) == 3;
  if (in != nullptr) std::fclose(in);
  return read;
}

}  // namespace

int main() {
  if (getenv(updater_test::kChildMark)) return RunAsInstalledUpdater();
  std::vector<std::string> lines;
  for (const Place& place : MachinePlaces()) {
    double step = 0, peer = 0, move = 0;
    if (!RunIn(place, &step, &peer, &move)) return 1;
    char line[256];
    std::snprintf(line, sizeof(line), "%s: step %.2f s (move with its flush %.2f s), peer %.2f s, ratio %.2fx",
                  place.name, step, move, peer, step / peer);
    lines.push_back(line);
  }
  std::printf("\n");
  for (const std::string& line : lines) std::printf("%s\n", line.c_str());
  return 0;
}
