#include "batch_interpreter.h"

#include <windows.h>
#include <shellapi.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cwctype>
#include <filesystem>
#include <thread>

#include "internal/machine.h"
#include "internal/unicode.h"

namespace fs = std::filesystem;

namespace cmdbat {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

std::wstring Trim(const std::wstring& text) {
  size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && (IsBlank(text[e - 1]) || text[e - 1] == L'\r')) --e;
  return text.substr(b, e - b);
}

std::wstring Lower(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(towlower(c));
  return text;
}

std::wstring Unquote(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text)
    if (c != L'"') out += c;
  return out;
}

void Print(FILE* stream, const std::wstring& text) {
  std::string bytes = win32::WideToAnsi(text) + "\r\n";
  fwrite(bytes.data(), 1, bytes.size(), stream);
  fflush(stream);
}

bool IsOption(const std::wstring& arg) { return !arg.empty() && arg[0] == L'/'; }

std::vector<std::wstring> Operands(const std::vector<std::wstring>& args) {
  std::vector<std::wstring> out;
  for (const auto& a : args)
    if (!IsOption(a)) out.push_back(a);
  return out;
}

bool HasOption(const std::vector<std::wstring>& args, const wchar_t* option) {
  for (const auto& a : args)
    if (IsOption(a) && Lower(a) == option) return true;
  return false;
}

bool IsDir(const std::string& host) {
  std::error_code ec;
  return fs::is_directory(host, ec);
}

bool IsFile(const std::string& host) {
  std::error_code ec;
  return fs::is_regular_file(host, ec);
}

// Replaces the destination whole: a program that is still running keeps its
// old image, and readers never see a half-written file.
bool CopyOneFile(const std::string& from, const std::string& to) {
  const std::string temp = to + ".cmdbat-" + std::to_string(getpid());
  std::error_code ec;
  fs::copy_file(from, temp, fs::copy_options::overwrite_existing, ec);
  if (ec) {
    fs::remove(temp, ec);
    return false;
  }
  fs::rename(temp, to, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    return false;
  }
  return true;
}

// A line's redirections, removed from the command text.
struct Redirection {
  std::wstring outTarget;
  bool append = false;
  std::wstring errTarget;
  bool errToOut = false;
};

std::wstring TakeRedirections(const std::wstring& line, Redirection* redirection) {
  std::wstring command;
  bool quoted = false;
  size_t i = 0;
  while (i < line.size()) {
    wchar_t c = line[i];
    if (c == L'"') quoted = !quoted;
    if (quoted || c != L'>') {
      command += c;
      ++i;
      continue;
    }
    // "2>" and "1>" name a stream only as a word of their own ("127.0>nul"
    // is "127.0" sent to nul).
    int stream = 1;
    if (!command.empty() && (command.back() == L'1' || command.back() == L'2') &&
        (command.size() == 1 || IsBlank(command[command.size() - 2]))) {
      stream = command.back() - L'0';
      command.pop_back();
    }
    ++i;
    bool append = false;
    if (i < line.size() && line[i] == L'>') {
      append = true;
      ++i;
    }
    if (i + 1 < line.size() && line[i] == L'&' && iswdigit(line[i + 1])) {
      if (stream == 2 && line[i + 1] == L'1') redirection->errToOut = true;
      i += 2;
      continue;
    }
    while (i < line.size() && IsBlank(line[i])) ++i;
    std::wstring target;
    bool targetQuoted = false;
    while (i < line.size()) {
      wchar_t t = line[i];
      if (t == L'"') {
        targetQuoted = !targetQuoted;
      } else if (!targetQuoted && (IsBlank(t) || t == L'>' || t == L'<' || t == L'|' || t == L'&')) {
        break;
      } else {
        target += t;
      }
      ++i;
    }
    if (stream == 2) {
      redirection->errTarget = target;
    } else {
      redirection->outTarget = target;
      redirection->append = append;
    }
  }
  return command;
}

}  // namespace

std::vector<std::wstring> SplitArguments(const std::wstring& text) {
  std::vector<std::wstring> args;
  std::wstring current;
  bool quoted = false, any = false;
  for (wchar_t c : text) {
    if (c == L'"') {
      quoted = !quoted;
      any = true;
    } else if (!quoted && IsBlank(c)) {
      if (any) args.push_back(current);
      current.clear();
      any = false;
    } else {
      current += c;
      any = true;
    }
  }
  if (any) args.push_back(current);
  return args;
}

Interpreter::Interpreter(const std::wstring& currentDir, std::vector<std::wstring> args) : args_(std::move(args)) {
  std::wstring dir = currentDir;
  if (dir.size() >= 2 && dir[1] == L':') {
    drive_ = static_cast<wchar_t>(towupper(dir[0]));
    driveDirs_[drive_] = dir;
  }
}

