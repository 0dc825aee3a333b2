// The log writer: its file name, line prefix, line ends and limits.
#include <cstdio>
#include <string>
#include <vector>

#include "conformance/report.h"
#include "shared/log_writer.h"
#include "shared/product_constants.h"
#include "shared/text_convert.h"
#include "shared/utc_time.h"

namespace conformance {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "YYYY-MM-DD hh:mm:ss    " of the local date today.
bool IsPrefixOfToday(const std::string& line) {
  const std::string shape = "dddd-dd-dd dd:dd:dd    ";
  if (line.size() < shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 'd' ? !IsDigit(line[i]) : line[i] != shape[i]) return false;
  }
  SYSTEMTIME now;
  GetLocalTime(&now);
  char today[32];
  std::snprintf(today, sizeof(today), "%04d-%02d-%02d", now.wYear, now.wMonth, now.wDay);
  return line.compare(0, 10, today) == 0;
}

std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(bytes.substr(start) + "<no line end>");
      break;
    }
    lines.push_back(bytes.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// The only file of the folder, by its name's shape: "Install" and 14 digits.
std::wstring FindLog(const std::wstring& dir) {
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW((dir + L"\\Install*.log").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return std::wstring();
  FindClose(search);
  return entry.cFileName;
}

}  // namespace

void ReportLog() {
  Section("log");
  // Before a path is set, lines go nowhere.
  WriteLog("dropped before the path is set");

  const std::wstring dir = At(L"logs");
  std::string path = WideToAnsi(dir + L"\\") + "Install" + WideToAnsi(GetUtcTimestamp()) + ".log";
  SetLogPath(path);
  WriteLog("lost while the folder is missing");
  MakeDir(dir);
  WriteLog("first line %d %s", 1, "two");
  WriteLog("wide %s value", WideToAnsi(kInstallResultTexts[1]).c_str());
  WriteLog("split\nline");
  WriteLog("fail to create dir: %s, lastError: %d \xA1\xA3", "C:\\x", 5);
  WriteLog("%s", std::string(2000, 'x').c_str());

  const std::wstring name = FindLog(dir);
  bool shaped = name.size() == 7 + 14 + 4 && name.substr(0, 7) == L"Install" && name.substr(21) == L".log";
  for (size_t i = 7; shaped && i < 21; ++i) shaped = name[i] >= L'0' && name[i] <= L'9';
  Fact("log file name is Install<14 digits>.log", YesNo(shaped));
  std::string listing = Listing(dir);
  if (shaped) listing.replace(listing.find(Esc(name)), name.size(), "Install<stamp>.log");
  Fact("log folder", listing);

  const std::vector<std::string> lines = Lines(FileBytes(dir + L"\\" + name));
  Fact("log lines", Num(lines.size()));
  for (const std::string& line : lines) {
    const bool prefixed = IsPrefixOfToday(line);
    const std::string message = prefixed ? line.substr(23) : line;
    if (message.size() > 80) {
      Fact("  long line", "prefix " + YesNo(prefixed) + ", " + Num(message.size()) + " characters of " +
                              Bytes(message.substr(0, 1)));
    } else {
      Fact("  line", "prefix " + YesNo(prefixed) + ", " + Bytes(message));
    }
  }

  // A log path in a folder with a Chinese name: its ANSI form holds only in
  // code page 936.
  const std::wstring chineseDir = At(kInstallResultTexts[0]);
  MakeDir(chineseDir);
  SetLogPath(WideToAnsi(chineseDir + L"\\Update.log"));
  WriteLog("into a Chinese folder");
  Fact("log in a Chinese folder", Listing(chineseDir));
  SetLogPath(path);
}

}  // namespace conformance
