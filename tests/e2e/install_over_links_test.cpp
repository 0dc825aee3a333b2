// An installation over an earlier one whose directory holds links to a
// folder outside it: the old copy goes, the links with it, and what they
// lead to stays.
#include <filesystem>
#include <string>

#include "support/e2e_installer.h"

namespace testing_support {
namespace {

namespace fs = std::filesystem;
using InstallOverLinksTest = InstallerE2eTest;

TEST_F(InstallOverLinksTest, RemovalOfTheEarlierCopyLeavesWhatItsLinksLeadTo) {
  {
    ProgramRun run;
    HWND main = StartAndWaitForMainWindow(&run);
    ASSERT_NE(nullptr, main);
    ASSERT_TRUE(InstallAndClose(&run, main));
  }
  const std::string installDir = InstallDirHost();
  const std::string outside = machine().c() + "/Users/Shared/korva-data";
  ASSERT_TRUE(HostExists(installDir + "/bin/korva.exe"));
  WriteHostFile(outside + "/profile.json", "{\"kept\": true}");
  WriteHostFile(outside + "/logs/today.log", "log");
  fs::create_directory_symlink(outside, installDir + "/bin/data");
  fs::create_symlink(outside + "/profile.json", installDir + "/profile.json");

  ProgramRun run;
  HWND main = StartAndWaitForMainWindow(&run);
  ASSERT_NE(nullptr, main);
  ASSERT_TRUE(InstallAndClose(&run, main));

  const std::string log = LogText();
  EXPECT_NE(std::string::npos, log.find("have uninstall the installed program.")) << log;
  EXPECT_EQ("{\"kept\": true}", ReadHostFile(outside + "/profile.json"));
  EXPECT_EQ("log", ReadHostFile(outside + "/logs/today.log"));
  EXPECT_FALSE(HostExists(installDir + "/bin/data"));
  EXPECT_FALSE(HostExists(installDir + "/profile.json"));
  EXPECT_TRUE(HostExists(installDir + "/bin/korva.exe"));
  EXPECT_TRUE(HostExists(installDir + "/korva.exe"));
}

}  // namespace
}  // namespace testing_support