std::wstring Interpreter::CurrentDirectory() const {
  auto it = driveDirs_.find(drive_);
  return it == driveDirs_.end() ? std::wstring(1, drive_) + L":\\" : it->second;
}

std::wstring Interpreter::FullPath(const std::wstring& rawPath) const {
  std::wstring path = Unquote(rawPath);
  for (auto& c : path)
    if (c == L'/') c = L'\\';
  if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') return path;
  auto join = [](std::wstring base, const std::wstring& rest) {
    if (base.empty() || base.back() != L'\\') base += L'\\';
    return base + rest;
  };
  if (path.size() >= 2 && path[1] == L':') {
    if (path.size() >= 3 && path[2] == L'\\') return path;
    wchar_t drive = static_cast<wchar_t>(towupper(path[0]));
    auto it = driveDirs_.find(drive);
    std::wstring base = it == driveDirs_.end() ? std::wstring(1, drive) + L":\\" : it->second;
    return join(base, path.substr(2));
  }
  if (!path.empty() && path[0] == L'\\') return std::wstring(1, drive_) + L":" + path;
  return join(CurrentDirectory(), path);
}

std::wstring Interpreter::Expand(const std::wstring& line) const {
  std::wstring out;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] != L'%' || i + 1 >= line.size()) {
      out += line[i];
      continue;
    }
    wchar_t next = line[i + 1];
    if (next == L'%') {
      out += L'%';
      ++i;
    } else if (iswdigit(next)) {
      size_t n = static_cast<size_t>(next - L'0');
      if (n < args_.size()) out += args_[n];
      ++i;
    } else if (next == L'*') {
      for (size_t a = 1; a < args_.size(); ++a) out += (a > 1 ? L" " : L"") + args_[a];
      ++i;
    } else {
      size_t close = line.find(L'%', i + 1);
      if (close == std::wstring::npos) {
        out += line.substr(i);  // a lone % stays
        break;
      }
      std::wstring name = line.substr(i + 1, close - i - 1);
      if (Lower(name) == L"errorlevel") {
        out += std::to_wstring(errorLevel_);
      } else if (Lower(name) == L"cd") {
        out += CurrentDirectory();
      } else if (const char* value = getenv(win32::WideToUtf8(name).c_str())) {
        out += win32::Utf8ToWide(value);
      }
      i = close;
    }
  }
  return out;
}

int Interpreter::Run(const std::string& script) {
  std::istringstream lines(script);
  std::string raw;
  while (std::getline(lines, raw)) {
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    if (!Execute(win32::AnsiToWide(raw))) break;
  }
  return exitCode_ != 0 ? exitCode_ : errorLevel_;
}

void Interpreter::Fail(Output& output, const std::wstring& message) {
  Print(output.err, message);
  errorLevel_ = 1;
}

bool Interpreter::HostPath(const std::wstring& path, std::string* host, Output& output) {
  DWORD error = 0;
  if (win32::ToHostPath(FullPath(path), host, &error)) return true;
  Fail(output, L"The system cannot find the path specified.");
  return false;
}

bool Interpreter::Execute(const std::wstring& rawLine) {
  std::wstring line = Trim(Expand(rawLine));
  bool quiet = false;
  while (!line.empty() && line[0] == L'@') {
    quiet = true;
    line = Trim(line.substr(1));
  }
  if (line.empty() || line[0] == L':') return true;  // labels and :: comments

  Redirection redirection;
  std::wstring command = Trim(TakeRedirections(line, &redirection));
  if (echo_ && !quiet) Print(stdout, CurrentDirectory() + L">" + line);

  Output output;
  FILE* opened[2] = {nullptr, nullptr};
  auto open = [&](const std::wstring& target, bool append) -> FILE* {
    if (Lower(target) == L"nul") return fopen("/dev/null", "w");
    std::string host;
    DWORD error = 0;
    if (!win32::ToHostPath(FullPath(target), &host, &error)) return nullptr;
    return fopen(host.c_str(), append ? "ab" : "wb");
  };
  if (!redirection.outTarget.empty()) {
    opened[0] = open(redirection.outTarget, redirection.append);
    if (opened[0]) output.out = opened[0];
  }
  if (redirection.errToOut) {
    output.err = output.out;
  } else if (!redirection.errTarget.empty()) {
    opened[1] = open(redirection.errTarget, false);
    if (opened[1]) output.err = opened[1];
  }

  // The command word ends at a blank; "cd.." and "cd\" are commands too.
  size_t end = 0;
  if (!command.empty() && command[0] == L'"') {
    end = command.find(L'"', 1);
    end = end == std::wstring::npos ? command.size() : end + 1;
  } else {
    while (end < command.size() && !IsBlank(command[end])) ++end;
  }
  std::wstring name = command.substr(0, end);
  std::wstring rest = Trim(command.substr(end));
  std::wstring lowered = Lower(name);
  bool goOn = true;
  if (command.empty()) {
  } else if (lowered.rfind(L"echo.", 0) == 0) {
    // "echo." prints what follows the dot, or an empty line.
    Print(output.out, command.substr(5));
  } else {
    if (lowered.rfind(L"cd", 0) == 0 && lowered.size() > 2 && (lowered[2] == L'.' || lowered[2] == L'\\')) {
      rest = Trim(name.substr(2) + L" " + rest);  // "cd.." and "cd\"
      name = name.substr(0, 2);
    }
    goOn = Dispatch(name, rest, output);
  }
  for (FILE* f : opened)
    if (f) fclose(f);
  return goOn;
}

