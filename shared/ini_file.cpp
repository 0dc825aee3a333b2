#include "shared/ini_file.h"

#include <sstream>
#include <stdexcept>

#include <boost/property_tree/ini_parser.hpp>

#include <windows.h>

#include "shared/file_system.h"
#include "shared/log_writer.h"
#include "shared/product_constants.h"
#include "shared/text_convert.h"

namespace {

// Closes a file handle on every way out of the file helpers below.
class FileCloser {
 public:
  explicit FileCloser(HANDLE file) : file_(file) {}
  ~FileCloser() { CloseHandle(file_); }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;

 private:
  HANDLE file_;
};

// The file is opened by its ANSI path, as a text-mode stream would be: a
// name with characters outside the code page does not open.
HANDLE OpenNarrow(const std::string& path, DWORD access, DWORD disposition) {
  HANDLE file = CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path);
  return file;
}

// Whole text of the file, with text-mode line ends ("\r\n" read as "\n").
std::string ReadTextFile(const std::string& path) {
  HANDLE file = OpenNarrow(path, GENERIC_READ, OPEN_EXISTING);
  FileCloser closer(file);
  std::string raw;
  char chunk[16384];
  DWORD got = 0;
  do {
    if (!ReadFile(file, chunk, sizeof(chunk), &got, nullptr)) throw std::runtime_error("cannot read " + path);
    raw.append(chunk, got);
  } while (got > 0);
  std::string text;
  text.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    text += raw[i];
  }
  return text;
}

// Creates or truncates the file and writes the text with "\n" as "\r\n".
void WriteTextFile(const std::string& path, const std::string& text) {
  std::string raw;
  raw.reserve(text.size() + text.size() / 16);
  for (char ch : text) {
    if (ch == '\n') raw += '\r';
    raw += ch;
  }
  HANDLE file = OpenNarrow(path, GENERIC_WRITE, CREATE_ALWAYS);
  FileCloser closer(file);
  DWORD written = 0;
  if (!WriteFile(file, raw.data(), static_cast<DWORD>(raw.size()), &written, nullptr) ||
      written != raw.size())
    throw std::runtime_error("cannot write " + path);
}

}  // namespace

bool IniFile::Read(const std::wstring& path) {
  if (!FileExists(path)) return false;
  std::string ansiPath = WideToAnsi(path);
  try {
    // The bytes are taken as they are: UTF-8 by the writer's convention.
    std::istringstream in(ReadTextFile(ansiPath));
    boost::property_tree::ptree loaded;
    boost::property_tree::ini_parser::read_ini(in, loaded);
    tree_.swap(loaded);
    return true;
  } catch (...) {
    WriteLog("failed to read ini files: %s \xA1\xA3", ansiPath.c_str());
    return false;
  }
}

bool IniFile::Write(const std::wstring& path) {
  std::wstring parent = GetParentDirectory(path);
  if (!DirectoryExists(parent)) CreateDirectories(parent);
  std::string ansiPath = WideToAnsi(path);
  try {
    // Formatted before the file is touched, so a tree that the format cannot
    // hold leaves the old file as it was.
    std::ostringstream out;
    boost::property_tree::ini_parser::write_ini(out, tree_);
    WriteTextFile(ansiPath, out.str());
    return true;
  } catch (...) {
    WriteLog("failed to save ini files: %s", ansiPath.c_str());
    return false;
  }
}

void IniFile::SetValue(const std::wstring& key, const std::wstring& value) {
  // "|" joins section and key, so both may hold dots.
  std::string path = WideToUtf8(section_ + kIniPathSeparator + key);
  tree_.put(boost::property_tree::ptree::path_type(path, WideToUtf8(kIniPathSeparator)[0]),
            WideToUtf8(value));
}

std::list<std::wstring> IniFile::GetSection(const std::wstring& section) const {
  std::list<std::wstring> lines;
  auto found = tree_.find(WideToUtf8(section));
  if (found == tree_.not_found()) return lines;
  for (const auto& entry : found->second) lines.push_back(Utf8ToWide(entry.first + "=" + entry.second.data()));
  return lines;
}
