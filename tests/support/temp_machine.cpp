#include "support/temp_machine.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {
namespace fs = std::filesystem;

TempMachine::TempMachine() {
  const char* prev = getenv("WIN32_MACHINE");
  if (prev) {
    hadPrevious_ = true;
    previous_ = prev;
  }
  std::string tmpl = (fs::temp_directory_path() / "korva-machine-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  dir_ = tmpl;
  fs::create_directories(dir_ + "/c");
  setenv("WIN32_MACHINE", dir_.c_str(), 1);
}

TempMachine::~TempMachine() {
  if (hadPrevious_)
    setenv("WIN32_MACHINE", previous_.c_str(), 1);
  else
    unsetenv("WIN32_MACHINE");
  std::error_code ec;
  // Read-only bits left by tests must not stop the clean-up.
  for (auto it = fs::recursive_directory_iterator(dir_, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(dir_, ec);
}

void TempMachine::WriteConfig(const std::string& json) const { WriteHostFile(dir_ + "/machine.json", json); }

void WriteHostFile(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool HostExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

void MakeHostDirs(const std::string& path) { fs::create_directories(path); }

std::string NoiseBytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  unsigned state = seed;
  for (char& c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

ScopedVariable::ScopedVariable(const char* name, const std::string& value) : name_(name) {
  setenv(name, value.c_str(), 1);
}

ScopedVariable::~ScopedVariable() { unsetenv(name_); }

}  // namespace testing_support
