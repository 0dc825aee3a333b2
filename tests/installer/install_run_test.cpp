// Whole install runs of the kernel, without windows: the waiter's nested
// loop runs on the test's thread, against the test update service and a real
// 7z package.
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>
#include <shlobj.h>

#include "installer/install_kernel.h"
#include "installer/install_result.h"
#include "installer_test_util.h"
#include "internal/machine.h"
#include "internal/unicode.h"
#include "server/update_service.h"
#include "shared/product_constants.h"
#include "shared/registry_key.h"
#include "shared/system_helpers.h"
#include "support/damaged_archive.h"

namespace {

namespace fs = std::filesystem;
using installer_test::CountOf;
using installer_test::OwnDirectory;
using testing_support::HostExists;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

const char kPackageFile[] = "korva_main.7z";

std::string Utf8(const std::wstring& text) { return win32::WideToUtf8(text); }

// Host path of a Windows path of the test machine.
std::string HostOf(const std::wstring& windowsPath) { return win32::HostPathOrEmpty(windowsPath); }

std::string RunCommand(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, n);
  pclose(pipe);
  return output;
}

class InstallRunTest : public ::testing::Test {
 protected:
  bool Prepare() {
    if (!installer_test::RunInOwnDirectory()) return false;
    machine.reset(new installer_test::LoggedMachine());
    installer_test::ResetProcessObjects();
    dir = OwnDirectory();

    // The package: a small product tree.
    WriteHostFile(Host("src/korva.exe"), "main program");
    WriteHostFile(Host("src/icon.ico"), "icon");
    // The listed programs: the stub records each start.
    installer_test::PlaceStub(Host("src/bin/setup.exe"));
    installer_test::PlaceStub(Host("src/bin/cleanup.exe"));
    WriteHostFile(Host("src/resources/cplus-module/update.json"), "{}");
    testing_support::MakeHostDirs(Host("packages"));
    Pack(Host("src"), Host("packages/") + kPackageFile);

    EXPECT_TRUE(installer_test::ServeMainPackage(updates, Host("packages"), kPackageFile));
    EXPECT_TRUE(statistics.Start());

    WriteHostFile(dir + "/install.json", installer_test::InstallJson(statistics.BaseUrl()));
    WriteHostFile(dir + "/update.json", installer_test::UpdateJson(updates.VersionCheckUrl()));
    WriteHostFile(dir + "/skin/skin.zip", "skin archive");
    installer_test::InstallArchiveLibrary(dir);
    for (const wchar_t* name : RuntimeFileList) {
      if (!HostExists(dir + "/" + Utf8(name))) WriteHostFile(dir + "/" + Utf8(name), "runtime " + Utf8(name));
    }
    // The compatibility layers key exists on a real system.
    RegistryKey layers(HKEY_CURRENT_USER, KEY_ALL_ACCESS, true);
    EXPECT_TRUE(layers.Open(kAppCompatLayersKey, true));
    return true;
  }
  void TearDown() override {
    updates.Stop();
    statistics.Stop();
    installer_test::ResetProcessObjects();
  }

  static void Pack(const std::string& sourceDir, const std::string& archive) {
    std::string command = "cd '" + sourceDir + "' && 7z a -t7z '" + archive + "' . >/dev/null";
    ASSERT_EQ(0, std::system(command.c_str())) << command;
  }

  // One run as the progress window makes it, in a fresh process state.
  int RunInstall() {
    installer_test::ResetProcessObjects();
    IInstallKernel* kernel = KorvaInstallKernel::Instance();
    kernel->SetThreadUIControl(KorvaThreadUIControl::Instance());
    EXPECT_TRUE(kernel->Init()) << Log();
    InstallResult result;
    BeginInstallResult(result);
    int code = kernel->Install();
    FinishInstallResult(result, code);
    return code;
  }

  std::string Host(const std::string& relative) const { return machine->Host(relative); }
  std::string Log() const { return machine->Log(); }
  std::string InstallDir(const std::string& relative = "") const {
    return Host("Program Files/korva/" + relative);
  }
  std::wstring DataDir() const { return KorvaInstallKernel::Instance()->GetDataDir(); }
  std::string DataDirHost(const std::string& relative = "") const {
    return HostOf(DataDir()) + "/" + relative;
  }
  std::string DesktopLink() const { return HostOf(GetShellFolder(CSIDL_COMMON_DESKTOPDIRECTORY) + L"\\Korva.lnk"); }
  std::string MenuLink() const { return HostOf(GetShellFolder(CSIDL_COMMON_PROGRAMS) + L"\\Korva\\Korva.lnk"); }

