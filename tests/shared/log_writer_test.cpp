#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "shared/log_writer.h"
#include "shared/text_convert.h"
#include "support/far_time_zone.h"
#include "support/temp_machine.h"

using testing_support::ReadHostFile;
using testing_support::TempMachine;

namespace {

std::vector<std::string> Lines(const std::string& content) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(content.substr(start) + "<no CRLF>");
      break;
    }
    lines.push_back(content.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// The line's text after its time prefix ("2026-12-08 02:44:23" and four
// blanks), or "<no prefix>".
std::string Message(const std::string& line) {
  const std::string shape = "9999-99-99 99:99:99    ";
  if (line.size() < shape.size()) return "<no prefix>";
  for (size_t i = 0; i < shape.size(); ++i) {
    bool ok = shape[i] == '9' ? isdigit(static_cast<unsigned char>(line[i])) != 0 : line[i] == shape[i];
    if (!ok) return "<no prefix>";
  }
  return line.substr(shape.size());
}

}  // namespace

// Runs first in its process: nothing has set the path yet.
TEST(LogWriter, LinesBeforeTheLogPathAreDropped) {
  TempMachine m;
  WriteLog("early %d", 1);
  SetLogPath("C:\\first.log");
  WriteLog("late");
  std::vector<std::string> lines = Lines(ReadHostFile(m.c() + "/first.log"));
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("late", Message(lines[0]));
}

TEST(LogWriter, PrefixedCrLfLinesInTheAnsiCodePage) {
  TempMachine m;
  testing_support::MakeHostDirs(m.c() + "/日志");
  SetLogPath(WideToAnsi(L"C:\\日志\\Install20260101000000.log"));
  WriteLog("fail to create dir: %s, lastError: %d \xA1\xA3", WideToAnsi(L"C:\\安装").c_str(), 5);
  WriteLog("second");
  std::vector<std::string> lines = Lines(ReadHostFile(m.c() + "/日志/Install20260101000000.log"));
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("fail to create dir: C:\\\xB0\xB2\xD7\xB0, lastError: 5 \xA1\xA3", Message(lines[0]));
  EXPECT_EQ("second", Message(lines[1]));
}

TEST(LogWriter, LongMessagesAreCutAndMissingFoldersIgnored) {
  TempMachine m;
  SetLogPath("C:\\missing\\x.log");
  WriteLog("%s", "lost");
  EXPECT_FALSE(testing_support::HostExists(m.c() + "/missing"));

  SetLogPath("C:\\long.log");
  std::string big(5000, 'x');
  WriteLog("%s|%s", big.c_str(), "tail");
  WriteLog("after");
  std::vector<std::string> lines = Lines(ReadHostFile(m.c() + "/long.log"));
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(std::string(1023, 'x'), Message(lines[0]));
  EXPECT_EQ("after", Message(lines[1]));
}

TEST(LogWriter, ConcurrentLinesNeverInterleave) {
  TempMachine m;
  SetLogPath("C:\\threads.log");
  constexpr int kThreads = 8;
  constexpr int kLines = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::string body(700, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) WriteLog("T%d #%d %s", t, i, body.c_str());
    });
  }
  for (auto& th : threads) th.join();

  std::vector<std::string> lines = Lines(ReadHostFile(m.c() + "/threads.log"));
  ASSERT_EQ(static_cast<size_t>(kThreads * kLines), lines.size());
  std::set<std::string> seen;
  for (const auto& line : lines) {
    std::string message = Message(line);
    int t = -1, i = -1, used = 0;
    ASSERT_EQ(2, sscanf(message.c_str(), "T%d #%d %n", &t, &i, &used)) << line.substr(0, 80);
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(std::string(700, static_cast<char>('a' + t)), message.substr(static_cast<size_t>(used)));
    seen.insert(std::to_string(t) + "/" + std::to_string(i));
  }
  EXPECT_EQ(static_cast<size_t>(kThreads * kLines), seen.size());
}

// The prefix shows local time, told apart from UTC by a zone half a day away.
TEST(LogWriter, PrefixIsTheLocalTime) {
  TempMachine m;
  testing_support::FarTimeZone zone;
  SetLogPath("C:\\local.log");
  const time_t before = time(nullptr);
  WriteLog("now");
  const time_t after = time(nullptr);
  std::vector<std::string> lines = Lines(ReadHostFile(m.c() + "/local.log"));
  ASSERT_EQ(1u, lines.size());
  EXPECT_TRUE(testing_support::ShowsTimeWithin(lines[0], "%Y-%m-%d %H:%M:%S    now",
                                               testing_support::Clock::kLocal, before, after))
      << lines[0];
}
