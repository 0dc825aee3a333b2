#include "batch_interpreter.h"

#include <windows.h>
#include <shellapi.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cwctype>
#include <thread>

#include "internal/machine.h"
#include "internal/unicode.h"
#include "set_arithmetic.h"

extern char** environ;

namespace cmdbat {
namespace {

const wchar_t kSyntaxError[] = L"The syntax of the command is incorrect.";

// The errorlevel the command processor leaves after a line it cannot parse.
constexpr int kSyntaxErrorLevel = 255;

bool IsNumber(const std::wstring& text, long* value) {
  if (text.empty()) return false;
  wchar_t* end = nullptr;
  *value = wcstol(text.c_str(), &end, 0);
  return *end == 0;
}

}  // namespace

Interpreter::Interpreter(const std::wstring& currentDir, std::vector<std::wstring> args) : args_(std::move(args)) {
  std::wstring dir = currentDir;
  if (dir.size() >= 2 && dir[1] == L':') {
    drive_ = static_cast<wchar_t>(towupper(dir[0]));
    driveDirs_[drive_] = dir;
  }
  const std::wstring script = args_.empty() ? L"" : Lower(Unquote(args_[0]));
  commandScript_ = script.size() >= 4 && script.compare(script.size() - 4, 4, L".cmd") == 0;
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
  std::wstring full;
  if (path.size() >= 2 && path[1] == L':') {
    wchar_t drive = static_cast<wchar_t>(towupper(path[0]));
    if (path.size() >= 3 && path[2] == L'\\') {
      full = path;
    } else {
      auto it = driveDirs_.find(drive);
      full = join(it == driveDirs_.end() ? std::wstring(1, drive) + L":\\" : it->second, path.substr(2));
    }
  } else if (!path.empty() && path[0] == L'\\') {
    full = std::wstring(1, drive_) + L":" + path;
  } else {
    full = join(CurrentDirectory(), path);
  }
  // "." and ".." go, as GetFullPathName takes them; a trailing backslash stays.
  std::vector<std::wstring> parts;
  size_t at = 3;
  while (at <= full.size()) {
    size_t sep = full.find(L'\\', at);
    if (sep == std::wstring::npos) sep = full.size();
    const std::wstring part = full.substr(at, sep - at);
    if (part == L"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != L".") {
      parts.push_back(part);
    }
    at = sep + 1;
  }
  std::wstring out = full.substr(0, 3);
  for (size_t i = 0; i < parts.size(); ++i) out += (i ? L"\\" : L"") + parts[i];
  if (!parts.empty() && full.back() == L'\\') out += L'\\';
  return out;
}

std::wstring Interpreter::Variable(const std::wstring& name) const {
  for (char** entry = environ; entry && *entry; ++entry) {
    const char* eq = strchr(*entry, '=');
    if (!eq || eq == *entry) continue;
    if (win32::EqualsNoCase(win32::Utf8ToWide(std::string(*entry, static_cast<size_t>(eq - *entry))), name))
      return win32::Utf8ToWide(eq + 1);
  }
  return L"";
}

// Names are the same whatever their case, as in a Windows environment; an
// empty value removes the variable.
void Interpreter::SetVariable(const std::wstring& name, const std::wstring& value) {
  std::vector<std::string> spellings;
  for (char** entry = environ; entry && *entry; ++entry) {
    const char* eq = strchr(*entry, '=');
    if (!eq || eq == *entry) continue;
    std::string spelling(*entry, static_cast<size_t>(eq - *entry));
    if (win32::EqualsNoCase(win32::Utf8ToWide(spelling), name)) spellings.push_back(spelling);
  }
  for (const std::string& spelling : spellings) unsetenv(spelling.c_str());
  if (!value.empty()) setenv(win32::WideToUtf8(name).c_str(), win32::WideToUtf8(value).c_str(), 1);
}

std::wstring Interpreter::Argument(size_t index, const std::wstring& modifiers) const {
  std::wstring arg = index < args_.size() ? args_[index] : L"";
  if (!arg.empty() && arg.front() == L'"') arg.erase(0, 1);
  if (!arg.empty() && arg.back() == L'"') arg.pop_back();
  if (arg.empty() || modifiers.empty()) return arg;
  const std::wstring full = FullPath(arg);
  const bool d = modifiers.find(L'd') != std::wstring::npos, p = modifiers.find(L'p') != std::wstring::npos,
             n = modifiers.find(L'n') != std::wstring::npos, x = modifiers.find(L'x') != std::wstring::npos;
  if (!d && !p && !n && !x) return full;  // f (s: short names are the long ones here)
  const size_t sep = full.rfind(L'\\');
  const std::wstring name = full.substr(sep + 1);
  const size_t dot = name.rfind(L'.');
  std::wstring out;
  if (d) out += full.substr(0, 2);
  if (p) out += full.substr(2, sep - 1);
  if (n) out += name.substr(0, dot);
  if (x && dot != std::wstring::npos) out += name.substr(dot);
  return out;
}

// In a batch file an unset %NAME% expands to nothing, and a % that no
// second % closes is dropped.
bool Interpreter::Expand(const std::wstring& line, std::wstring* out, std::wstring* error) const {
  out->clear();
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] != L'%') {
      *out += line[i];
      continue;
    }
    if (i + 1 >= line.size()) break;
    const wchar_t next = line[i + 1];
    if (next == L'%') {
      *out += L'%';
      ++i;
    } else if (iswdigit(next)) {
      const size_t index = static_cast<size_t>(next - L'0');
      if (index < args_.size()) *out += args_[index];
      ++i;
    } else if (next == L'*') {
      for (size_t a = 1; a < args_.size(); ++a) *out += (a > 1 ? L" " : L"") + args_[a];
      ++i;
    } else if (next == L'~') {
      size_t j = i + 2;
      std::wstring modifiers;
      while (j < line.size() && line[j] != 0 && wcschr(L"fdpnxs", towlower(line[j]))) modifiers += towlower(line[j++]);
      if (j >= line.size() || !iswdigit(line[j])) {
        *error = L"The following usage of the path operator in batch-parameter substitution is invalid: " +
                 line.substr(i) + L"\r\n\r\nFor valid formats type CALL /? or FOR /?";
        return false;
      }
      *out += Argument(static_cast<size_t>(line[j] - L'0'), modifiers);
      i = j;
    } else {
      const size_t close = line.find(L'%', i + 1);
      if (close == std::wstring::npos) continue;  // a lone % goes
      const std::wstring name = line.substr(i + 1, close - i - 1);
      std::wstring value = Variable(name);
      if (value.empty() && Lower(name) == L"errorlevel") value = std::to_wstring(errorLevel_);
      if (value.empty() && Lower(name) == L"cd") value = CurrentDirectory();
      *out += value;
      i = close;
    }
  }
  return true;
}

