// Runs the lines of a batch file as the command processor does: % expansion,
// then the command separators, carets, quotes, redirections, groups and IF
// (command_line.h); labels and GOTO; the commands that this system's
// programs write (echo, rem, set and set /a, ping and timeout as delays,
// copy, xcopy, type, del, md, rd, drive changes, cd, start, exit, pause);
// and programs, which are run and waited for. Files are reached through the
// machine's Win32 calls, so its rules on open and running files hold.
#pragma once
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "batch_text.h"
#include "command_line.h"

namespace cmdbat {

class Interpreter {
 public:
  // currentDir: Windows path of the starting directory; args[0] is %0.
  Interpreter(const std::wstring& currentDir, std::vector<std::wstring> args);

  // Runs the script text (ANSI code page); returns the exit code.
  int Run(const std::string& script);

  // The first reading of a line: %% %0-%9 %~f0 %* and %NAME%. False (with
  // the message) for a batch-parameter modifier the command processor
  // refuses, which ends the script.
  bool Expand(const std::wstring& line, std::wstring* out, std::wstring* error) const;

  // The current directory as a Windows path ("C:\", "C:\dir").
  std::wstring CurrentDirectory() const;
  // Maps a path of the script (absolute, drive-relative or relative, quoted
  // or not) to a full Windows path, "." and ".." resolved.
  std::wstring FullPath(const std::wstring& path) const;

 private:
  struct Output {
    Sink out{stdout, nullptr};
    Sink err{stderr, nullptr};
  };
  // What a command asks of the script.
  enum class Flow { kNext, kGoto, kEnd };

  Flow ExecuteNode(const Node& node, const Output& output);
  Flow ExecuteCommand(const Node& node, const Output& output);
  // Opens a command's redirections in order; false (message printed,
  // errorlevel 1) when one cannot be opened.
  bool OpenRedirects(const std::vector<Redirect>& redirects, Output* output, std::vector<HANDLE>* opened);
  Flow Dispatch(const std::wstring& name, const std::wstring& rest, const Output& output);
  bool Holds(const Condition& condition) const;
  bool FindLabel(const std::wstring& label);

  void Echo(const std::wstring& rest, const Output& output);
  void Delay(int seconds);
  void Ping(const std::vector<std::wstring>& args);
  void Timeout(const std::vector<std::wstring>& args);
  void Copy(const std::wstring& rest, const Output& output);
  void XCopy(const std::vector<std::wstring>& args, const Output& output);
  void Type(const std::vector<std::wstring>& args, const Output& output);
  void Delete(const std::vector<std::wstring>& args, const Output& output);
  void MakeDir(const std::vector<std::wstring>& args, const Output& output);
  void RemoveDir(const std::vector<std::wstring>& args, const Output& output);
  void Attrib(const std::vector<std::wstring>& args, const Output& output);
  void ChangeDir(const std::wstring& rest, const Output& output);
  void ChangeDrive(wchar_t drive, const Output& output);
  void Start(const std::wstring& rest, const Output& output);
  void Set(const std::wstring& rest, const Output& output);
  void RunProgram(const std::wstring& line, const Output& output);

  // The command's outcome: the errorlevel and whether && or || see a failure.
  void SetErrorLevel(int level);
  void Fail(const Output& output, const std::wstring& message);
  // Fails with the system's text for a Win32 error code.
  void FailWithError(const Output& output, DWORD error);

  // %n with the modifiers of %~dpn1 ("" for %~1).
  std::wstring Argument(size_t index, const std::wstring& modifiers) const;
  std::wstring Variable(const std::wstring& name) const;  // "" when unset
  void SetVariable(const std::wstring& name, const std::wstring& value);

  std::vector<std::wstring> args_;
  std::vector<std::wstring> lines_;
  size_t next_ = 0;      // the script line read next
  std::wstring label_;   // GOTO's target
  bool commandScript_ = false;  // a .cmd file: SET clears the errorlevel
  wchar_t drive_ = L'C';
  std::map<wchar_t, std::wstring> driveDirs_;  // per drive, as the command processor keeps them
  bool echo_ = true;
  int errorLevel_ = 0;
  bool failed_ = false;  // the last command failed
  bool exited_ = false;
  int exitCode_ = 0;
};

}  // namespace cmdbat
