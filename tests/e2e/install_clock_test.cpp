// The installer's clock, half a day away from UTC: its log is named after
// UTC, the log's lines show local time, and the uninstall entry's install
// date is UTC's.
#include <filesystem>
#include <string>
#include <vector>

#include "internal/unicode.h"
#include "support/e2e_installer.h"
#include "support/far_time_zone.h"

namespace testing_support {
namespace {

using ClockTest = InstallerE2eTest;

TEST_F(ClockTest, LogNameAndInstallDateInUtcLogLinesInLocalTime) {
  FarTimeZone zone;  // install.exe inherits it
  const time_t before = time(nullptr);
  ProgramRun run;
  HWND main = StartAndWaitForMainWindow(&run);
  ASSERT_NE(nullptr, main);
  ASSERT_TRUE(InstallAndClose(&run, main));
  const time_t after = time(nullptr);

  std::vector<std::string> logs;
  for (const auto& entry : std::filesystem::directory_iterator(DataDirHost())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("Install", 0) == 0 && entry.path().extension() == ".log") logs.push_back(name);
  }
  ASSERT_EQ(1u, logs.size());
  EXPECT_TRUE(ShowsTimeWithin(logs[0], "Install%Y%m%d%H%M%S.log", Clock::kUtc, before, after)) << logs[0];

  const std::string log = LogText();
  const size_t kPrefix = std::string("2026-12-08 02:44:23").size();
  size_t lines = 0;
  for (size_t start = 0, end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2, ++lines) {
    const std::string prefix = log.substr(start, std::min(kPrefix, end - start));
    EXPECT_TRUE(ShowsTimeWithin(prefix, "%Y-%m-%d %H:%M:%S", Clock::kLocal, before, after))
        << log.substr(start, end - start);
  }
  EXPECT_GT(lines, 10u);

  std::wstring date;
  ASSERT_TRUE(UninstallValue(L"InstallDate", &date));
  EXPECT_TRUE(ShowsTimeWithin(win32::WideToUtf8(date), "%Y-%m-%d", Clock::kUtc, before, after))
      << win32::WideToUtf8(date);
}

}  // namespace
}  // namespace testing_support
