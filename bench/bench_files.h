// Helpers shared by the benchmarks.
#pragma once
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

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

}  // namespace bench
