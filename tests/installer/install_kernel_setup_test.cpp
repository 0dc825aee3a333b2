// The kernel's start: configuration, install record, installed location and
// the environment check, each in the kernel's own program directory.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <json/json.h>
#include <shellapi.h>

#include "installer/install_kernel.h"
#include "installer_test_util.h"
#include "server/update_service.h"
#include "shared/product_constants.h"
#include "shared/registry_key.h"

namespace {

using installer_test::CountOf;
using installer_test::InstallJson;
using installer_test::OwnDirectory;
using installer_test::UpdateJson;
using testing_support::HostExists;
using testing_support::WriteHostFile;

const char kPackageFile[] = "korva_main.7z";
const long long kPackageSize = 5000;

class KernelSetupTest : public ::testing::Test {
 protected:
  // Everything is prepared inside the copy of the program.
  bool Prepare(const std::string& installJson = "", bool withService = true) {
    if (!installer_test::RunInOwnDirectory()) return false;
    machine.reset(new installer_test::LoggedMachine());
    installer_test::ResetProcessObjects();
    dir = OwnDirectory();
    WriteHostFile(machine->Host("packages/") + kPackageFile, std::string(kPackageSize, 'p'));
    if (withService) {
      EXPECT_TRUE(installer_test::ServeMainPackage(service, machine->Host("packages"), kPackageFile));
    }
    WriteHostFile(dir + "/install.json", installJson.empty() ? InstallJson(service.BaseUrl()) : installJson);
    WriteHostFile(dir + "/update.json", UpdateJson(service.VersionCheckUrl()));
    WriteHostFile(dir + "/skin/skin.zip", "skin archive");
    return true;
  }
  void TearDown() override {
    service.Stop();
    installer_test::ResetProcessObjects();
  }

  KorvaInstallKernel& Kernel() { return *static_cast<KorvaInstallKernel*>(KorvaInstallKernel::Instance()); }
  std::string Log() const { return machine->Log(); }
  void Drives(long long c, long long d) {
    machine->machine.WriteConfig(R"({"drives": {"C": {"free_bytes": )" + std::to_string(c) +
                                 R"(}, "D": {"free_bytes": )" + std::to_string(d) + "}}}");
  }

  std::unique_ptr<installer_test::LoggedMachine> machine;
  testing_support::TestUpdateService service;
  std::string dir;
};

TEST_F(KernelSetupTest, InitLoadsConfigurationAndNormalisesDefaultPath) {
  if (!Prepare()) return;
  ASSERT_TRUE(Kernel().Init()) << Log();
  EXPECT_EQ(L"C:\\Program Files\\korva\\", Kernel().GetInstallPath());
  InstallConfig config = Kernel().GetConfig();
  EXPECT_EQ(L"C:\\Program Files\\korva\\", config.defaultpath);
  EXPECT_EQ(L"2.3.1", config.version);
  EXPECT_EQ(L"korva.exe", config.mainapp);
  EXPECT_EQ(2u, config.shortcuts.size());
  ASSERT_EQ(2u, config.executes.size());
  EXPECT_EQ(2, config.executes.back().stage);
  // The skin archive is backed up beside itself.
  EXPECT_TRUE(HostExists(dir + "/skin/skin_back.zip"));

  Kernel().SetInstallPath(L"D:\\Games\\");
  EXPECT_EQ(L"D:\\Games\\", Kernel().GetInstallPath());
}

TEST_F(KernelSetupTest, DefaultPathWithoutSeparatorGetsProductWordAppended) {
  if (!Prepare(R"({"defaultpath": "D:\\Games", "version": "1", "mainapp": "", "officialurl": "",
                   "url": "", "shortcut": []})")) {
    return;
  }
  ASSERT_TRUE(Kernel().Init()) << Log();
  EXPECT_EQ(L"D:\\Gameskorva\\", Kernel().GetInstallPath());
  EXPECT_TRUE(Kernel().GetConfig().executes.empty());
}

TEST_F(KernelSetupTest, InitFailsOnMissingOrMistypedConfiguration) {
  if (!Prepare(R"({"defaultpath": "C:/", "version": 2, "mainapp": "k.exe"})")) return;
  EXPECT_FALSE(Kernel().Init());
  EXPECT_EQ(1, CountOf(Log(), "GetConfigByName by string type json parse error."));
  // The fields read before the failure keep their values.
  EXPECT_EQ(L"C:\\korva\\", Kernel().GetInstallPath());

  installer_test::ResetProcessObjects();
  std::remove((dir + "/install.json").c_str());
  EXPECT_FALSE(Kernel().Init());

  installer_test::ResetProcessObjects();
  WriteHostFile(dir + "/install.json", InstallJson(service.BaseUrl()));
  std::remove((dir + "/update.json").c_str());
  EXPECT_FALSE(Kernel().Init());
}

TEST_F(KernelSetupTest, InstalledLocationFollowsTheUninstallEntry) {
  if (!Prepare("", false)) return;
  std::wstring location = L"untouched";
  EXPECT_FALSE(Kernel().GetInstalledLocation(kProductGuid, location));
  EXPECT_EQ(L"untouched", location);

  RegistryKey key(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true);
  ASSERT_TRUE(key.Open(std::wstring(kUninstallRegKey) + kProductGuid, true));
  EXPECT_TRUE(Kernel().GetInstalledLocation(kProductGuid, location));
  EXPECT_EQ(L"", location);
  key.SetString(L"InstallLocation", L"E:\\korva\\");
  key.Close();
  EXPECT_TRUE(Kernel().GetInstalledLocation(kProductGuid, location));
  EXPECT_EQ(L"E:\\korva\\", location);
}

