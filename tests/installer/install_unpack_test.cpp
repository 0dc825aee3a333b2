// The installer's unpack path: a package damaged inside its packed data, and
// the unpack worker as the progress sink of an extraction.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "installer/install_workers.h"
#include "installer_test_util.h"
#include "support/damaged_archive.h"
#include "tests/shared/seven_zip_test_support.h"

namespace {

using installer_test::CountOf;
using testing_support::HostExists;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

class InstallUnpackTest : public installer_test::WorkerFixture {};

TEST_F(InstallUnpackTest, DamagedPackageFailsBeforeAnythingIsMoved) {
  if (!installer_test::RunInOwnDirectory()) return;
  installer_test::InstallArchiveLibrary(installer_test::OwnDirectory());
  std::string numbers;
  for (int i = 0; i < 20000; ++i) numbers += std::to_string(i) + "\n";
  WriteHostFile(Host("src/a-first.txt"), numbers);
  WriteHostFile(Host("src/bin/b-second.bin"), std::string(40000, 'b') + numbers);
  WriteHostFile(Host("src/c-third.txt"), "third");
  testing_support::MakeHostDirs(Host("data"));
  testing_support::MakeHostDirs(Host("Program Files/korva"));
  const std::string pack = "cd '" + Host("src") + "' && 7z a -bd -ms=off '" + Host("data/pkg.7z") + "' . >/dev/null";
  ASSERT_EQ(0, std::system(pack.c_str()));
  ASSERT_FALSE(testing_support::DamagePackedData(Host("data/pkg.7z"), "bin/b-second.bin").empty());

  const int status = RunWorker(
      boost::make_shared<KorvaPackageUnzipWorker>("C:\\data\\pkg.7z", "C:\\Program Files\\korva"));

  EXPECT_EQ(kWorkerExtractFailed, status);
  EXPECT_EQ(1, CountOf(machine.Log(), "SevenZip Extract Error"));
  EXPECT_TRUE(std::filesystem::is_empty(Host("Program Files/korva")));
  // What was unpacked before the damaged item stays beside the package.
  EXPECT_EQ(numbers, ReadHostFile(Host("data/pkg/a-first.txt")));
  EXPECT_FALSE(HostExists(Host("data/pkg/c-third.txt")));
  EXPECT_TRUE(HostExists(Host("data/pkg.7z")));
}

// Hidden and system files on the way: a leftover of an earlier run beside
// the package (hidden, system and read-only) neither stops the unpack nor
// comes in with it, and installed hidden or system files are kept as any
// other installed file.
TEST_F(InstallUnpackTest, HiddenAndSystemFilesNeitherStopTheUnpackNorAreReplaced) {
  if (!installer_test::RunInOwnDirectory()) return;
  installer_test::InstallArchiveLibrary(installer_test::OwnDirectory());
  const DWORD hidden = FILE_ATTRIBUTE_HIDDEN, system = FILE_ATTRIBUTE_SYSTEM;
  WriteHostFile(Host("src/a.txt"), "new a");
  WriteHostFile(Host("src/bin/b.bin"), "new b");
  WriteHostFile(Host("src/c.txt"), "new c");
  testing_support::MakeHostDirs(Host("data"));
  const std::string pack = "cd '" + Host("src") + "' && 7z a -bd '" + Host("data/pkg.7z") + "' . >/dev/null";
  ASSERT_EQ(0, std::system(pack.c_str()));
  WriteHostFile(Host("data/pkg/a.txt"), "left over");
  WriteHostFile(Host("data/pkg/stale.txt"), "left over");
  ASSERT_TRUE(SetFileAttributesW(L"C:\\data\\pkg\\a.txt", hidden | system | FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(SetFileAttributesW(L"C:\\data\\pkg\\stale.txt", hidden));
  WriteHostFile(Host("Program Files/korva/c.txt"), "installed c");
  WriteHostFile(Host("Program Files/korva/bin/b.bin"), "installed b");
  ASSERT_TRUE(SetFileAttributesW(L"C:\\Program Files\\korva\\c.txt", hidden));
  ASSERT_TRUE(SetFileAttributesW(L"C:\\Program Files\\korva\\bin\\b.bin", system));

  const int status = RunWorker(
      boost::make_shared<KorvaPackageUnzipWorker>("C:\\data\\pkg.7z", "C:\\Program Files\\korva"));

  EXPECT_EQ(kWorkerOk, status) << machine.Log();
  EXPECT_EQ("new a", ReadHostFile(Host("Program Files/korva/a.txt")));
  EXPECT_EQ(0u, GetFileAttributesW(L"C:\\Program Files\\korva\\a.txt") & (hidden | system));
  EXPECT_FALSE(HostExists(Host("Program Files/korva/stale.txt")));
  EXPECT_EQ("installed c", ReadHostFile(Host("Program Files/korva/c.txt")));
  EXPECT_EQ("installed b", ReadHostFile(Host("Program Files/korva/bin/b.bin")));
  EXPECT_EQ(hidden, GetFileAttributesW(L"C:\\Program Files\\korva\\c.txt") & (hidden | system));
  EXPECT_EQ(system, GetFileAttributesW(L"C:\\Program Files\\korva\\bin\\b.bin") & (hidden | system));
}

TEST_F(InstallUnpackTest, ExtractionProgressReachesTheInstallProgress) {
  KorvaPackageUnzipWorker worker("C:\\pkg.7z", "C:\\target");
  IInstallProgress* progress = GetInstallProgress();
  std::vector<int> percents;
  seven_zip_test::ReportThroughExtractCallback(&worker, [&] { percents.push_back(progress->GetPercent()); });
  // Unpacking spans 50 % to 95 % of the bar.
  EXPECT_EQ((std::vector<int>{50, 61, 61, 95}), percents);
  EXPECT_EQ(std::wstring(L"正在解压，请稍等……"), progress->GetStatusText());
}

}  // namespace
