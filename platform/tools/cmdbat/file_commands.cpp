// The file commands of the batch interpreter: copy, xcopy, type, del, md, rd
// and attrib, all through the machine's file API. A copy writes into the destination
// in place, as the command processor does: a program that is running from
// it, or a file another process holds, makes the copy fail.
#include <windows.h>

#include <functional>
#include <vector>

#include "batch_interpreter.h"
#include "internal/machine.h"

namespace cmdbat {
namespace {

// ASCII copies end a source at the first Ctrl-Z and end the result with one.
constexpr char kEndOfText = 0x1A;

DWORD AttributesOf(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

bool IsDirectory(const std::wstring& path) {
  const DWORD attributes = AttributesOf(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = AttributesOf(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring Join(const std::wstring& dir, const std::wstring& name) {
  return !dir.empty() && dir.back() == L'\\' ? dir + name : dir + L"\\" + name;
}

std::wstring NameOf(const std::wstring& path) {
  std::wstring p = path;
  while (!p.empty() && p.back() == L'\\') p.pop_back();
  return p.substr(p.find_last_of(L"\\:") + 1);
}

std::wstring ParentOf(const std::wstring& path) {
  const size_t sep = path.find_last_of(L'\\');
  return sep == std::wstring::npos ? path : path.substr(0, sep <= 2 ? 3 : sep);
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  if (win32::EqualsNoCase(a, b)) return true;
  std::string hostA, hostB;
  DWORD error = 0;
  return win32::ToHostPath(a, &hostA, &error) && win32::ToHostPath(b, &hostB, &error) && hostA == hostB;
}

// Calls each(name, isDirectory) for the entries that match a pattern
// ("dir\*"), "." and ".." left out.
void ForEachMatch(const std::wstring& pattern, const std::function<void(const std::wstring&, bool)>& each) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  std::vector<std::pair<std::wstring, bool>> entries;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") entries.emplace_back(name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  for (const auto& entry : entries) each(entry.first, entry.second);
}

// Creates the folder and the missing ones above it.
bool MakeDirectories(const std::wstring& path) {
  if (IsDirectory(path)) return true;
  const std::wstring parent = ParentOf(path);
  if (parent != path && !MakeDirectories(parent)) return false;
  return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// Appends a source to an open destination; false with the last error set.
bool AppendFile(HANDLE to, const std::wstring& from, bool ascii) {
  HANDLE source = CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (source == INVALID_HANDLE_VALUE) return false;
  std::vector<char> buffer(1 << 16);
  bool ok = true, ended = false;
  while (ok && !ended) {
    DWORD got = 0;
    ok = ReadFile(source, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr);
    if (!ok || got == 0) break;
    if (ascii) {
      for (DWORD i = 0; i < got; ++i)
        if (buffer[i] == kEndOfText) {
          got = i;
          ended = true;
          break;
        }
    }
    DWORD put = 0;
    ok = WriteFile(to, buffer.data(), got, &put, nullptr) && put == got;
  }
  const DWORD error = GetLastError();
  CloseHandle(source);
  SetLastError(error);
  return ok;
}

}  // namespace

// copy [/y] [/a|/b] source [+ source ...] [destination]: one binary source is
// copied whole; sources joined by "+" are appended one after the other into
// the destination, or into the first source when it is the destination
// itself (or none is given). nul is an empty source.
void Interpreter::Copy(const std::wstring& rest, const Output& output) {
  struct Item {
    std::wstring path;
    wchar_t mode = 0;  // 'a', 'b' or 0 for the default
    bool joined = false;
  };
  std::vector<Item> items;
  wchar_t mode = 0;
  bool plus = false, lastWasFile = false;
  size_t i = 0;
  while (i < rest.size()) {
    if (IsBlank(rest[i])) {
      ++i;
    } else if (rest[i] == L'+') {
      plus = true;
      lastWasFile = false;
      ++i;
    } else if (rest[i] == L'/') {
      std::wstring option;
      while (i < rest.size() && !IsBlank(rest[i]) && rest[i] != L'+') option += rest[i++];
      option = Lower(option);
      // /a and /b hold for the file they follow and the ones after it.
      if (option == L"/a" || option == L"/b") {
        mode = option[1];
        if (lastWasFile) items.back().mode = mode;
      }
    } else {
      Item item;
      bool quoted = false;
      for (; i < rest.size() && (quoted || (!IsBlank(rest[i]) && rest[i] != L'+')); ++i) {
        if (rest[i] == L'"')
          quoted = !quoted;
        else
          item.path += rest[i];
      }
      item.mode = mode;
      item.joined = plus;
      plus = false;
      lastWasFile = true;
      items.push_back(item);
    }
  }
  const auto copied = [&](int count) {
    Print(output.out, L"        " + std::to_wstring(count) + L" file(s) copied.");
  };
  // A copy that succeeds leaves errorlevel 0, whatever came before.
  const auto succeeded = [&] {
    SetErrorLevel(0);
    copied(1);
  };
  const auto failed = [&](const std::wstring& message) {
    Fail(output, message);
    copied(0);
  };

  size_t sourceCount = items.empty() ? 0 : 1;
  while (sourceCount < items.size() && items[sourceCount].joined) ++sourceCount;
  if (items.empty() || items.size() > sourceCount + 1) return Fail(output, L"The syntax of the command is incorrect.");
  std::vector<Item> sources(items.begin(), items.begin() + static_cast<long>(sourceCount));
  const bool joining = sources.size() > 1;
  const wchar_t defaultMode = joining ? L'a' : L'b';
  for (Item& source : sources)
    if (!source.mode) source.mode = defaultMode;
  const wchar_t destinationMode =
      items.size() > sourceCount && items.back().mode ? items.back().mode : (mode ? mode : defaultMode);

  const std::wstring first = FullPath(sources[0].path);
  std::wstring destination;
  if (items.size() > sourceCount) {
    const std::wstring& named = items.back().path;
    destination = FullPath(named);
    if (!IsNulDevice(named) && (IsDirectory(destination) || (!named.empty() && named.back() == L'\\')))
      destination = Join(destination, NameOf(first));
  } else {
    destination = joining ? first : Join(CurrentDirectory(), NameOf(first));
  }
  const bool toNul = items.size() > sourceCount && IsNulDevice(items.back().path);

  if (!joining && !IsNulDevice(sources[0].path)) {
    if (!IsFile(first)) return failed(SystemMessage(ERROR_FILE_NOT_FOUND));
    if (!toNul && SamePath(first, destination)) return failed(L"The file cannot be copied onto itself.");
    if (sources[0].mode == L'b' && destinationMode == L'b' && !toNul) {
      if (!CopyFileW(first.c_str(), destination.c_str(), FALSE)) return failed(SystemMessage(GetLastError()));
      return succeeded();
    }
  }

  // Appending in place: the first source is the destination and is opened
  // for writing, which fails while a program runs from it.
  const bool inPlace = joining && !toNul && SamePath(first, destination);
  for (size_t s = inPlace ? 1 : 0; s < sources.size(); ++s)
    if (!toNul && !IsNulDevice(sources[s].path) && SamePath(FullPath(sources[s].path), destination))
      return failed(L"The file cannot be copied onto itself.");
  if (!IsNulDevice(sources[0].path) && !IsFile(first)) return failed(SystemMessage(ERROR_FILE_NOT_FOUND));

  HANDLE to = nullptr;  // none for nul
  if (!toNul) {
    to = inPlace ? CreateFileW(destination.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr)
                 : CreateFileW(destination.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
    if (to == INVALID_HANDLE_VALUE) return failed(SystemMessage(GetLastError()));
    if (inPlace) SetFilePointer(to, 0, nullptr, FILE_END);
  }
  bool ok = true;
  for (size_t s = 0; s < sources.size() && ok; ++s) {
    if (joining) Print(output.out, sources[s].path);
    if ((inPlace && s == 0) || IsNulDevice(sources[s].path)) continue;
    const std::wstring path = FullPath(sources[s].path);
    if (s > 0 && !IsFile(path)) continue;  // a later source that is not there adds nothing
    if (to) {
      ok = AppendFile(to, path, sources[s].mode == L'a');
    } else {
      HANDLE probe = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      ok = probe != INVALID_HANDLE_VALUE;
      if (ok) CloseHandle(probe);
    }
  }
  if (ok && to && destinationMode == L'a') {
    DWORD put = 0;
    ok = WriteFile(to, &kEndOfText, 1, &put, nullptr);
  }
  const DWORD error = GetLastError();
  if (to) CloseHandle(to);
  if (!ok) return failed(SystemMessage(error));
  succeeded();
}

void Interpreter::XCopy(const std::vector<std::wstring>& args, const Output& output) {
  std::vector<std::wstring> operands = Operands(args);
  if (operands.empty()) return Fail(output, L"Invalid number of parameters");
  const std::wstring from = FullPath(operands[0]);
  const std::wstring destination = operands.size() > 1 ? operands[1] : L".";
  std::wstring to = FullPath(destination);
  int copied = 0;
  DWORD error = ERROR_SUCCESS;
  auto copyFile = [&](const std::wstring& source, const std::wstring& target) {
    if (error) return;
    if (CopyFileW(source.c_str(), target.c_str(), FALSE))
      ++copied;
    else
      error = GetLastError();
  };
  if (IsFile(from)) {
    if (IsDirectory(to) || destination.back() == L'\\' || HasOption(args, L"/i")) to = Join(to, NameOf(from));
    MakeDirectories(ParentOf(to));
    copyFile(from, to);
  } else if (IsDirectory(from)) {
    const bool recurse = HasOption(args, L"/s") || HasOption(args, L"/e");
    std::function<void(const std::wstring&, const std::wstring&)> copyDir = [&](const std::wstring& src,
                                                                                const std::wstring& dst) {
      if (!MakeDirectories(dst) && !error) error = GetLastError();
      ForEachMatch(Join(src, L"*"), [&](const std::wstring& name, bool directory) {
        if (!directory)
          copyFile(Join(src, name), Join(dst, name));
        else if (recurse)
          copyDir(Join(src, name), Join(dst, name));
      });
    };
    copyDir(from, to);
  } else {
    return Fail(output, L"File not found - " + operands[0]);
  }
  if (error) return Fail(output, L"File creation error - " + SystemMessage(error));
  Print(output.out, std::to_wstring(copied) + L" File(s) copied");
  SetErrorLevel(0);
}

void Interpreter::Type(const std::vector<std::wstring>& args, const Output& output) {
  const std::vector<std::wstring> operands = Operands(args);
  if (operands.empty()) return Fail(output, L"The syntax of the command is incorrect.");
  for (const std::wstring& operand : operands) {
    if (IsNulDevice(operand)) continue;
    if (operands.size() > 1) {
      Print(output.err, L"");
      Print(output.err, operand);
      Print(output.err, L"");
      Print(output.err, L"");
    }
    const std::wstring path = FullPath(operand);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      FailWithError(output, GetLastError());
      continue;
    }
    std::vector<char> buffer(1 << 16);
    DWORD got = 0;
    while (ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0)
      output.out.Write(std::string(buffer.data(), got));
    CloseHandle(file);
  }
}

namespace {

// Which files del takes by their flags: without /a, no hidden or system
// file; "/a" alone, every file; "/a:hs" or "/a-r", those with (or, after a
// "-", without) each flag named.
struct DeleteFilter {
  DWORD with = 0, without = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  bool Takes(DWORD attributes) const { return (attributes & with) == with && !(attributes & without); }
};

DeleteFilter DeleteFilterOf(const std::vector<std::wstring>& args) {
  DeleteFilter filter;
  for (const std::wstring& arg : args) {
    const std::wstring option = Lower(arg);
    if (option.size() < 2 || option.compare(0, 2, L"/a") != 0) continue;
    filter = DeleteFilter();
    filter.without = 0;
    bool negated = false;
    for (size_t i = 2; i < option.size(); ++i) {
      const wchar_t c = option[i];
      const DWORD bit = c == L'r' ? FILE_ATTRIBUTE_READONLY : c == L'h' ? FILE_ATTRIBUTE_HIDDEN
                      : c == L's' ? FILE_ATTRIBUTE_SYSTEM   : c == L'a' ? FILE_ATTRIBUTE_ARCHIVE : 0;
      if (c == L'-') negated = true;
      if (!bit) continue;
      (negated ? filter.without : filter.with) |= bit;
      negated = false;
    }
  }
  return filter;
}

}  // namespace

// del leaves the errorlevel as it was when a file cannot be deleted or
// found; || still sees the failure. A file its flags keep from del counts as
// not found.
void Interpreter::Delete(const std::vector<std::wstring>& args, const Output& output) {
  const std::vector<std::wstring> operands = Operands(args);
  if (operands.empty()) return Fail(output, L"The syntax of the command is incorrect.");
  const bool force = HasOption(args, L"/f");
  const DeleteFilter filter = DeleteFilterOf(args);
  const auto taken = [&](const std::wstring& path) { return filter.Takes(AttributesOf(path)); };
  auto deleteFile = [&](const std::wstring& path) {
    const DWORD attributes = AttributesOf(path);
    if (force && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
      SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (DeleteFileW(path.c_str())) return;
    const DWORD error = GetLastError();
    Print(output.err, path);
    Print(output.err, SystemMessage(error));
    failed_ = true;
  };
  for (const std::wstring& operand : operands) {
    const std::wstring path = FullPath(operand);
    bool found = false;
    if (path.find_first_of(L"*?") != std::wstring::npos) {
      ForEachMatch(path, [&](const std::wstring& name, bool directory) {
        const std::wstring file = Join(ParentOf(path), name);
        if (directory || !taken(file)) return;
        found = true;
        deleteFile(file);
      });
    } else if (IsDirectory(path)) {
      // del of a folder deletes the files in it.
      found = true;
      ForEachMatch(Join(path, L"*"), [&](const std::wstring& name, bool directory) {
        if (!directory && taken(Join(path, name))) deleteFile(Join(path, name));
      });
    } else if (IsFile(path) && taken(path)) {
      found = true;
      deleteFile(path);
    }
    if (!found) {
      Print(output.err, L"Could Not Find " + path);
      failed_ = true;
    }
  }
}

void Interpreter::MakeDir(const std::vector<std::wstring>& args, const Output& output) {
  const std::vector<std::wstring> operands = Operands(args);
  if (operands.empty()) return Fail(output, L"The syntax of the command is incorrect.");
  for (const std::wstring& operand : operands) {
    const std::wstring path = FullPath(operand);
    if (AttributesOf(path) != INVALID_FILE_ATTRIBUTES)
      Fail(output, L"A subdirectory or file " + operand + L" already exists.");
    else if (!MakeDirectories(path))
      FailWithError(output, GetLastError());
  }
}

void Interpreter::RemoveDir(const std::vector<std::wstring>& args, const Output& output) {
  const std::vector<std::wstring> operands = Operands(args);
  if (operands.empty()) return Fail(output, L"The syntax of the command is incorrect.");
  const bool tree = HasOption(args, L"/s");
  // rd /s takes read-only files and folders too, as the command processor
  // does: their flag is cleared when they will not go otherwise.
  const auto removeEntry = [](const std::wstring& path, bool directory) {
    const auto remove = [&] { return directory ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str()); };
    if (remove()) return true;
    const DWORD error = GetLastError();
    const DWORD attributes = AttributesOf(path);
    if (error != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
        !(attributes & FILE_ATTRIBUTE_READONLY) || !SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
      SetLastError(error);
      return false;
    }
    return remove() != FALSE;
  };
  // A file that cannot go is named; the folders above it stay.
  std::function<void(const std::wstring&)> empty = [&](const std::wstring& dir) {
    ForEachMatch(Join(dir, L"*"), [&](const std::wstring& name, bool directory) {
      const std::wstring path = Join(dir, name);
      if (directory) {
        empty(path);
        removeEntry(path, true);
      } else if (!removeEntry(path, false)) {
        Print(output.err, path + L" - " + SystemMessage(GetLastError()));
      }
    });
  };
  for (const std::wstring& operand : operands) {
    const std::wstring path = FullPath(operand);
    if (!IsDirectory(path)) {
      FailWithError(output, IsFile(path) ? ERROR_DIRECTORY : ERROR_FILE_NOT_FOUND);
      continue;
    }
    if (tree) empty(path);
    if (!(tree ? removeEntry(path, true) : RemoveDirectoryW(path.c_str()) != FALSE))
      FailWithError(output, GetLastError());
  }
}

// attrib [+r|-r] [+a|-a] [+s|-s] [+h|-h] [path ...]: changes the flags of the
// files a path or pattern names, or, with no change asked for, lists them.
// It leaves the errorlevel as it was.
void Interpreter::Attrib(const std::vector<std::wstring>& args, const Output& output) {
  static const struct {
    wchar_t letter;
    DWORD bit;
  } kFlags[] = {{L'r', FILE_ATTRIBUTE_READONLY},
                {L'a', FILE_ATTRIBUTE_ARCHIVE},
                {L's', FILE_ATTRIBUTE_SYSTEM},
                {L'h', FILE_ATTRIBUTE_HIDDEN}};
  DWORD set = 0, clear = 0;
  std::vector<std::wstring> paths;
  for (const std::wstring& arg : Operands(args)) {
    DWORD bit = 0;
    if (arg.size() == 2 && (arg[0] == L'+' || arg[0] == L'-')) {
      for (const auto& flag : kFlags)
        if (static_cast<wchar_t>(towlower(arg[1])) == flag.letter) bit = flag.bit;
      if (!bit) return Print(output.out, L"Invalid switch - " + arg);
      (arg[0] == L'+' ? set : clear) |= bit;
    } else {
      paths.push_back(arg);
    }
  }
  if (paths.empty()) paths.push_back(L"*");
  for (const std::wstring& operand : paths) {
    const std::wstring path = FullPath(operand);
    std::vector<std::wstring> files;
    if (path.find_first_of(L"*?") != std::wstring::npos) {
      ForEachMatch(path, [&](const std::wstring& name, bool) { files.push_back(Join(ParentOf(path), name)); });
    } else if (AttributesOf(path) != INVALID_FILE_ATTRIBUTES) {
      files.push_back(path);
    }
    if (files.empty()) Print(output.out, L"File not found - " + path);
    for (const std::wstring& file : files) {
      const DWORD attributes = AttributesOf(file);
      if (set || clear) {
        // A system or hidden file keeps all its flags unless the command
        // names that flag too.
        const DWORD named = set | clear;
        if ((attributes & FILE_ATTRIBUTE_SYSTEM) && !(named & FILE_ATTRIBUTE_SYSTEM)) {
          Print(output.out, L"Not resetting system file - " + file);
          continue;
        }
        if ((attributes & FILE_ATTRIBUTE_HIDDEN) && !(named & FILE_ATTRIBUTE_HIDDEN)) {
          Print(output.out, L"Not resetting hidden file - " + file);
          continue;
        }
        const DWORD changed = ((attributes & ~clear) | set) &
                              ~(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_NORMAL);
        if (!SetFileAttributesW(file.c_str(), changed ? changed : FILE_ATTRIBUTE_NORMAL))
          Print(output.out, SystemMessage(GetLastError()) + L" - " + file);
        continue;
      }
      std::wstring shown = L"      ";
      shown[0] = (attributes & FILE_ATTRIBUTE_ARCHIVE) ? L'A' : L' ';
      shown[3] = (attributes & FILE_ATTRIBUTE_SYSTEM) ? L'S' : L' ';
      shown[4] = (attributes & FILE_ATTRIBUTE_HIDDEN) ? L'H' : L' ';
      shown[5] = (attributes & FILE_ATTRIBUTE_READONLY) ? L'R' : L' ';
      Print(output.out, shown + L"       " + file);
    }
  }
}

}  // namespace cmdbat