  std::string LastStatisticsBody() const {
    std::vector<testing_support::StatisticsPost> posts = statistics.StatisticsPosts();
    return posts.empty() ? std::string() : posts.back().body;
  }

  std::unique_ptr<installer_test::LoggedMachine> machine;
  testing_support::TestUpdateService updates;
  testing_support::TestUpdateService statistics;
  std::string dir;
};

// Arguments of the stub runs of one program name, one entry per run.
std::vector<std::string> StubRunArgs(const std::string& machineDir, const std::string& name) {
  std::vector<std::string> runs;
  std::istringstream lines(ReadHostFile(machineDir + "/stub-runs.jsonl"));
  std::string line;
  while (std::getline(lines, line)) {
    Json::Value run;
    if (!Json::Reader().parse(line, run) || run["name"].asString() != name) continue;
    std::string args;
    for (const Json::Value& arg : run["args"]) args += (args.empty() ? "" : " ") + arg.asString();
    runs.push_back(args);
  }
  return runs;
}

// Waits a while for a started program to record its run.
std::vector<std::string> WaitForStubRuns(const std::string& machineDir, const std::string& name, size_t count) {
  std::vector<std::string> runs;
  // Generous: a loaded machine (sanitizer builds, parallel tests) starts
  // programs slowly; a passing run returns as soon as the record is there.
  for (int i = 0; i < 3000; ++i) {
    runs = StubRunArgs(machineDir, name);
    if (runs.size() >= count) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return runs;
}

std::wstring UninstallValue(const std::wstring& name) {
  RegistryKey key(HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS, true);
  if (!key.OpenForRead(std::wstring(kUninstallRegKey) + kProductGuid)) return L"<no key>";
  return key.QueryString(name);
}

std::vector<std::wstring> UninstallValueNames() {
  std::vector<std::wstring> names;
  HKEY key = nullptr;
  std::wstring path = std::wstring(kUninstallRegKey) + kProductGuid;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD length = 256;
    if (RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, length);
  }
  RegCloseKey(key);
  return names;
}