TEST_F(KernelSetupTest, EnvironmentPassesAndCreatesTheInstallDirectory) {
  if (!Prepare()) return;
  Drives(kPackageSize + 1, kPackageSize + 1);
  testing_support::MakeHostDirs(machine->machine.dir() + "/d");
  ASSERT_TRUE(Kernel().Init());
  Kernel().SetInstallPath(L"D:\\Apps\\korva\\");
  EXPECT_EQ(kEnvOk, Kernel().CheckEnvironment()) << Log();
  EXPECT_TRUE(HostExists(machine->machine.dir() + "/d/Apps/korva"));
  EXPECT_EQ(kPackageSize, Kernel().GetMainPackageSize());
  EXPECT_EQ(std::string::npos, Log().find("not"));
}

TEST_F(KernelSetupTest, BadInstallPath) {
  if (!Prepare()) return;
  ASSERT_TRUE(Kernel().Init());
  Kernel().SetInstallPath(L"Q:\\nowhere\\");
  EXPECT_EQ(kEnvBadPath, Kernel().CheckEnvironment());
  EXPECT_EQ(1, CountOf(Log(), "install path is not valid : Q:\\nowhere\\ \r\n"));
  EXPECT_EQ(1, CountOf(Log(), "install path is invalid .\r\n"));
  EXPECT_EQ(0, CountOf(Log(), "network"));
}

TEST_F(KernelSetupTest, OfflineMachineMakesNoVersionCheck) {
  if (!Prepare()) return;
  ASSERT_TRUE(Kernel().Init());
  machine->machine.WriteConfig(R"({"network": "offline"})");
  EXPECT_EQ(kEnvNoNetwork, Kernel().CheckEnvironment());
  EXPECT_EQ(1, CountOf(Log(), "network is not ok .\r\n"));
  EXPECT_TRUE(service.RequestsTo(testing_support::kVersionCheckPath).empty());
}

TEST_F(KernelSetupTest, FreeSpaceMustExceedThePackageOnBothDrives) {
  if (!Prepare()) return;
  ASSERT_TRUE(Kernel().Init());
  Kernel().SetInstallPath(L"D:\\korva\\");
  testing_support::MakeHostDirs(machine->machine.dir() + "/d/korva");

  Drives(kPackageSize, kPackageSize + 1);
  EXPECT_EQ(kEnvNoDiskSpace, Kernel().CheckEnvironment());
  EXPECT_EQ(1, CountOf(Log(), "system disk does not have enough space : 5000 \r\n"));
  EXPECT_EQ(1, CountOf(Log(), "disk space is not enough .\r\n"));

  Drives(kPackageSize + 1, kPackageSize);
  EXPECT_EQ(kEnvNoDiskSpace, Kernel().CheckEnvironment());
  EXPECT_EQ(1, CountOf(Log(), "install disk does not have enough space : 5000\r\n"));

  // Counts above 32 bits are written in full.
  Drives(6000000000LL, 6000000001LL);
  EXPECT_EQ(kEnvOk, Kernel().CheckEnvironment());
  Drives(1, 6000000001LL);
  EXPECT_EQ(kEnvNoDiskSpace, Kernel().CheckEnvironment());
  EXPECT_EQ(1, CountOf(Log(), "system disk does not have enough space : 1 \r\n"));
  EXPECT_EQ(4, static_cast<int>(service.RequestsTo(testing_support::kVersionCheckPath).size()));
}

// Pids of the stub runs recorded in the machine directory.
std::vector<int> StubPids(const std::string& machineDir) {
  std::vector<int> pids;
  std::istringstream lines(testing_support::ReadHostFile(machineDir + "/stub-runs.jsonl"));
  std::string line;
  while (std::getline(lines, line)) {
    Json::Value run;
    if (Json::Reader().parse(line, run)) pids.push_back(run["pid"].asInt());
  }
  return pids;
}

TEST_F(KernelSetupTest, RunningMainProgramIsReported) {
  if (!Prepare()) return;
  ASSERT_TRUE(Kernel().Init());
  Drives(kPackageSize + 1, kPackageSize + 1);
  const std::string installDir = machine->Host("Program Files/korva");
  testing_support::MakeHostDirs(installDir);
  EXPECT_EQ(kEnvOk, Kernel().CheckEnvironment());  // no korva.exe at all

  std::filesystem::copy_file(std::string(KORVA_BUILD_DIR) + "/tests/korva_stub", installDir + "/korva.exe");
  EXPECT_EQ(kEnvOk, Kernel().CheckEnvironment());  // there, but not running
  WriteHostFile(installDir + "/korva.exe.stay", "");
  ShellExecuteW(NULL, L"open", L"C:\\Program Files\\korva\\korva.exe", L"", NULL, SW_SHOW);
  for (int i = 0; i < 500 && StubPids(machine->machine.dir()).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(1u, StubPids(machine->machine.dir()).size());

  EXPECT_EQ(kEnvProgramRunning, Kernel().CheckEnvironment());
  EXPECT_EQ(1, CountOf(Log(), "main program is running\r\n"));
  EXPECT_EQ(1, CountOf(Log(), "main program is in running now .\r\n"));
  for (int pid : StubPids(machine->machine.dir())) kill(pid, SIGKILL);
}

TEST_F(KernelSetupTest, FailedVersionCheckCountsAsEmptyPackage) {
  if (!Prepare()) return;
  ASSERT_TRUE(Kernel().Init());
  service.Stop();
  Drives(1, 1);
  EXPECT_EQ(kEnvOk, Kernel().CheckEnvironment());
  EXPECT_EQ(1, CountOf(Log(), "failed to get main package info, errorCode: -1 .\r\n"));
}

}  // namespace
