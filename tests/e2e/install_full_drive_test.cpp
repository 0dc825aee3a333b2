// An installation onto a drive that cannot hold the product: every file
// moved there from the data folder on C: is a copy, and the one that does
// not fit fails the installation instead of being left out of it, and
// nothing of that run stays on the drive.
#include <filesystem>
#include <string>

#include "shared/text_convert.h"
#include "support/e2e_installer.h"
#include "support/small_volume.h"
#include "support/stub_program.h"

namespace testing_support {
namespace {

namespace fs = std::filesystem;

using FullDriveTest = InstallerE2eTest;

TEST_F(FullDriveTest, AFileThatDoesNotFitFailsTheUnpackingAndNothingIsLeftOrRegistered) {
  // D: has room for the product's programs and 1 MB more. The package is
  // small enough for the check of free space, but one of its files unpacks
  // to 3 MB; read-only items come with it.
  SmallVolume drive(machine().dir() + "/d", 3 * fs::file_size(StubProgram()) + (1 << 20));
  ASSERT_TRUE(drive.mounted());
  const std::string product = scratch() + "/product";
  WriteHostFile(product + "/数据/路由表.dat", std::string(3 << 20, 'r'));
  WriteHostFile(product + "/fixed/readme.txt", "read me");
  fs::permissions(product + "/fixed/readme.txt", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  fs::permissions(product + "/fixed", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  ASSERT_TRUE(PackDirectory(product, scratch() + "/service/korva.7z"));
  installer().WriteInstallJson(service().BaseUrl(), "D:/Apps/");

  ProgramRun run;
  HWND main = StartAndWaitForMainWindow(&run);
  ASSERT_NE(nullptr, main);
  std::string text;
  HWND box = PressForMessageBox(run, main, "ButtonInstall", &text);
  ASSERT_NE(nullptr, box) << LogText();
  EXPECT_EQ("解压失败", text);
  ASSERT_TRUE(Click(box, "ButtonYes"));
  ExpectEndsCleanly(&run);

  const std::string log = LogText();
  EXPECT_NE(std::string::npos,
            log.find(WideToAnsi(L"fail to move D:\\Apps\\korva\\数据\\路由表.dat into the install directory, lastError: 112 .")))
      << log;
  EXPECT_NE(std::string::npos, log.find("fail to unzip the package.")) << log;
  std::wstring location;
  EXPECT_FALSE(UninstallValue(L"InstallLocation", &location));
  // What the run placed on D: before the file that did not fit is taken
  // back, and so are the install folder and its parent, which it made.
  EXPECT_FALSE(HostExists(machine().dir() + "/d/Apps"));
  ASSERT_EQ(1u, InstallPosts().size());
  EXPECT_NE(std::string::npos, InstallPosts()[0].body.find("errorCode=2&"));
  // The package and its extraction folder are gone, read-only items too, so
  // the next run starts afresh: here onto C:, where the product fits.
  EXPECT_FALSE(HostExists(DataDirHost() + "/korva.7z"));
  EXPECT_FALSE(HostExists(DataDirHost() + "/korva"));

  installer().WriteInstallJson(service().BaseUrl());
  ProgramRun again;
  HWND second = StartAndWaitForMainWindow(&again);
  ASSERT_NE(nullptr, second);
  ASSERT_TRUE(InstallAndClose(&again, second)) << LogText();
  EXPECT_EQ(std::string(3 << 20, 'r'), ReadHostFile(InstallDirHost() + "/数据/路由表.dat"));
  EXPECT_EQ("read me", ReadHostFile(InstallDirHost() + "/fixed/readme.txt"));
  EXPECT_TRUE(UninstallValue(L"InstallLocation", &location));
}

}  // namespace
}  // namespace testing_support
