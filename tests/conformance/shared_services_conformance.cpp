// Runs the shared services through their edge cases and prints what they
// did, one fact a line, so that the output of a build for Windows and of a
// build for this machine's platform can be compared line by line. It works
// in the current directory, which must be a fresh folder.
#include <cstdio>
#include <cstring>
#include <string>

#include "conformance/report.h"

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--wait") == 0) return conformance::WaitToBeEnded();

  WCHAR cwd[MAX_PATH] = {};
  DWORD length = GetCurrentDirectoryW(MAX_PATH, cwd);
  if (length == 0 || length >= MAX_PATH) {
    std::printf("no working folder\n");
    return 1;
  }
  std::wstring base(cwd, length);
  if (!base.empty() && base.back() == L'\\') base.pop_back();
  conformance::SetBase(base);
  WCHAR self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);

  conformance::ReportConstants();
  conformance::ReportText();
  conformance::ReportLog();
  conformance::ReportFileSystem();
  conformance::ReportSystemHelpers();
  conformance::ReportProcesses(self);
  conformance::ReportRegistry();
  conformance::ReportIniFile();
  conformance::ReportMd5();
  std::fflush(stdout);
  return 0;
}
