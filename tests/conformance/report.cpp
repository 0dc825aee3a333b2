#include "conformance/report.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "shared/text_convert.h"

namespace conformance {
namespace {

std::wstring g_base;

WCHAR Lower(WCHAR c) { return (c >= L'A' && c <= L'Z') ? static_cast<WCHAR>(c - L'A' + L'a') : c; }

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (Lower(text[i]) != Lower(prefix[i])) return false;
  return true;
}

void CollectListing(const std::wstring& dir, const std::wstring& prefix, std::vector<std::wstring>& out) {
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      out.push_back(prefix + name + L"\\");
      CollectListing(dir + L"\\" + name, prefix + name + L"\\", out);
    } else {
      out.push_back(prefix + name);
    }
  } while (FindNextFileW(search, &entry));
  FindClose(search);
}

}  // namespace

const std::wstring& Base() { return g_base; }
void SetBase(const std::wstring& base) { g_base = base; }
std::wstring At(const std::wstring& relative) { return g_base + L"\\" + relative; }

void Section(const char* name) { std::printf("\n[%s]\n", name); }

void Fact(const std::string& name, const std::string& value) {
  std::printf("%s: %s\n", name.c_str(), value.c_str());
}

std::string Esc(const std::wstring& text) {
  std::string out;
  for (WCHAR c : text) {
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char unit[16];
      std::snprintf(unit, sizeof(unit), "\\u{%04X}", static_cast<unsigned>(c));
      out += unit;
    }
  }
  return out;
}

std::string Bytes(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char byte[8];
      std::snprintf(byte, sizeof(byte), "\\x%02X", c);
      out += byte;
    }
  }
  return out;
}

std::string Rel(const std::wstring& path) {
  if (!g_base.empty() && StartsWithNoCase(path, g_base)) return "<w>" + Esc(path.substr(g_base.size()));
  return Esc(path);
}

std::string YesNo(bool value) { return value ? "yes" : "no"; }

bool SameNoCase(const std::wstring& a, const std::wstring& b) {
  return a.size() == b.size() && StartsWithNoCase(a, b);
}

std::string Num(uint64_t value) { return std::to_string(value); }

std::string Outcome(bool ok) {
  if (ok) return "ok";
  return "error " + Num(GetLastError());
}

std::string Attributes(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return "missing";
  std::string letters;
  if (attributes & FILE_ATTRIBUTE_READONLY) letters += 'R';
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) letters += 'D';
  if (attributes & FILE_ATTRIBUTE_ARCHIVE) letters += 'A';
  if (attributes & FILE_ATTRIBUTE_NORMAL) letters += 'N';
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) letters += 'L';
  return letters.empty() ? "-" : letters;
}

std::string SetAttributes(const std::wstring& path) {
  std::string letters = Attributes(path);
  if (letters == "missing") return letters;
  std::string kept;
  for (char c : letters)
    if (c != 'A' && c != 'N') kept += c;
  return kept.empty() ? "-" : kept;
}

bool PutFile(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

std::string FileBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<unreadable>";
  std::string bytes;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return bytes;
}

size_t FileSize(const std::wstring& path) {
  std::string bytes = FileBytes(path);
  return bytes == "<unreadable>" ? 0 : bytes.size();
}

std::string LogLinesSince(const std::wstring& log, size_t before) {
  std::string bytes = FileBytes(log);
  if (bytes == "<unreadable>" || bytes.size() <= before) return "(none)";
  const std::string added = bytes.substr(before);
  // The log has the folder as the caller spelled it, in the ANSI code page.
  const std::string base = WideToAnsi(g_base);
  const size_t prefix = std::string("YYYY-MM-DD hh:mm:ss    ").size();
  std::string out;
  for (size_t start = 0; start < added.size();) {
    size_t end = added.find("\r\n", start);
    if (end == std::string::npos) end = added.size();
    std::string line = added.substr(start, end - start);
    if (line.size() > prefix) line = line.substr(prefix);
    size_t at = line.find(base);
    if (!base.empty() && at != std::string::npos) line.replace(at, base.size(), "<w>");
    out += (out.empty() ? "" : " | ") + Bytes(line);
    start = end + 2;
  }
  return out;
}

bool MakeDir(const std::wstring& path) { return CreateDirectoryW(path.c_str(), nullptr) != FALSE; }

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string Listing(const std::wstring& dir) {
  std::vector<std::wstring> entries;
  CollectListing(dir, L"", entries);
  std::sort(entries.begin(), entries.end());
  std::string out;
  for (const auto& entry : entries) out += (out.empty() ? "" : " ") + Esc(entry);
  return out.empty() ? "(empty)" : out;
}

}  // namespace conformance