int Interpreter::Run(const std::string& script) {
  // Lines end at LF; the command processor drops every CR.
  lines_.clear();
  std::string raw;
  for (char c : script) {
    if (c == '\n') {
      lines_.push_back(win32::AnsiToWide(raw));
      raw.clear();
    } else if (c != '\r') {
      raw += c;
    }
  }
  if (!raw.empty()) lines_.push_back(win32::AnsiToWide(raw));

  const Output console;
  next_ = 0;
  while (!exited_ && next_ < lines_.size()) {
    const std::wstring& line = lines_[next_++];
    const std::wstring head = Trim(line);
    if (head.empty() || head[0] == L':') continue;  // labels and :: comments

    std::wstring expanded, error;
    bool expansionFailed = !Expand(line, &expanded, &error);
    LineParser parser(expanded, [&](std::wstring* more) {
      if (expansionFailed || next_ >= lines_.size()) return false;
      expansionFailed = !Expand(lines_[next_++], more, &error);
      return !expansionFailed;
    });
    std::unique_ptr<Node> node;
    if (!expansionFailed) node = parser.Parse(&error);
    if (!node) {
      Print(console.err, error);
      SetErrorLevel(expansionFailed ? 1 : kSyntaxErrorLevel);
      break;
    }
    const std::wstring shown = Trim(expanded);
    if (echo_ && (shown.empty() || shown[0] != L'@')) Print(console.out, CurrentDirectory() + L">" + shown);

    const Flow flow = ExecuteNode(*node, console);
    if (flow == Flow::kEnd) break;
    if (flow == Flow::kGoto && !FindLabel(label_)) {
      Print(console.err, L"The system cannot find the batch label specified - " + label_);
      SetErrorLevel(1);
      break;
    }
  }
  return exited_ ? exitCode_ : errorLevel_;
}