TEST_F(InstallRunTest, CompleteRun) {
  if (!Prepare()) return;
  ASSERT_EQ(kInstallOk, RunInstall()) << Log();

  // The unpacked tree and the updater folder.
  EXPECT_EQ("main program", ReadHostFile(InstallDir("korva.exe")));
  EXPECT_TRUE(HostExists(InstallDir("bin/cleanup.exe")));
  // The stage-1 program ran, the stage-2 one did not.
  EXPECT_EQ(std::vector<std::string>{"/init"}, WaitForStubRuns(machine->machine.dir(), "setup.exe", 1));
  EXPECT_TRUE(StubRunArgs(machine->machine.dir(), "cleanup.exe").empty());
  EXPECT_EQ("skin archive", ReadHostFile(InstallDir("update/skin/skin.zip")));
  for (const wchar_t* name : RuntimeFileList) {
    EXPECT_TRUE(HostExists(InstallDir("update/" + Utf8(name)))) << Utf8(name);
  }

  // The uninstall entry: ten values in their order.
  std::vector<std::wstring> expectedNames = {L"DisplayIcon", L"DisplayName", L"DisplayVersion",
                                             L"HelpLink", L"OfficialUrl", L"InstallDate",
                                             L"InstallLocation", L"Publisher", L"UninstallString",
                                             L"Url"};
  EXPECT_EQ(expectedNames, UninstallValueNames());
  EXPECT_EQ(L"C:\\Program Files\\korva\\icon.ico", UninstallValue(L"DisplayIcon"));
  EXPECT_EQ(L"Korva2.3.1", UninstallValue(L"DisplayName"));
  EXPECT_EQ(L"2.3.1", UninstallValue(L"DisplayVersion"));
  EXPECT_EQ(std::wstring(kOfficialHost), UninstallValue(L"HelpLink"));
  EXPECT_EQ(L"https://www.korva.example/", UninstallValue(L"OfficialUrl"));
  EXPECT_EQ(10u, UninstallValue(L"InstallDate").size());
  EXPECT_EQ(L"C:\\Program Files\\korva\\", UninstallValue(L"InstallLocation"));
  EXPECT_EQ(L"Hollin", UninstallValue(L"Publisher"));
  EXPECT_EQ(L"C:\\Program Files\\korva\\update\\unins.exe", UninstallValue(L"UninstallString"));
  EXPECT_EQ(win32::Utf8ToWide(statistics.BaseUrl()), UninstallValue(L"Url"));

  // Shortcuts that another program can read, starting the launcher.
  for (const std::string& link : {DesktopLink(), MenuLink()}) {
    ASSERT_TRUE(HostExists(link)) << link;
    std::string info = RunCommand("lnkinfo '" + link + "' 2>&1");
    EXPECT_NE(std::string::npos, info.find("update\\launch.exe")) << info;
  }

  // The record lists the stage-2 program and both shortcuts.
  std::string record = ReadHostFile(DataDirHost("KorvaInstall.dat"));
  EXPECT_NE(std::string::npos, record.find("[5D2A7E41-3C86-4B19-9F07-A1E4C6B3D852]")) << record;
  EXPECT_NE(std::string::npos, record.find("bin/cleanup.exe;/quiet=EXECUTE")) << record;
  EXPECT_NE(std::string::npos, record.find("Korva.lnk=LNK")) << record;
  EXPECT_EQ(2, CountOf(record, "=LNK"));

  RegistryKey layers(HKEY_CURRENT_USER, KEY_ALL_ACCESS, true);
  ASSERT_TRUE(layers.Open(kAppCompatLayersKey, false));
  EXPECT_EQ(L"~ WIN7RTM", layers.QueryString(L"C:\\Program Files\\korva\\korva.exe"));

  // Nothing of the download is left.
  EXPECT_FALSE(HostExists(DataDirHost(kPackageFile)));
  EXPECT_FALSE(HostExists(DataDirHost("korva_main")));

  // One statistics record, fields in order, the text as UTF-8.
  ASSERT_EQ(1u, statistics.StatisticsPosts().size());
  std::string body = LastStatisticsBody();
  size_t mac = body.find("macAddress=");
  size_t stage = body.find("&stage=0&errorCode=0&errorMsg=安装成功&startedAt=");
  size_t ended = body.find("&endedAt=");
  EXPECT_EQ(0u, mac) << body;
  EXPECT_NE(std::string::npos, stage) << body;
  EXPECT_NE(std::string::npos, ended) << body;
  EXPECT_LT(stage, ended);

  std::string log = Log();
  for (const char* line :
       {"start to download package .", "download package complete .", "start to unzip package .",
        "unzip package complete .", "run external program complete .",
        "write uninstall guid info success .", "generate shortcut of program complete .",
        "regist compatible for korva success.", "delete temp files and directories complete .",
        "finish to upload install result."}) {
    EXPECT_EQ(1, CountOf(log, std::string(line) + "\r\n")) << line << "\n" << log;
  }
  EXPECT_EQ(0, CountOf(log, "check this machine have installed program."));
  EXPECT_EQ(2, CountOf(log, "out of thread"));
  EXPECT_EQ(100, GetInstallProgress()->GetPercent());
}

TEST_F(InstallRunTest, SecondRunRemovesTheFirst) {
  if (!Prepare()) return;
  ASSERT_EQ(kInstallOk, RunInstall()) << Log();
  WriteHostFile(InstallDir("stale.txt"), "left by the first installation");
  ASSERT_TRUE(HostExists(DesktopLink()));

  // The second installer creates no desktop shortcut.
  std::string config = installer_test::InstallJson(statistics.BaseUrl());
  config.replace(config.find(R"({"id": "desktop")"), std::string(R"({"id": "desktop")").size(),
                 R"({"id": "none")");
  WriteHostFile(dir + "/install.json", config);
  ASSERT_EQ(kInstallOk, RunInstall()) << Log();

  std::string log = Log();
  EXPECT_EQ(1, CountOf(log, "check this machine have installed program.\r\n"));
  EXPECT_EQ(1, CountOf(log, "have uninstall the installed program.\r\n"));
  EXPECT_EQ(1, CountOf(log, "run external execute complete.\r\n"));
  // The removal ran the recorded clean-up program of the first installation.
  EXPECT_EQ(std::vector<std::string>{"/quiet"}, WaitForStubRuns(machine->machine.dir(), "cleanup.exe", 1));
  EXPECT_FALSE(HostExists(InstallDir("stale.txt")));
  EXPECT_FALSE(HostExists(DesktopLink()));
  EXPECT_TRUE(HostExists(MenuLink()));
  EXPECT_EQ(L"C:\\Program Files\\korva\\", UninstallValue(L"InstallLocation"));
  // The entries loaded at start stay in the new record.
  std::string record = ReadHostFile(DataDirHost("KorvaInstall.dat"));
  EXPECT_EQ(2, CountOf(record, "=LNK")) << record;
  EXPECT_EQ(1, CountOf(record, "=EXECUTE")) << record;
}