bool Interpreter::Dispatch(const std::wstring& name, const std::wstring& rest, Output& output) {
  const std::wstring cmd = Lower(name);
  const std::vector<std::wstring> args = SplitArguments(rest);
  if (cmd.size() == 2 && cmd[1] == L':' && iswalpha(cmd[0]) && rest.empty()) {
    ChangeDrive(static_cast<wchar_t>(towupper(cmd[0])), output);
  } else if (cmd == L"rem") {
  } else if (cmd == L"echo") {
    Echo(rest, output);
  } else if (cmd == L"ping") {
    Ping(args);
  } else if (cmd == L"timeout") {
    Timeout(args);
  } else if (cmd == L"copy") {
    Copy(args, output);
  } else if (cmd == L"xcopy") {
    XCopy(args, output);
  } else if (cmd == L"del" || cmd == L"erase") {
    Delete(args, output);
  } else if (cmd == L"md" || cmd == L"mkdir") {
    MakeDir(args, output);
  } else if (cmd == L"rd" || cmd == L"rmdir") {
    RemoveDir(args, output);
  } else if (cmd == L"cd" || cmd == L"chdir") {
    ChangeDir(rest, output);
  } else if (cmd == L"start") {
    Start(rest, output);
  } else if (cmd == L"set") {
    Set(rest, output);
  } else if (cmd == L"pause") {
    Print(output.out, L"Press any key to continue . . . ");
    getchar();
  } else if (cmd == L"exit") {
    std::vector<std::wstring> operands = Operands(args);
    exitCode_ = operands.empty() ? errorLevel_ : static_cast<int>(wcstol(operands[0].c_str(), nullptr, 10));
    return false;
  } else {
    RunProgram(Trim(name + L" " + rest), output);
  }
  return true;
}

void Interpreter::Echo(const std::wstring& rest, Output& output) {
  const std::wstring word = Lower(rest);
  if (word == L"off") {
    echo_ = false;
  } else if (word == L"on") {
    echo_ = true;
  } else if (rest.empty()) {
    Print(output.out, echo_ ? L"ECHO is on." : L"ECHO is off.");
  } else {
    Print(output.out, rest);
  }
}

void Interpreter::Delay(int seconds) {
  if (seconds > 0) std::this_thread::sleep_for(std::chrono::seconds(seconds));
}

// ping sends one echo a second: -n N to the local host waits N-1 seconds.
void Interpreter::Ping(const std::vector<std::wstring>& args) {
  int count = 4;
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    std::wstring a = Lower(args[i]);
    if (a == L"-n" || a == L"/n") count = static_cast<int>(wcstol(args[i + 1].c_str(), nullptr, 10));
  }
  Delay(count - 1);
  errorLevel_ = 0;
}

void Interpreter::Timeout(const std::vector<std::wstring>& args) {
  for (size_t i = 0; i + 1 < args.size(); ++i)
    if (Lower(args[i]) == L"/t") Delay(static_cast<int>(wcstol(args[i + 1].c_str(), nullptr, 10)));
  errorLevel_ = 0;
}

void Interpreter::Copy(const std::vector<std::wstring>& args, Output& output) {
  std::vector<std::wstring> operands = Operands(args);
  if (operands.empty()) return Fail(output, L"The syntax of the command is incorrect.");
  std::string from, to;
  if (!HostPath(operands[0], &from, output)) return;
  if (!HostPath(operands.size() > 1 ? operands[1] : L".", &to, output)) return;
  if (!IsFile(from)) return Fail(output, L"The system cannot find the file specified.");
  if (IsDir(to)) to += "/" + fs::path(from).filename().string();
  if (!CopyOneFile(from, to)) return Fail(output, L"The system cannot find the path specified.");
  Print(output.out, L"        1 file(s) copied.");
  errorLevel_ = 0;
}