// The label is looked for after the current line first, then from the top.
bool Interpreter::FindLabel(const std::wstring& label) {
  auto isLabel = [&](const std::wstring& line) {
    const std::wstring text = Trim(line);
    if (text.empty() || text[0] != L':') return false;
    size_t end = 1;
    while (end < text.size() && !IsBlank(text[end])) ++end;
    return win32::EqualsNoCase(text.substr(1, end - 1), label);
  };
  const size_t from = next_;
  for (size_t i = 0; i < lines_.size(); ++i) {
    const size_t at = (from + i) % lines_.size();
    if (isLabel(lines_[at])) {
      next_ = at + 1;
      return true;
    }
  }
  return false;
}

void Interpreter::SetErrorLevel(int level) {
  errorLevel_ = level;
  failed_ = level != 0;
}

void Interpreter::Fail(const Output& output, const std::wstring& message) {
  Print(output.err, message);
  SetErrorLevel(1);
}

void Interpreter::FailWithError(const Output& output, DWORD error) { Fail(output, SystemMessage(error)); }

Interpreter::Flow Interpreter::ExecuteNode(const Node& node, const Output& output) {
  switch (node.kind) {
    case Node::Kind::kCommand:
      return ExecuteCommand(node, output);
    case Node::Kind::kGroup: {
      Output redirected = output;
      std::vector<HANDLE> opened;
      Flow flow = Flow::kNext;
      if (OpenRedirects(node.redirects, &redirected, &opened)) flow = ExecuteNode(*node.first, redirected);
      for (HANDLE handle : opened) CloseHandle(handle);
      return flow;
    }
    case Node::Kind::kIf:
      if (Holds(node.condition)) return ExecuteNode(*node.first, output);
      return node.second ? ExecuteNode(*node.second, output) : Flow::kNext;
    case Node::Kind::kSequence: {
      const Flow flow = ExecuteNode(*node.first, output);
      return flow == Flow::kNext ? ExecuteNode(*node.second, output) : flow;
    }
    case Node::Kind::kAnd:
    case Node::Kind::kOr: {
      const Flow flow = ExecuteNode(*node.first, output);
      if (flow != Flow::kNext || failed_ != (node.kind == Node::Kind::kOr)) return flow;
      return ExecuteNode(*node.second, output);
    }
    case Node::Kind::kPipe: {
      // No command here reads its input: the left side's output goes.
      Output left = output;
      left.out = Sink{};
      const Flow flow = ExecuteNode(*node.first, left);
      return flow == Flow::kNext ? ExecuteNode(*node.second, output) : flow;
    }
  }
  return Flow::kNext;
}

bool Interpreter::OpenRedirects(const std::vector<Redirect>& redirects, Output* output, std::vector<HANDLE>* opened) {
  const Output before = *output;
  for (const Redirect& redirect : redirects) {
    Sink* sink = redirect.stream == 1 ? &output->out : redirect.stream == 2 ? &output->err : nullptr;
    if (redirect.duplicateOf >= 0) {
      const Sink* from = redirect.duplicateOf == 1 ? &output->out : redirect.duplicateOf == 2 ? &output->err : nullptr;
      if (sink && from) *sink = *from;
      continue;
    }
    Sink target;
    if (!IsNulDevice(redirect.target)) {
      const std::wstring path = FullPath(redirect.target);
      // Through the file API, so that a file another program holds (or
      // runs from) refuses, as it does to the command processor.
      HANDLE file = redirect.stream == 0
                        ? CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                        : CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      redirect.append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) {
        FailWithError(before, GetLastError());
        return false;
      }
      if (redirect.append) SetFilePointer(file, 0, nullptr, FILE_END);
      opened->push_back(file);
      target.file = file;
    }
    if (sink) *sink = target;  // input and the streams 3-9 are opened only
  }
  return true;
}

