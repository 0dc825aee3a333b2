#include "support/stub_program.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace testing_support {
namespace fs = std::filesystem;

std::string StubProgram() { return std::string(KORVA_BUILD_DIR) + "/tests/korva_stub"; }

void InstallStub(const std::string& hostPath) {
  fs::create_directories(fs::path(hostPath).parent_path());
  fs::copy_file(StubProgram(), hostPath, fs::copy_options::overwrite_existing);
  fs::permissions(hostPath, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                fs::perms::others_read);
}

std::vector<Json::Value> StubRuns(const TempMachine& machine) {
  std::vector<Json::Value> runs;
  std::ifstream in(machine.dir() + "/stub-runs.jsonl");
  std::string line;
  Json::CharReaderBuilder builder;
  while (std::getline(in, line)) {
    Json::Value run;
    std::istringstream text(line);
    std::string errors;
    if (Json::parseFromStream(builder, text, &run, &errors)) runs.push_back(run);
  }
  return runs;
}

std::vector<Json::Value> WaitForStubRuns(const TempMachine& machine, size_t count, int timeoutMs) {
  std::vector<Json::Value> runs;
  WaitUntil([&] { return (runs = StubRuns(machine)).size() >= count; }, timeoutMs);
  return runs;
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace testing_support