void Interpreter::XCopy(const std::vector<std::wstring>& args, Output& output) {
  std::vector<std::wstring> operands = Operands(args);
  if (operands.empty()) return Fail(output, L"Invalid number of parameters");
  std::string from, to;
  if (!HostPath(operands[0], &from, output)) return;
  const std::wstring destination = operands.size() > 1 ? operands[1] : L".";
  if (!HostPath(destination, &to, output)) return;
  std::error_code ec;
  int copied = 0;
  if (IsFile(from)) {
    bool intoDir = IsDir(to) || destination.back() == L'\\' || HasOption(args, L"/i");
    if (intoDir) to += "/" + fs::path(from).filename().string();
    fs::create_directories(fs::path(to).parent_path(), ec);
    if (!CopyOneFile(from, to)) return Fail(output, L"File creation error");
    copied = 1;
  } else if (IsDir(from)) {
    const bool recurse = HasOption(args, L"/s") || HasOption(args, L"/e");
    fs::create_directories(to, ec);
    auto copyDir = [&](auto&& self, const std::string& src, const std::string& dst) -> bool {
      std::error_code iterError;
      for (const auto& entry : fs::directory_iterator(src, iterError)) {
        const std::string target = dst + "/" + entry.path().filename().string();
        if (entry.is_directory()) {
          if (!recurse) continue;
          std::error_code mkError;
          fs::create_directories(target, mkError);
          if (!self(self, entry.path().string(), target)) return false;
        } else {
          if (!CopyOneFile(entry.path().string(), target)) return false;
          ++copied;
        }
      }
      return !iterError;
    };
    if (!copyDir(copyDir, from, to)) return Fail(output, L"File creation error");
  } else {
    return Fail(output, L"File not found - " + operands[0]);
  }
  Print(output.out, std::to_wstring(copied) + L" File(s) copied");
  errorLevel_ = 0;
}

void Interpreter::ForEachOperand(
    const std::vector<std::wstring>& args, Output& output,
    const std::function<void(const std::wstring& operand, const std::string& host)>& each) {
  std::vector<std::wstring> operands = Operands(args);
  if (operands.empty()) return Fail(output, L"The syntax of the command is incorrect.");
  for (const auto& operand : operands) {
    std::string host;
    if (HostPath(operand, &host, output)) each(operand, host);
  }
}

void Interpreter::Delete(const std::vector<std::wstring>& args, Output& output) {
  ForEachOperand(args, output, [&](const std::wstring& operand, const std::string& host) {
    std::error_code ec;
    if (IsDir(host)) {
      // del of a folder deletes the files in it.
      for (const auto& entry : fs::directory_iterator(host, ec))
        if (entry.is_regular_file()) fs::remove(entry.path(), ec);
    } else if (IsFile(host)) {
      if (!fs::remove(host, ec)) Fail(output, L"Access is denied.");
    } else {
      Print(output.err, L"Could Not Find " + FullPath(operand));
    }
  });
}

void Interpreter::MakeDir(const std::vector<std::wstring>& args, Output& output) {
  ForEachOperand(args, output, [&](const std::wstring& operand, const std::string& host) {
    std::error_code ec;
    if (fs::exists(host, ec)) {
      Fail(output, L"A subdirectory or file " + operand + L" already exists.");
    } else if (!fs::create_directories(host, ec)) {
      Fail(output, L"The system cannot find the path specified.");
    }
  });
}

void Interpreter::RemoveDir(const std::vector<std::wstring>& args, Output& output) {
  const bool tree = HasOption(args, L"/s");
  ForEachOperand(args, output, [&](const std::wstring&, const std::string& host) {
    std::error_code ec;
    if (!IsDir(host)) {
      Fail(output, L"The system cannot find the file specified.");
    } else if (tree) {
      fs::remove_all(host, ec);
      if (ec) Fail(output, L"Access is denied.");
    } else if (!fs::remove(host, ec)) {
      Fail(output, L"The directory is not empty.");
    }
  });
}

void Interpreter::ChangeDrive(wchar_t drive, Output& output) {
  std::string host;
  DWORD error = 0;
  if (!win32::ToHostPath(std::wstring(1, drive) + L":\\", &host, &error) || !IsDir(host))
    return Fail(output, L"The system cannot find the drive specified.");
  drive_ = drive;
  errorLevel_ = 0;
}