Interpreter::Flow Interpreter::ExecuteCommand(const Node& node, const Output& output) {
  failed_ = false;
  Output redirected = output;
  std::vector<HANDLE> opened;
  Flow flow = Flow::kNext;
  size_t start = 0;
  while (start < node.text.size() && IsBlank(node.text[start])) ++start;
  const std::wstring command = node.text.substr(start);
  if (OpenRedirects(node.redirects, &redirected, &opened) && !command.empty() && command[0] != L':') {
    // The command word ends at a blank; "echo." "cd.." and "cd\" are commands too.
    size_t end = 0;
    if (command[0] == L'"') {
      end = command.find(L'"', 1);
      end = end == std::wstring::npos ? command.size() : end + 1;
    } else {
      while (end < command.size() && !IsBlank(command[end])) ++end;
    }
    std::wstring name = command.substr(0, end);
    std::wstring rest = command.substr(end);
    const std::wstring lowered = Lower(name);
    if (lowered.size() > 4 && lowered.compare(0, 4, L"echo") == 0 && wcschr(L".:(;,=+[]\\", lowered[4])) {
      // "echo." prints what follows the dot, or an empty line.
      Print(redirected.out, command.substr(5));
    } else {
      if (lowered.rfind(L"cd", 0) == 0 && lowered.size() > 2 && (lowered[2] == L'.' || lowered[2] == L'\\')) {
        rest = name.substr(2) + L" " + rest;  // "cd.." and "cd\"
        name = name.substr(0, 2);
      }
      flow = Dispatch(name, rest, redirected);
    }
  }
  for (HANDLE handle : opened) CloseHandle(handle);
  return flow;
}

// rest: what follows the command word, blanks included (echo and set keep them).
Interpreter::Flow Interpreter::Dispatch(const std::wstring& name, const std::wstring& rest, const Output& output) {
  const std::wstring cmd = Lower(name);
  const std::wstring tail = Trim(rest);
  const std::vector<std::wstring> args = SplitArguments(tail);
  if (cmd.size() == 2 && cmd[1] == L':' && iswalpha(cmd[0]) && tail.empty()) {
    ChangeDrive(static_cast<wchar_t>(towupper(cmd[0])), output);
  } else if (cmd == L"rem") {
  } else if (cmd == L"echo") {
    Echo(rest, output);
  } else if (cmd == L"ping") {
    Ping(args);
  } else if (cmd == L"timeout") {
    Timeout(args);
  } else if (cmd == L"copy") {
    Copy(tail, output);
  } else if (cmd == L"xcopy") {
    XCopy(args, output);
  } else if (cmd == L"type") {
    Type(args, output);
  } else if (cmd == L"del" || cmd == L"erase") {
    Delete(args, output);
  } else if (cmd == L"attrib") {
    // A program of the system on Windows; the machine has none, so it is
    // served here, as ping and xcopy are.
    Attrib(args, output);
  } else if (cmd == L"md" || cmd == L"mkdir") {
    MakeDir(args, output);
  } else if (cmd == L"rd" || cmd == L"rmdir") {
    RemoveDir(args, output);
  } else if (cmd == L"cd" || cmd == L"chdir") {
    ChangeDir(tail, output);
  } else if (cmd == L"start") {
    Start(tail, output);
  } else if (cmd == L"set") {
    Set(rest.substr(std::min(rest.size(), rest.find_first_not_of(L" \t"))), output);
  } else if (cmd == L"goto") {
    std::wstring label = tail.substr(0, std::min(tail.size(), tail.find_first_of(L" \t")));
    if (Lower(label) == L":eof") return Flow::kEnd;
    if (!label.empty() && label[0] == L':') label.erase(0, 1);
    if (label.empty()) {
      Fail(output, L"No batch label specified to GOTO command.");
      return Flow::kEnd;
    }
    label_ = label;
    return Flow::kGoto;
  } else if (cmd == L"pause") {
    Print(output.out, L"Press any key to continue . . . ");
    getchar();
  } else if (cmd == L"exit") {
    std::vector<std::wstring> operands = Operands(args);
    exitCode_ = operands.empty() ? errorLevel_ : static_cast<int>(wcstol(operands[0].c_str(), nullptr, 10));
    SetErrorLevel(exitCode_);
    exited_ = true;
    return Flow::kEnd;
  } else {
    RunProgram(Trim(name + L" " + rest), output);
  }
  return Flow::kNext;
}

