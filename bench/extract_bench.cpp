// Extraction of a 256 MB archive through SevenZipExtractor against the 7z
// tool's own "7z x" of the same archive, measured in the same run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "internal/machine.h"
#include "shared/seven_zip_extractor.h"
#include "support/temp_machine.h"

namespace {

const int kRounds = 5;

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Eight files of random bytes (256 MB, which do not compress) and two of
// repetitive text (64 MB), so that the library both copies stored chunks and
// decodes LZMA2: a 256 MB archive.
void WriteSources(const std::string& dir) {
  std::filesystem::create_directories(dir + "/data/text");
  std::mt19937_64 generator(42);
  std::string block(1 << 20, '\0');
  for (int file = 0; file < 10; ++file) {
    const bool random = file < 8;
    std::ofstream out(dir + (random ? "/data/blob" : "/data/text/part") + std::to_string(file) + ".bin",
                      std::ios::binary);
    for (int mb = 0; mb < 32; ++mb) {
      if (random) {
        for (size_t i = 0; i + 8 <= block.size(); i += 8) {
          const uint64_t v = generator();
          std::memcpy(&block[i], &v, 8);
        }
      } else {
        for (size_t i = 0; i < block.size(); ++i) block[i] = "korva delivery line of text\n"[(i + mb) % 28];
        block[generator() % block.size()] = static_cast<char>('A' + file);
      }
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
}

bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

int main() {
  testing_support::TempMachine machine;
  const std::string work = machine.c() + "/bench";
  WriteSources(work);
  if (!Run("cd '" + work + "' && 7z a -bd package.7z data")) {
    std::fprintf(stderr, "7z a failed\n");
    return 1;
  }
  std::printf("archive: %.1f MB packed, 320 MB unpacked\n",
              static_cast<double>(std::filesystem::file_size(work + "/package.7z")) / (1 << 20));

  SevenZip::SevenZipModule module;
  try {
    module.Load(win32::ToWindowsPath(KORVA_DIST_DIR "/7z.dll"));
  } catch (const SevenZip::SevenZipException& e) {
    std::fprintf(stderr, "%ls\n", e.message.c_str());
    return 1;
  }

  double bestTool = 1e9, bestOurs = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    std::filesystem::remove_all(work + "/tool");
    Run("sync");  // the previous round's write-back must not land in this one
    auto start = std::chrono::steady_clock::now();
    if (!Run("7z x -bd -y -o'" + work + "/tool' '" + work + "/package.7z'")) {
      std::fprintf(stderr, "7z x failed\n");
      return 1;
    }
    bestTool = std::min(bestTool, Seconds(start));

    std::filesystem::remove_all(work + "/ours");
    Run("sync");
    start = std::chrono::steady_clock::now();
    try {
      SevenZip::SevenZipExtractor extractor(&module, L"C:\\bench\\package.7z", SevenZip::ArchiveFormat::SevenZ);
      extractor.Extract(L"C:\\bench\\ours", nullptr);
    } catch (const SevenZip::SevenZipException& e) {
      std::fprintf(stderr, "%ls\n", e.message.c_str());
      return 1;
    }
    bestOurs = std::min(bestOurs, Seconds(start));
  }

  std::printf("7z x:              %.3f s\n", bestTool);
  std::printf("SevenZipExtractor: %.3f s\n", bestOurs);
  std::printf("ratio: %.2fx (goal: at most 1.10x)\n", bestOurs / bestTool);
  return 0;
}
