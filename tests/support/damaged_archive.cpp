#include "support/damaged_archive.h"

#include <stdio.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

namespace testing_support {

namespace {

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

// Standard output and error of a 7z tool run, and its exit code.
std::string RunTool(const std::string& arguments, int* code) {
  std::string output;
  FILE* pipe = popen(("LC_ALL=C.UTF-8 7z " + arguments + " 2>&1").c_str(), "r");
  if (!pipe) return output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, n);
  const int status = pclose(pipe);
  *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return output;
}

// Offset and length of the packed stream that starts with `item`, from the
// tool's technical listing: packed streams follow the 32-byte signature
// header in the order in which their first items are listed.
bool FindPackedStream(const std::string& archive, const std::string& item, long long* offset,
                      long long* length) {
  int code = -1;
  std::istringstream lines(RunTool("l -slt " + Quoted(archive), &code));
  if (code != 0) return false;
  std::string line;
  bool inItems = false;
  std::string path;
  long long position = 32;
  while (std::getline(lines, line)) {
    if (line == "----------") inItems = true;
    if (!inItems) continue;
    if (line.rfind("Path = ", 0) == 0) path = line.substr(7);
    if (line.rfind("Packed Size = ", 0) != 0 || line.size() == 14) continue;
    const long long size = std::stoll(line.substr(14));
    if (path == item && size > 0) {
      *offset = position;
      *length = size;
      return true;
    }
    position += size;
  }
  return false;
}

}  // namespace

std::vector<std::string> DamagePackedData(const std::string& archive, const std::string& item) {
  std::vector<std::string> damaged;
  long long offset = 0;
  long long length = 0;
  if (!FindPackedStream(archive, item, &offset, &length)) return damaged;
  {
    std::fstream file(archive, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(offset + length / 2);
    const int byte = file.get();
    if (byte == EOF) return damaged;
    file.seekp(offset + length / 2);
    file.put(static_cast<char>(byte ^ 0x5A));
    if (!file) return damaged;
  }
  int code = -1;
  std::istringstream lines(RunTool("t " + Quoted(archive), &code));
  std::string line;
  std::vector<std::string> reported;
  bool headersBroken = false;
  while (std::getline(lines, line)) {
    for (const char* kind : {"ERROR: Data Error : ", "ERROR: CRC Failed : "}) {
      const std::string prefix(kind);
      if (line.rfind(prefix, 0) == 0) reported.push_back(line.substr(prefix.size()));
    }
    if (line.find("Headers Error") != std::string::npos || line.find("Can not open") != std::string::npos) {
      headersBroken = true;
    }
  }
  // The tool ends with 2 (fatal error) for a damaged archive.
  if (code == 2 && !headersBroken) damaged = reported;
  return damaged;
}

}  // namespace testing_support
