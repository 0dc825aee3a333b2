// The update context: the installation it finds, its configuration, the
// version checks, the product's start and the path helpers.

#include <gtest/gtest.h>

#include <shlobj.h>

#include "shared/log_writer.h"
#include "shared/system_helpers.h"
#include "shared/utc_time.h"
#include "support/far_time_zone.h"
#include "support/temp_machine.h"
#include "updater/update_context.h"
#include "updater_test_util.h"

namespace {

using testing_support::TempMachine;
using updater_test::HostOf;
using updater_test::InstallTree;

// Each test starts without the process-wide context.
class ContextTest : public ::testing::Test {
 protected:
  void SetUp() override { UpdateContext::DestroyInstance(); }
  void TearDown() override {
    UpdateContext::DestroyInstance();
    SetLogPath("");
  }
  TempMachine machine_;
};

TEST_F(ContextTest, WithoutTheUninstallEntry) {
  // Half a day from UTC, so that a log named after local time would show.
  testing_support::FarTimeZone zone;
  const std::wstring before = GetUtcTimestamp();
  UpdateContext* context = UpdateContext::Instance();
  EXPECT_EQ(context, UpdateContext::Instance());
  const std::wstring after = GetUtcTimestamp();

  EXPECT_EQ(GetShellFolder(CSIDL_PROGRAM_FILES_COMMON) + L"\\korva\\", context->GetWorkDir());
  EXPECT_TRUE(std::filesystem::is_directory(HostOf(context->GetWorkDir())));
  EXPECT_EQ(L"", context->GetInstallLocation());
  EXPECT_EQ(L"", context->GetStatisticsUrl());
  EXPECT_EQ(L"", context->GetOfficialUrl());
  EXPECT_FALSE(context->LoadUpdateConfig());

  // The log is named after the UTC time of the creation.
  WriteLog("probe");
  std::vector<std::string> logs;
  for (const auto& entry : std::filesystem::directory_iterator(HostOf(context->GetWorkDir()))) {
    logs.push_back(entry.path().filename().string());
  }
  ASSERT_EQ(1u, logs.size());
  const std::string& name = logs[0];
  ASSERT_EQ(std::string("Update").size() + 14 + std::string(".log").size(), name.size()) << name;
  ASSERT_EQ(0u, name.rfind("Update", 0)) << name;
  ASSERT_EQ(".log", name.substr(name.size() - 4)) << name;
  const std::string digits = name.substr(6, 14);
  ASSERT_EQ(std::string::npos, digits.find_first_not_of("0123456789")) << name;
  const std::wstring stamp(digits.begin(), digits.end());
  EXPECT_LE(before, stamp);
  EXPECT_GE(after, stamp);
}

TEST_F(ContextTest, ReadsTheEntryAndTheConfigurationWithForwardSlashes) {
  InstallTree tree;
  tree.WriteUninstallEntry(L"C:/Program Files/korva/");
  UpdateContext* context = UpdateContext::Instance();
  EXPECT_EQ(L"C:/Program Files/korva/", context->GetInstallLocation());
  EXPECT_EQ(win32::Utf8ToWide(tree.service.BaseUrl()), context->GetStatisticsUrl());
  EXPECT_EQ(L"https://www.korva.example/", context->GetOfficialUrl());

  ASSERT_TRUE(context->LoadUpdateConfig());
  EXPECT_EQ(win32::Utf8ToWide(tree.service.VersionCheckUrl()), context->config.updateurl);
  EXPECT_EQ(L"korva_update", context->config.updater.packagename);
  EXPECT_EQ(L"korva", context->config.main.packagename);
  EXPECT_EQ(L"korva_delta", context->config.delta.packagename);
  EXPECT_EQ(L"100", context->config.delta.version);

  testing_support::WriteHostFile(tree.Host("resources/cplus-module/update.json"), "{\"updatekorva\": 5}");
  EXPECT_FALSE(context->LoadUpdateConfig());
}

TEST_F(ContextTest, CheckVersionsAsksForBothPackages) {
  InstallTree tree;
  UpdateContext* context = UpdateContext::Instance();
  ASSERT_TRUE(context->LoadUpdateConfig());
  auto checks = [&] { return tree.service.RequestsTo(testing_support::kVersionCheckPath); };

  tree.AddRawPackage("korva", 200, "korva.7z", "main");
  EXPECT_TRUE(context->CheckVersions());
  EXPECT_TRUE(context->mainNeeded);
  EXPECT_FALSE(context->deltaNeeded);
  EXPECT_EQ(200, context->GetMainPackageInfo().versionCode);
  EXPECT_EQ(L"2.200", context->GetMainPackageInfo().versionName);
  EXPECT_EQ(win32::Utf8ToWide(tree.service.PackageUrl("korva.7z")), context->GetMainPackageInfo().downloadUrl);
  ASSERT_EQ(2u, checks().size());
  EXPECT_NE(std::string::npos, checks()[0].target.find("packageName=korva&versionCode=100"));
  EXPECT_NE(std::string::npos, checks()[1].target.find("packageName=korva_delta&versionCode=100"));

  tree.service.RemovePackage("korva");
  tree.AddRawPackage("korva_delta", 101, "delta.7z", "delta");
  EXPECT_TRUE(context->CheckVersions());
  EXPECT_FALSE(context->mainNeeded);
  EXPECT_TRUE(context->deltaNeeded);
  EXPECT_EQ(L"release 101", context->GetDeltaPackageInfo().text);

  // Anything but code 2 is "not newer", a broken reply too.
  tree.service.SetVersionReply("korva_delta", 200, "{\"code\": 2, \"data\": ");
  EXPECT_FALSE(context->CheckVersions());
  EXPECT_FALSE(context->deltaNeeded);
  EXPECT_EQ(6u, checks().size());
}

TEST(PathHelpers, ParentDirectoryAndSlashes) {
  EXPECT_EQ(L"C:\\Program Files\\korva", GetParentDirectoryNoBackslash(L"C:\\Program Files\\korva\\update\\"));
  EXPECT_EQ(L"C:\\a", GetParentDirectoryNoBackslash(L"C:\\a\\b"));
  EXPECT_EQ(L"C:\\", GetParentDirectoryNoBackslash(L"C:\\"));
  EXPECT_EQ(L"", GetParentDirectoryNoBackslash(L""));
  EXPECT_EQ(L"", GetParentDirectoryNoBackslash(L"C:\\" + std::wstring(300, L'a') + L"\\b"));

  std::wstring path = L"C:/a/b\\c/";
  ToBackslashes(path);
  EXPECT_EQ(L"C:\\a\\b\\c\\", path);
}

TEST(LaunchProduct, StartsOnlyAProgramThatIsThere) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  LaunchProduct(false);  // no korva.exe yet
  testing_support::InstallStub(tree.Host("update/launch.exe"));
  LaunchProduct(true);
  std::vector<Json::Value> runs = updater_test::WaitForStubRuns(1);
  ASSERT_EQ(1u, runs.size());
  EXPECT_EQ("C:\\Program Files\\korva\\update\\launch.exe", runs[0]["windows_path"].asString());
  EXPECT_EQ("C:\\Program Files\\korva\\update", runs[0]["windows_cwd"].asString());
  EXPECT_EQ(0u, runs[0]["args"].size());

  testing_support::InstallStub(tree.Host("update/korva.exe"));
  LaunchProduct(false);
  runs = updater_test::WaitForStubRuns(2);
  ASSERT_EQ(2u, runs.size());
  EXPECT_EQ("C:\\Program Files\\korva\\update\\korva.exe", runs[1]["windows_path"].asString());
}

}  // namespace
