#include "batch_text.h"

#include <cwctype>

#include "internal/unicode.h"

namespace cmdbat {

void Sink::Write(const std::string& bytes) const {
  if (stream) {
    fwrite(bytes.data(), 1, bytes.size(), stream);
    fflush(stream);
  } else if (file) {
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
}

void Print(const Sink& sink, const std::wstring& text) { sink.Write(win32::WideToAnsi(text) + "\r\n"); }

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

std::wstring Lower(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(towlower(c));
  return text;
}

std::wstring Trim(const std::wstring& text) {
  size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  return text.substr(b, e - b);
}

std::wstring Unquote(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text)
    if (c != L'"') out += c;
  return out;
}

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

std::vector<std::wstring> Operands(const std::vector<std::wstring>& args) {
  std::vector<std::wstring> out;
  for (const auto& a : args)
    if (a.empty() || a[0] != L'/') out.push_back(a);
  return out;
}

bool HasOption(const std::vector<std::wstring>& args, const wchar_t* option) {
  for (const auto& a : args)
    if (!a.empty() && a[0] == L'/' && Lower(a) == option) return true;
  return false;
}

bool IsNulDevice(const std::wstring& path) {
  std::wstring name = Lower(Unquote(path));
  const size_t sep = name.find_last_of(L"\\/");
  if (sep != std::wstring::npos) name = name.substr(sep + 1);
  return name == L"nul" || name == L"nul:";
}

std::wstring SystemMessage(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND: return L"The system cannot find the file specified.";
    case ERROR_PATH_NOT_FOUND: return L"The system cannot find the path specified.";
    case ERROR_ACCESS_DENIED: return L"Access is denied.";
    case ERROR_INVALID_DRIVE: return L"The system cannot find the drive specified.";
    case ERROR_GEN_FAILURE: return L"A device attached to the system is not functioning.";
    case ERROR_SHARING_VIOLATION:
      return L"The process cannot access the file because it is being used by another process.";
    case ERROR_LOCK_VIOLATION:
      return L"The process cannot access the file because another process has locked a portion of the file.";
    case ERROR_FILE_EXISTS: return L"The file exists.";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return L"There is not enough space on the disk.";
    case ERROR_INVALID_NAME: return L"The filename, directory name, or volume label syntax is incorrect.";
    case ERROR_DIR_NOT_EMPTY: return L"The directory is not empty.";
    case ERROR_BUSY: return L"The requested resource is in use.";
    case ERROR_ALREADY_EXISTS: return L"Cannot create a file when that file already exists.";
    case ERROR_DIRECTORY: return L"The directory name is invalid.";
    case ERROR_FILENAME_EXCED_RANGE: return L"The filename or extension is too long.";
    default: return L"Error " + std::to_wstring(error) + L".";
  }
}

}  // namespace cmdbat