// Forwards to the installer's waiter and notes, as each wait begins (its
// worker has just started), whether a path of the earlier installation is
// still there.
class WatchingWaiter final : public IThreadUIControl {
 public:
  explicit WatchingWaiter(const std::string& watched) : watched_(watched) {}
  void RunMessageLoop() override {
    oldPathAtEachWait.push_back(HostExists(watched_));
    KorvaThreadUIControl::Instance()->RunMessageLoop();
  }
  void StopMessageLoop() override { KorvaThreadUIControl::Instance()->StopMessageLoop(); }
  void ResetMessageLoop() override { KorvaThreadUIControl::Instance()->ResetMessageLoop(); }

  std::vector<bool> oldPathAtEachWait;

 private:
  std::string watched_;
};

// A quit already queued ends the wait for the deletion of the earlier copy;
// still no other worker starts before the deletion is over, and the new copy
// is whole.
TEST_F(InstallRunTest, QuitDuringTheRemovalStillInstallsAWholeCopy) {
  if (!Prepare()) return;
  ASSERT_EQ(kInstallOk, RunInstall()) << Log();
  // Enough files to keep the deletion busy, listed before the product's own.
  installer_test::WriteManyFiles(InstallDir("aaa"), 3000);
  WriteHostFile(InstallDir("korva.exe"), "old main program");

  installer_test::ResetProcessObjects();
  WatchingWaiter waiter(InstallDir("aaa"));
  IInstallKernel* kernel = KorvaInstallKernel::Instance();
  kernel->SetThreadUIControl(&waiter);
  ASSERT_TRUE(kernel->Init()) << Log();
  PostQuitMessage(0);
  ASSERT_EQ(kInstallOk, kernel->Install()) << Log();

  // The deletion, then the download and the unpacking, one after the other.
  EXPECT_EQ((std::vector<bool>{true, false, false}), waiter.oldPathAtEachWait);
  EXPECT_EQ("main program", ReadHostFile(InstallDir("korva.exe")));
  for (const char* file : {"icon.ico", "bin/setup.exe", "bin/cleanup.exe", "resources/cplus-module/update.json"}) {
    EXPECT_TRUE(HostExists(InstallDir(file))) << file;
  }
  for (const wchar_t* name : RuntimeFileList) {
    EXPECT_TRUE(HostExists(InstallDir("update/" + Utf8(name)))) << Utf8(name);
  }
  EXPECT_FALSE(HostExists(InstallDir("aaa")));
  EXPECT_EQ(1, CountOf(Log(), "wait for the worker thread to finish .\r\n"));
}

TEST_F(InstallRunTest, ServiceDown) {
  if (!Prepare()) return;
  updates.Stop();
  EXPECT_EQ(kInstallDownloadFailed, RunInstall());
  EXPECT_EQ(1, CountOf(Log(), "failed to get main package info, errorCode: -1 .\r\n"));
  EXPECT_NE(std::string::npos, LastStatisticsBody().find("&errorCode=1&errorMsg=下载失败&"));
  EXPECT_EQ(L"<no key>", UninstallValue(L"InstallLocation"));
}

TEST_F(InstallRunTest, CutDownloadResumesOnTheNextRun) {
  if (!Prepare()) return;
  const long long size = static_cast<long long>(fs::file_size(Host("packages/") + kPackageFile));
  testing_support::DownloadFaults faults;
  faults.dropAfterBytes = size / 2;
  updates.SetFaults(kPackageFile, faults);
  EXPECT_EQ(kInstallDownloadFailed, RunInstall());
  EXPECT_EQ(1, CountOf(Log(), "failed to download the main package.\r\n"));
  EXPECT_NE(std::string::npos, LastStatisticsBody().find("&errorCode=1&errorMsg=下载失败&"));
  ASSERT_TRUE(HostExists(DataDirHost(kPackageFile)));
  EXPECT_LT(static_cast<long long>(fs::file_size(DataDirHost(kPackageFile))), size);

  updates.ClearFaults();
  ASSERT_EQ(kInstallOk, RunInstall()) << Log();
  auto downloads = updates.RequestsTo(std::string(testing_support::kPackagesPath) + kPackageFile);
  ASSERT_EQ(2u, downloads.size());
  EXPECT_EQ("", downloads[0].header("Range"));
  EXPECT_EQ(0u, downloads[1].header("Range").find("bytes="));
  EXPECT_EQ("main program", ReadHostFile(InstallDir("korva.exe")));
}

