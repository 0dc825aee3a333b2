// A fresh machine directory for one test: WIN32_MACHINE points at it while
// the object lives, and it is removed afterwards.
#pragma once
#include <cstddef>
#include <string>

namespace testing_support {

class TempMachine {
 public:
  TempMachine();
  ~TempMachine();
  TempMachine(const TempMachine&) = delete;
  TempMachine& operator=(const TempMachine&) = delete;

  const std::string& dir() const { return dir_; }
  // Host folder of drive C: of this machine.
  std::string c() const { return dir_ + "/c"; }
  // Writes machine.json of this machine.
  void WriteConfig(const std::string& json) const;

 private:
  std::string dir_;
  std::string previous_;
  bool hadPrevious_ = false;
};

// A variable of this process's environment for the life of the object; the
// programs started meanwhile get it too.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::string& value);
  ~ScopedVariable();
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
};

// Small host file helpers for tests.
void WriteHostFile(const std::string& path, const std::string& content);
std::string ReadHostFile(const std::string& path);
bool HostExists(const std::string& path);
void MakeHostDirs(const std::string& path);
// Bytes that do not compress, so that an archive of them is about as large.
std::string NoiseBytes(size_t size, unsigned seed = 7);

}  // namespace testing_support