bool Interpreter::Holds(const cmdbat::Condition& condition) const {
  bool holds = false;
  switch (condition.kind) {
    case Condition::Kind::kExist: {
      const std::wstring path = FullPath(condition.left);
      if (IsNulDevice(condition.left)) {
        holds = true;
      } else if (path.find_first_of(L"*?") != std::wstring::npos) {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW(path.c_str(), &data);
        holds = find != INVALID_HANDLE_VALUE;
        if (holds) FindClose(find);
      } else {
        holds = GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
      }
      break;
    }
    case Condition::Kind::kErrorLevel:
      holds = errorLevel_ >= wcstol(condition.left.c_str(), nullptr, 10);
      break;
    case Condition::Kind::kDefined:
      holds = !Variable(condition.left).empty();
      break;
    case Condition::Kind::kCompare: {
      const std::wstring& a = condition.left;
      const std::wstring& b = condition.right;
      if (condition.op == L"==") {
        holds = condition.ignoreCase ? win32::EqualsNoCase(a, b) : a == b;
        break;
      }
      // Numbers compare as numbers (decimal, 0x hex, 0 octal), other text as text.
      long x = 0, y = 0;
      int order;
      if (IsNumber(a, &x) && IsNumber(b, &y)) {
        order = x < y ? -1 : x > y ? 1 : 0;
      } else {
        std::wstring left = a, right = b;
        if (condition.ignoreCase) {
          for (auto& c : left) c = win32::FoldCase(c);
          for (auto& c : right) c = win32::FoldCase(c);
        }
        order = left.compare(right);
      }
      const std::wstring& op = condition.op;
      holds = op == L"equ"   ? order == 0
              : op == L"neq" ? order != 0
              : op == L"lss" ? order < 0
              : op == L"leq" ? order <= 0
              : op == L"gtr" ? order > 0
                             : order >= 0;
      break;
    }
  }
  return holds != condition.negate;
}

