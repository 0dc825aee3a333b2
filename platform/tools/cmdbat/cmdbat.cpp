// The machine's batch interpreter: runs a .bat/.cmd file (ANSI text) the
// way the Windows command processor would, with Windows paths mapped through
// the machine. ShellExecute starts it as `cmdbat <host path of script> args`.
#include <windows.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "batch_interpreter.h"
#include "internal/machine.h"
#include "internal/unicode.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: cmdbat <script> [arguments]\n");
    return 1;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    fprintf(stderr, "The batch file cannot be found.\n");
    return 1;
  }
  std::stringstream content;
  content << in.rdbuf();

  char cwd[4096];
  std::wstring currentDir = getcwd(cwd, sizeof(cwd)) ? win32::ToWindowsPath(cwd) : L"C:\\";
  std::vector<std::wstring> args{L"\"" + win32::ToWindowsPath(argv[1]) + L"\""};
  for (int i = 2; i < argc; ++i) {
    std::wstring arg = win32::Utf8ToWide(argv[i]);
    args.push_back(arg.find_first_of(L" \t") == std::wstring::npos ? arg : L"\"" + arg + L"\"");
  }

  cmdbat::Interpreter interpreter(currentDir, args);
  return interpreter.Run(content.str());
}