void Interpreter::ChangeDir(const std::wstring& rest, Output& output) {
  std::wstring target = rest;
  bool switchDrive = false;
  if (Lower(target).rfind(L"/d", 0) == 0 && (target.size() == 2 || IsBlank(target[2]))) {
    switchDrive = true;
    target = Trim(target.substr(2));
  }
  // The rest of the line is the path, blanks included.
  target = Trim(Unquote(target));
  if (target.empty()) {
    Print(output.out, CurrentDirectory());
    return;
  }
  std::string host;
  if (!HostPath(target, &host, output)) return;
  if (!IsDir(host)) return Fail(output, L"The system cannot find the path specified.");
  std::wstring full = win32::ToWindowsPath(host);
  if (full.size() >= 2 && full[1] == L':') {
    wchar_t drive = static_cast<wchar_t>(towupper(full[0]));
    driveDirs_[drive] = full;
    if (switchDrive || drive == drive_) drive_ = drive;
  }
  errorLevel_ = 0;
}

void Interpreter::Start(const std::wstring& rest, Output& output) {
  size_t i = 0;
  auto skipBlanks = [&] {
    while (i < rest.size() && IsBlank(rest[i])) ++i;
  };
  auto word = [&] {
    std::wstring w;
    if (i < rest.size() && rest[i] == L'"') {
      size_t close = rest.find(L'"', i + 1);
      if (close == std::wstring::npos) close = rest.size();
      w = rest.substr(i + 1, close - i - 1);
      i = std::min(rest.size(), close + 1);
    } else {
      while (i < rest.size() && !IsBlank(rest[i])) w += rest[i++];
    }
    return w;
  };
  skipBlanks();
  if (i < rest.size() && rest[i] == L'"') word();  // the first quoted text is the window title
  std::wstring directory = CurrentDirectory();
  bool wait = false;
  for (;;) {
    skipBlanks();
    if (i >= rest.size() || rest[i] != L'/') break;
    std::wstring option = Lower(word());
    if (option == L"/d") {
      skipBlanks();
      directory = FullPath(word());
    } else if (option == L"/wait") {
      wait = true;
    }
  }
  skipBlanks();
  if (i >= rest.size()) return;  // a new console window: nothing to do here
  std::wstring program = word();
  std::wstring parameters = Trim(rest.substr(i));
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpVerb = L"open";
  info.lpFile = program.c_str();
  info.lpParameters = parameters.c_str();
  info.lpDirectory = directory.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExW(&info)) return Fail(output, L"The system cannot find the file " + program + L".");
  if (info.hProcess) {
    if (wait) {
      WaitForSingleObject(info.hProcess, INFINITE);
      DWORD code = 0;
      GetExitCodeProcess(info.hProcess, &code);
      errorLevel_ = static_cast<int>(code);
    }
    CloseHandle(info.hProcess);
  }
  if (!wait) errorLevel_ = 0;
}

void Interpreter::Set(const std::wstring& rest, Output& output) {
  std::wstring assignment = Unquote(rest);
  size_t eq = assignment.find(L'=');
  if (eq == std::wstring::npos) {
    Print(output.out, L"Environment variable " + assignment + L" not defined");
    errorLevel_ = 1;
    return;
  }
  std::string name = win32::WideToUtf8(assignment.substr(0, eq));
  std::string value = win32::WideToUtf8(assignment.substr(eq + 1));
  if (value.empty())
    unsetenv(name.c_str());
  else
    setenv(name.c_str(), value.c_str(), 1);
}

// A program named on a line of its own runs to its end before the script
// goes on, as in the command processor.
void Interpreter::RunProgram(const std::wstring& line, Output& output) {
  size_t end;
  std::wstring program;
  if (line[0] == L'"') {
    end = line.find(L'"', 1);
    program = line.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
    end = end == std::wstring::npos ? line.size() : end + 1;
  } else {
    end = 0;
    while (end < line.size() && !IsBlank(line[end])) ++end;
    program = line.substr(0, end);
  }
  std::wstring parameters = Trim(line.substr(end));
  std::wstring directory = CurrentDirectory();
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpVerb = L"open";
  info.lpFile = program.c_str();
  info.lpParameters = parameters.c_str();
  info.lpDirectory = directory.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExW(&info)) {
    Print(output.err, L"'" + program + L"' is not recognized as an internal or external command,");
    Print(output.err, L"operable program or batch file.");
    errorLevel_ = 9009;
    return;
  }
  DWORD code = 0;
  if (info.hProcess) {
    WaitForSingleObject(info.hProcess, INFINITE);
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hProcess);
  }
  errorLevel_ = static_cast<int>(code);
}

}  // namespace cmdbat