TEST_F(InstallRunTest, WrongDigestDeletesThePackage) {
  if (!Prepare()) return;
  testing_support::DownloadFaults faults;
  faults.corruptMd5 = true;
  updates.SetFaults(kPackageFile, faults);
  EXPECT_EQ(kInstallDownloadFailed, RunInstall());
  EXPECT_EQ(1, CountOf(Log(), "the downloaded package is damaged .\r\n"));
  EXPECT_NE(std::string::npos, LastStatisticsBody().find("&errorCode=1&errorMsg=下载失败&"));
  EXPECT_FALSE(HostExists(DataDirHost(kPackageFile)));

  // The next run starts the download afresh and succeeds.
  updates.ClearFaults();
  ASSERT_EQ(kInstallOk, RunInstall()) << Log();
  auto downloads = updates.RequestsTo(std::string(testing_support::kPackagesPath) + kPackageFile);
  ASSERT_EQ(2u, downloads.size());
  EXPECT_EQ("", downloads[1].header("Range"));
}

TEST_F(InstallRunTest, DamagedArchive) {
  if (!Prepare()) return;
  const std::string good = ReadHostFile(Host("packages/") + kPackageFile);
  WriteHostFile(Host("packages/") + kPackageFile, good.substr(0, good.size() / 2));
  EXPECT_EQ(kInstallUnzipFailed, RunInstall());
  EXPECT_EQ(1, CountOf(Log(), "SevenZip Extract Error\r\n"));
  EXPECT_EQ(1, CountOf(Log(), "fail to unzip the package.\r\n"));
  EXPECT_NE(std::string::npos, LastStatisticsBody().find("&errorCode=2&errorMsg=解压失败&"));
  // A package that does not unpack is of no use to the next run.
  EXPECT_FALSE(HostExists(DataDirHost(kPackageFile)));
  EXPECT_FALSE(HostExists(DataDirHost("korva_main")));

  // The service has a good package again: the next run fetches it whole and installs.
  WriteHostFile(Host("packages/") + kPackageFile, good);
  ASSERT_EQ(kInstallOk, RunInstall()) << Log();
  auto downloads = updates.RequestsTo(std::string(testing_support::kPackagesPath) + kPackageFile);
  ASSERT_EQ(2u, downloads.size());
  EXPECT_EQ("", downloads[1].header("Range"));
  EXPECT_EQ("main program", ReadHostFile(InstallDir("korva.exe")));
}

TEST_F(InstallRunTest, DamagedItemInAPackageWithTheAnnouncedDigest) {
  if (!Prepare()) return;
  // The service announces the digest of the damaged file: only unpacking can tell.
  ASSERT_FALSE(testing_support::DamagePackedData(Host("packages/") + kPackageFile, "bin/cleanup.exe").empty());
  EXPECT_EQ(kInstallUnzipFailed, RunInstall());
  EXPECT_EQ(1, CountOf(Log(), "SevenZip Extract Error\r\n"));
  EXPECT_EQ(1, CountOf(Log(), "fail to unzip the package.\r\n"));
  EXPECT_NE(std::string::npos, LastStatisticsBody().find("&errorCode=2&errorMsg=解压失败&"));
  // Nothing of the package reaches the install directory, and neither the
  // package nor what was unpacked before the damaged item stays.
  for (const char* file : {"korva.exe", "icon.ico", "bin/setup.exe", "bin/cleanup.exe",
                           "resources/cplus-module/update.json"}) {
    EXPECT_FALSE(HostExists(InstallDir(file))) << file;
  }
  EXPECT_FALSE(HostExists(DataDirHost("korva_main")));
  EXPECT_FALSE(HostExists(DataDirHost(kPackageFile)));
}

TEST_F(InstallRunTest, MissingRuntimeFile) {
  if (!Prepare()) return;
  fs::remove(dir + "/libcurl.dll");
  EXPECT_EQ(kInstallCopyFailed, RunInstall());
  EXPECT_EQ(1, CountOf(Log(), "fail to copy: libcurl.dll, LastError: 2\r\n"));
  EXPECT_NE(std::string::npos, LastStatisticsBody().find("&errorCode=6&errorMsg=拷贝文件失败&"));
  bool before = true;
  for (const wchar_t* name : RuntimeFileList) {
    if (std::wstring(name) == L"libcurl.dll") before = false;
    EXPECT_EQ(before, HostExists(InstallDir("update/" + Utf8(name)))) << Utf8(name);
  }
  EXPECT_TRUE(HostExists(DataDirHost(kPackageFile)));
}

}  // namespace
