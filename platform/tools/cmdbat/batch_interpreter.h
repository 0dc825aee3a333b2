// Runs the lines of a batch file: the commands that this system's programs
// write (echo, rem, ping and timeout as delays, copy, xcopy, del, md, rd,
// drive changes, cd, start, exit, set, pause) and programs, which are run
// and waited for as the command processor does.
#pragma once
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace cmdbat {

class Interpreter {
 public:
  // currentDir: Windows path of the starting directory; args[0] is %0.
  Interpreter(const std::wstring& currentDir, std::vector<std::wstring> args);

  // Runs the script text (ANSI code page); returns the exit code.
  int Run(const std::string& script);

  // Expands %0-%9, %*, %% and %NAME% in one line.
  std::wstring Expand(const std::wstring& line) const;

  // The current directory as a Windows path ("C:\", "C:\dir").
  std::wstring CurrentDirectory() const;
  // Maps a path of the script (absolute, drive-relative or relative) to a
  // full Windows path.
  std::wstring FullPath(const std::wstring& path) const;

 private:
  struct Output {
    FILE* out = stdout;
    FILE* err = stderr;
  };

  // Executes one expanded line; false stops the script.
  bool Execute(const std::wstring& line);
  bool Dispatch(const std::wstring& name, const std::wstring& rest, Output& output);

  void Echo(const std::wstring& rest, Output& output);
  void Delay(int seconds);
  void Ping(const std::vector<std::wstring>& args);
  void Timeout(const std::vector<std::wstring>& args);
  void Copy(const std::vector<std::wstring>& args, Output& output);
  void XCopy(const std::vector<std::wstring>& args, Output& output);
  void Delete(const std::vector<std::wstring>& args, Output& output);
  void MakeDir(const std::vector<std::wstring>& args, Output& output);
  void RemoveDir(const std::vector<std::wstring>& args, Output& output);
  void ChangeDir(const std::wstring& rest, Output& output);
  void ChangeDrive(wchar_t drive, Output& output);
  void Start(const std::wstring& rest, Output& output);
  void Set(const std::wstring& rest, Output& output);
  void RunProgram(const std::wstring& line, Output& output);

  // Host path of a script path; false (with a message) when it cannot map.
  bool HostPath(const std::wstring& path, std::string* host, Output& output);
  void Fail(Output& output, const std::wstring& message);
  // Runs `each` with every operand of a command that maps to a host path; a
  // command without operands is a syntax error.
  void ForEachOperand(const std::vector<std::wstring>& args, Output& output,
                      const std::function<void(const std::wstring& operand, const std::string& host)>& each);

  std::vector<std::wstring> args_;
  wchar_t drive_ = L'C';
  std::map<wchar_t, std::wstring> driveDirs_;  // per drive, as the command processor keeps them
  bool echo_ = true;
  int errorLevel_ = 0;
  int exitCode_ = 0;
};

// Splits command arguments at blanks outside double quotes and removes the
// quotes ("a b" c -> [a b], [c]).
std::vector<std::wstring> SplitArguments(const std::wstring& text);

}  // namespace cmdbat
