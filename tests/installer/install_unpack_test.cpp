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