void Interpreter::Echo(const std::wstring& rest, const Output& output) {
  const std::wstring word = Lower(Trim(rest));
  if (word == L"off") {
    echo_ = false;
  } else if (word == L"on") {
    echo_ = true;
  } else if (word.empty()) {
    Print(output.out, echo_ ? L"ECHO is on." : L"ECHO is off.");
  } else {
    Print(output.out, rest.substr(1));  // all after the blank that ends "echo", trailing blanks too
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
  SetErrorLevel(0);
}

void Interpreter::Timeout(const std::vector<std::wstring>& args) {
  for (size_t i = 0; i + 1 < args.size(); ++i)
    if (Lower(args[i]) == L"/t") Delay(static_cast<int>(wcstol(args[i + 1].c_str(), nullptr, 10)));
  SetErrorLevel(0);
}

void Interpreter::ChangeDrive(wchar_t drive, const Output& output) {
  const std::wstring root = std::wstring(1, drive) + L":\\";
  const DWORD attributes = GetFileAttributesW(root.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return Fail(output, L"The system cannot find the drive specified.");
  drive_ = drive;
  SetErrorLevel(0);
}

// The rest of the line is the path, blanks included: unquoted, "&" has split
// it already and "^" has gone.
void Interpreter::ChangeDir(const std::wstring& rest, const Output& output) {
  std::wstring target = rest;
  bool switchDrive = false;
  if (Lower(target).rfind(L"/d", 0) == 0 && (target.size() == 2 || IsBlank(target[2]))) {
    switchDrive = true;
    target = Trim(target.substr(2));
  }
  target = Trim(Unquote(target));
  if (target.empty()) {
    Print(output.out, CurrentDirectory());
    return;
  }
  const std::wstring full = FullPath(target);
  const DWORD attributes = GetFileAttributesW(full.c_str());
  std::string host;
  DWORD error = 0;
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      !win32::ToHostPath(full, &host, &error))
    return Fail(output, SystemMessage(ERROR_PATH_NOT_FOUND));
  // The folder's own spelling, as the command processor shows it.
  const std::wstring spelled = win32::ToWindowsPath(host);
  if (spelled.size() >= 2 && spelled[1] == L':') {
    wchar_t drive = static_cast<wchar_t>(towupper(spelled[0]));
    driveDirs_[drive] = spelled;
    if (switchDrive || drive == drive_) drive_ = drive;
  }
  SetErrorLevel(0);
}

void Interpreter::Start(const std::wstring& rest, const Output& output) {
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
  DWORD code = 0;
  if (info.hProcess) {
    if (wait) {
      WaitForSingleObject(info.hProcess, INFINITE);
      GetExitCodeProcess(info.hProcess, &code);
    }
    CloseHandle(info.hProcess);
  }
  SetErrorLevel(static_cast<int>(code));
}

// set name=value keeps the value as written, trailing blanks and quotes
// too; set "name=value" takes what lies between the first and the last quote.
void Interpreter::Set(const std::wstring& rest, const Output& output) {
  const std::wstring lowered = Lower(rest);
  if (lowered.rfind(L"/a", 0) == 0 && (rest.size() == 2 || IsBlank(rest[2]) || rest[2] == L'"')) {
    Variables variables{[this](const std::wstring& name) { return Variable(name); },
                        [this](const std::wstring& name, const std::wstring& value) { SetVariable(name, value); }};
    int32_t result = 0;
    std::wstring error;
    if (!EvaluateArithmetic(rest.substr(2), variables, &result, &error)) return Fail(output, error);
    if (commandScript_) SetErrorLevel(0);
    return;
  }
  std::wstring assignment = rest;
  if (!assignment.empty() && assignment[0] == L'"') {
    const size_t last = assignment.rfind(L'"');
    assignment = last == 0 ? assignment.substr(1) : assignment.substr(1, last - 1);
  }
  if (Trim(assignment).empty()) {
    std::vector<std::string> all;
    for (char** entry = environ; entry && *entry; ++entry) all.push_back(*entry);
    std::sort(all.begin(), all.end());
    for (const std::string& entry : all) Print(output.out, win32::Utf8ToWide(entry));
    return;
  }
  const size_t eq = assignment.find(L'=');
  if (eq == std::wstring::npos) {
    const std::wstring prefix = Trim(assignment);
    bool any = false;
    for (char** entry = environ; entry && *entry; ++entry) {
      const std::wstring text = win32::Utf8ToWide(*entry);
      if (text.size() > prefix.size() && win32::EqualsNoCase(text.substr(0, prefix.size()), prefix)) {
        Print(output.out, text);
        any = true;
      }
    }
    if (!any) Fail(output, L"Environment variable " + prefix + L" not defined");
    return;
  }
  if (eq == 0) return Fail(output, kSyntaxError);
  SetVariable(assignment.substr(0, eq), assignment.substr(eq + 1));
  if (commandScript_) SetErrorLevel(0);
}

// A program named on a line of its own runs to its end before the script
// goes on, as in the command processor.
void Interpreter::RunProgram(const std::wstring& line, const Output& output) {
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
    SetErrorLevel(9009);
    return;
  }
  DWORD code = 0;
  if (info.hProcess) {
    WaitForSingleObject(info.hProcess, INFINITE);
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hProcess);
  }
  SetErrorLevel(static_cast<int>(code));
}

}  // namespace cmdbat
