// The main and delta packages reach the install directory as one whole:
// unpacked into a staging folder of the updater's directory, on the install
// tree's volume, then moved into place as a transaction that is undone when
// any step fails, and by the next run when the updater was killed.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <shellapi.h>
#include <shlobj.h>

#include "shared/system_helpers.h"
#include "shared/text_convert.h"
#include "support/e2e_process.h"
#include "support/small_volume.h"
#include "updater/self_update.h"
#include "updater/update_context.h"
#include "updater/update_progress.h"
#include "updater_test_util.h"

namespace {

using testing_support::HostExists;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;
using updater_test::InstallPlace;
using updater_test::InstallTree;
using updater_test::OwnerWindow;
using updater_test::TreeSnapshot;
using Snapshot = std::map<std::string, std::string>;
namespace fs = std::filesystem;

const char kConfig[] = "resources/cplus-module/update.json";

bool Has(const std::string& text, const std::string& line) { return text.find(line) != std::string::npos; }

// The installed updater's context with its versions checked, posting to
// owner; null when the configuration or the check fails.
UpdateContext* CheckedContext(OwnerWindow* owner) {
  UpdateContext* context = UpdateContext::Instance();
  if (!context->LoadUpdateConfig() || !context->CheckVersions()) return nullptr;
  context->owner = owner;
  return context;
}

bool IsReadOnly(const std::string& host) {
  DWORD attributes = GetFileAttributesW(win32::ToWindowsPath(host).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

// The updater's own folders that a finished step leaves nothing in.
void ExpectNoStagingOrBackup(const InstallTree& tree) {
  EXPECT_FALSE(HostExists(tree.Host("update/update_korva")));
  EXPECT_FALSE(HostExists(tree.Host("update/update_korvadelta")));
  EXPECT_FALSE(HostExists(tree.Host("update/package_backup")));
}

// The product as installed at `version`: every file of `files`, and an
// update.json naming that main version.
std::map<std::string, std::string> VersionFiles(const InstallTree& tree, int version,
                                                std::map<std::string, std::string> files) {
  files[kConfig] = tree.ProductConfigText(100, version, 100);
  return files;
}

void WriteFiles(const InstallTree& tree, const std::map<std::string, std::string>& files) {
  for (const auto& file : files) WriteHostFile(tree.Host(file.first), file.second);
}

void ExpectFiles(const InstallTree& tree, const std::map<std::string, std::string>& files) {
  for (const auto& file : files) EXPECT_EQ(file.second, ReadHostFile(tree.Host(file.first))) << file.first;
}

// Publishes `fresh` as the main package 200 and applies it: it must go in.
void ApplyFreshMainPackage(InstallTree& tree, const std::map<std::string, std::string>& fresh) {
  tree.AddPackage("korva", 200, "korva.7z", fresh);
  OwnerWindow owner;
  UpdateContext* context = CheckedContext(&owner);
  ASSERT_NE(nullptr, context);
  EXPECT_EQ(kUpdateOk, context->ApplyMainPackage()) << tree.Log();
  ExpectFiles(tree, fresh);
}

// Applies the main package while a reader holds `held` without sharing its
// deletion, as the product's own readers do; the step's result.
int ApplyWhileHeld(UpdateContext* context, const std::wstring& held) {
  HANDLE reader =
      CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
  EXPECT_NE(INVALID_HANDLE_VALUE, reader);
  const int result = context->ApplyMainPackage();
  if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
  return result;
}

TEST(PackageStaging, NewFilesReplaceTheInstalledOnesAndReadOnlyItemsBlockNoLaterRun) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  WriteHostFile(tree.Host("korva.exe"), "old main");
  WriteHostFile(tree.Host("kept.txt"), "kept");
  WriteHostFile(tree.Host("resources/locked.cfg"), "old config");
  SetFileAttributesW(L"C:\\Program Files\\korva\\resources\\locked.cfg", FILE_ATTRIBUTE_READONLY);
  ASSERT_TRUE(IsReadOnly(tree.Host("resources/locked.cfg")));
  // Left by a run that was closed during its extraction, read-only too.
  WriteHostFile(tree.Host("update/update_korvadelta/stale.txt"), "half of an old package");
  SetFileAttributesW(win32::ToWindowsPath(tree.Host("update/update_korvadelta/stale.txt")).c_str(),
                     FILE_ATTRIBUTE_READONLY);
  ASSERT_TRUE(IsReadOnly(tree.Host("update/update_korvadelta/stale.txt")));
  // A read-only folder and read-only files in the package itself.
  tree.AddPackage("korva_delta", 300, "delta.7z",
                  {{"korva.exe", "new main"},
                   {"resources/locked.cfg", "new config"},
                   {"plugins/new/深层/p.dll", "plugin"},
                   {"fixed/readme.txt", "read me"}},
                  {"fixed/readme.txt", "fixed", "korva.exe"});
  OwnerWindow owner;
  UpdateContext* context = CheckedContext(&owner);
  ASSERT_NE(nullptr, context);

  EXPECT_EQ(kUpdateOk, context->ApplyDeltaPackage());
  EXPECT_EQ("new main", ReadHostFile(tree.Host("korva.exe")));
  EXPECT_TRUE(IsReadOnly(tree.Host("korva.exe")));
  EXPECT_EQ("new config", ReadHostFile(tree.Host("resources/locked.cfg")));
  EXPECT_EQ("plugin", ReadHostFile(tree.Host("plugins/new/深层/p.dll")));
  EXPECT_EQ("read me", ReadHostFile(tree.Host("fixed/readme.txt")));
  EXPECT_EQ("kept", ReadHostFile(tree.Host("kept.txt")));
  EXPECT_FALSE(HostExists(tree.Host("stale.txt")));
  EXPECT_FALSE(HostExists(tree.WorkHost("update_korvadelta.7z")));
  ExpectNoStagingOrBackup(tree);
  EXPECT_TRUE(Has(tree.Log(), "unzip update_korvadelta.7z success."));

  // The next package replaces the read-only files the last one brought.
  tree.AddPackage("korva_delta", 301, "delta-next.7z", {{"korva.exe", "newer main"}, {"fixed/readme.txt", "newer"}},
                  {"fixed"});
  ASSERT_TRUE(context->CheckVersions());
  EXPECT_EQ(kUpdateOk, context->ApplyDeltaPackage());
  EXPECT_EQ("newer main", ReadHostFile(tree.Host("korva.exe")));
  EXPECT_EQ("newer", ReadHostFile(tree.Host("fixed/readme.txt")));
  ExpectNoStagingOrBackup(tree);
}

// A main package packed from a read-only tree: every file it places is
// read-only, its update.json too, which still takes the version written
// back. A later package that fails at its last file puts the read-only
// originals back as they were, flags and all; once it can, it replaces them.
TEST(PackageStaging, AReadOnlyMainPackageGoesInWholeAndIsReplacedOrPutBackWhole) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  WriteFiles(tree, VersionFiles(tree, 100, {{"korva.exe", "main 100"}, {"data/a.txt", "a 100"}}));
  const auto v200 = VersionFiles(tree, 200, {{"korva.exe", "main 200"}, {"data/a.txt", "a 200"}, {"data/b.txt", "b 200"}});
  tree.AddPackage("korva", 200, "korva-200.7z", v200, {"korva.exe", "data/a.txt", "data/b.txt", kConfig});
  OwnerWindow owner;
  UpdateContext* context = CheckedContext(&owner);
  ASSERT_NE(nullptr, context);
  const std::wstring config = L"C:\\Program Files\\korva\\resources\\cplus-module\\update.json";

  EXPECT_EQ(kUpdateOk, context->ApplyMainPackage()) << tree.Log();
  ExpectFiles(tree, v200);
  for (const char* file : {"korva.exe", "data/a.txt", "data/b.txt", kConfig}) EXPECT_TRUE(IsReadOnly(tree.Host(file)));
  EXPECT_TRUE(WritePackageVersion(config, L"updatekorva", 200));
  context->ReleasePackageLock();
  Json::Value written;
  ASSERT_TRUE(Json::Reader().parse(ReadHostFile(tree.Host(kConfig)), written));
  EXPECT_EQ("200", written["updatekorva"]["version"].asString());
  ExpectNoStagingOrBackup(tree);

  // Version 300 replaces every read-only file, then cannot move update.json,
  // which a reader holds without sharing its deletion: undone.
  const auto v300 = VersionFiles(tree, 300, {{"korva.exe", "main 300"}, {"data/a.txt", "a 300"}, {"data/c.txt", "c 300"}});
  tree.AddPackage("korva", 300, "korva-300.7z", v300, {"data/c.txt"});
  ASSERT_TRUE(context->CheckVersions());
  const Snapshot installed = TreeSnapshot(tree.Host(""));
  EXPECT_EQ(kUpdateUnzipFailed, ApplyWhileHeld(context, config));
  EXPECT_EQ(installed, TreeSnapshot(tree.Host("")));
  for (const char* file : {"korva.exe", "data/a.txt", "data/b.txt"}) EXPECT_TRUE(IsReadOnly(tree.Host(file))) << file;

  EXPECT_EQ(kUpdateOk, context->ApplyMainPackage()) << tree.Log();
  context->ReleasePackageLock();
  ExpectFiles(tree, v300);
  EXPECT_EQ("b 200", ReadHostFile(tree.Host("data/b.txt")));
  EXPECT_FALSE(IsReadOnly(tree.Host("korva.exe")) || IsReadOnly(tree.Host("data/a.txt")));
  EXPECT_TRUE(IsReadOnly(tree.Host("data/c.txt")));
  ExpectNoStagingOrBackup(tree);
}

// Installed hidden and system files, the record among them: a main package
// replaces them, and a step that is undone puts them back with their flags.
TEST(PackageStaging, HiddenAndSystemFilesAreReplacedOrPutBackWithTheirFlags) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  const DWORD hidden = FILE_ATTRIBUTE_HIDDEN, system = FILE_ATTRIBUTE_SYSTEM;
  auto flags = [&](const std::string& file) {
    return GetFileAttributesW(win32::ToWindowsPath(tree.Host(file)).c_str()) & (hidden | system);
  };
  const std::map<std::string, DWORD> flagged = {{"korva.exe", system}, {"data/a.txt", hidden},
                                                {kConfig, hidden | system}};
  WriteFiles(tree, VersionFiles(tree, 100, {{"korva.exe", "main 100"}, {"data/a.txt", "a 100"}}));
  for (const auto& file : flagged)
    ASSERT_TRUE(SetFileAttributesW(win32::ToWindowsPath(tree.Host(file.first)).c_str(), file.second));
  const auto v200 = VersionFiles(tree, 200, {{"korva.exe", "main 200"}, {"data/a.txt", "a 200"}, {"data/b.txt", "b 200"}});
  tree.AddPackage("korva", 200, "korva-200.7z", v200);
  OwnerWindow owner;
  UpdateContext* context = CheckedContext(&owner);
  ASSERT_NE(nullptr, context);
  const std::wstring config = L"C:\\Program Files\\korva\\resources\\cplus-module\\update.json";

  // The record is held without sharing its deletion: undone.
  const Snapshot installed = TreeSnapshot(tree.Host(""));
  EXPECT_EQ(kUpdateUnzipFailed, ApplyWhileHeld(context, config));
  EXPECT_EQ(installed, TreeSnapshot(tree.Host("")));
  for (const auto& file : flagged) EXPECT_EQ(file.second, flags(file.first)) << file.first;

  EXPECT_EQ(kUpdateOk, context->ApplyMainPackage()) << tree.Log();
  ExpectFiles(tree, v200);
  for (const char* file : {"korva.exe", "data/a.txt", "data/b.txt", kConfig}) EXPECT_EQ(0u, flags(file)) << file;
  // The record written back stays hidden when it was made so.
  ASSERT_TRUE(SetFileAttributesW(config.c_str(), hidden));
  EXPECT_TRUE(WritePackageVersion(config, L"updatekorva", 200));
  context->ReleasePackageLock();
  EXPECT_EQ(hidden, flags(kConfig));
  ExpectNoStagingOrBackup(tree);
}

// A file of the package that cannot take its place, wherever it comes in
// the move (the first file, one in the middle, update.json last): the step
// fails, and the install tree is byte for byte what it was.
TEST(PackageStaging, AFileThatCannotBeMovedFailsTheStep) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  const std::map<std::string, std::string> old = VersionFiles(
      tree, 100, {{"a-first.txt", "old a"}, {"m-middle.txt", "old m"}, {"z-last.txt", "old z"}, {"bin/tool.exe", "t"}});
  WriteFiles(tree, old);
  const std::map<std::string, std::string> fresh = VersionFiles(
      tree, 200,
      {{"a-first.txt", "new a"}, {"m-middle.txt", "new m"}, {"z-last.txt", "new z"}, {"new/folder/n.txt", "new n"}});
  tree.AddPackage("korva", 200, "korva.7z", fresh);
  const Snapshot installed = TreeSnapshot(tree.Host(""));
  OwnerWindow owner;
  UpdateContext* context = CheckedContext(&owner);
  ASSERT_NE(nullptr, context);

  for (const std::string& blocked : std::vector<std::string>{"a-first.txt", "m-middle.txt", kConfig}) {
    SCOPED_TRACE(blocked);
    // Another program holds the installed file open without sharing it.
    std::wstring path = win32::ToWindowsPath(tree.Host(blocked));
    HANDLE holder = CreateFileW(path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    EXPECT_EQ(kUpdateUnzipFailed, context->ApplyMainPackage());
    CloseHandle(holder);
    const std::string log = tree.Log();
    EXPECT_EQ(1, updater_test::CountOf(log, "fail to move " + WideToAnsi(path) + " into the install directory, "
                                                                                 "lastError: 32 ."));
    EXPECT_TRUE(Has(log, "fail to unzip update_korva.7z."));
    EXPECT_FALSE(Has(log, "unzip update_korva.7z success."));
    EXPECT_EQ(installed, TreeSnapshot(tree.Host("")));
    EXPECT_EQ(old.at(kConfig), ReadHostFile(tree.Host(kConfig)));
    EXPECT_FALSE(HostExists(tree.WorkHost("update_korva.7z")));
  }

  // A folder where the package has a file is never replaced.
  tree.AddPackage("korva", 200, "korva-blocked.7z", VersionFiles(tree, 200, {{"a-first.txt", "new a"}, {"bin", "x"}}));
  ASSERT_TRUE(context->CheckVersions());
  EXPECT_EQ(kUpdateUnzipFailed, context->ApplyMainPackage());
  EXPECT_TRUE(Has(tree.Log(), "fail to move C:\\Program Files\\korva\\bin into the install directory, lastError: 5 ."));
  EXPECT_EQ(installed, TreeSnapshot(tree.Host("")));

  // Nothing held: the same package goes in whole.
  tree.AddPackage("korva", 200, "korva.7z", fresh);
  ASSERT_TRUE(context->CheckVersions());
  EXPECT_EQ(kUpdateOk, context->ApplyMainPackage());
  ExpectFiles(tree, fresh);
  ExpectNoStagingOrBackup(tree);
}

// The user closes the window while the package unpacks: the step gives up,
// and the worker that goes on unpacks into the staging folder only.
TEST(PackageStaging, ClosingDuringTheExtractionLeavesTheProductAlone) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  WriteHostFile(tree.Host("korva.exe"), "old main");
  std::map<std::string, std::string> package;
  for (int i = 0; i < 40; ++i) package["data/file" + std::to_string(i) + ".bin"] = updater_test::NoiseBytes(256 * 1024, i);
  package["korva.exe"] = "new main";
  tree.AddPackage("korva", 200, "korva.7z", package);
  auto withoutStaging = [&] {
    Snapshot snapshot = TreeSnapshot(tree.Host(""));
    for (auto it = snapshot.begin(); it != snapshot.end();) {
      it = it->first.rfind("update/update_korva", 0) == 0 ? snapshot.erase(it) : std::next(it);
    }
    return snapshot;
  };
  const Snapshot installed = withoutStaging();

  updater_test::QuittingOwner owner;
  UpdateContext* context = CheckedContext(&owner);
  ASSERT_NE(nullptr, context);
  EXPECT_EQ(kUpdateUnzipFailed, context->ApplyMainPackage());
  EXPECT_TRUE(Has(tree.Log(), "fail to unzip update_korva.7z."));

  // The abandoned worker finishes its extraction where it was sent.
  const std::string staging = tree.Host("update/update_korva");
  EXPECT_TRUE(testing_support::WaitUntil(
      [&] { return ReadHostFile(staging + "/data/file39.bin").size() == 256 * 1024; }, 20000));
  Sleep(200);
  EXPECT_EQ(installed, withoutStaging());

  // The next run starts from a clean staging folder.
  WriteHostFile(staging + "/stale.txt", "left by the abandoned run");
  tree.AddPackage("korva", 201, "korva-small.7z", {{"korva.exe", "newer main"}});
  ASSERT_TRUE(context->CheckVersions());
  OwnerWindow next;
  context->owner = &next;
  EXPECT_EQ(kUpdateOk, context->ApplyMainPackage());
  EXPECT_EQ("newer main", ReadHostFile(tree.Host("korva.exe")));
  EXPECT_FALSE(HostExists(tree.Host("stale.txt")));
  EXPECT_FALSE(HostExists(tree.Host("data")));
  ExpectNoStagingOrBackup(tree);
}

// The product on a drive of its own: D:, with room for the installed tree
// and little more. The package is unpacked there, so it fails before any
// installed file is touched.
TEST(PackageStaging, TooLittleRoomOnTheInstallDriveLeavesTheTreeUnchanged) {
  InstallPlace place;
  place.location = L"D:\\korva\\";
  place.host = "/d/korva";
  std::unique_ptr<testing_support::SmallVolume> drive;
  place.prepare = [&](const std::string& machine) {
    // The updater (this program) and 7z.dll, and 1 MB.
    const auto size = fs::file_size("/proc/self/exe") + fs::file_size(KORVA_DIST_DIR "/7z.dll") + (1u << 20);
    drive.reset(new testing_support::SmallVolume(machine + "/d", size));
  };
  if (!updater_test::RunAsInstalledUpdater(nullptr, place)) return;
  InstallTree tree(true, place);
  WriteFiles(tree, VersionFiles(tree, 100, {{"korva.exe", "old main"}, {"数据/路由表.dat", "old routes"}}));
  tree.AddPackage("korva", 200, "korva.7z",
                  VersionFiles(tree, 200,
                               {{"korva.exe", "new main"}, {"数据/路由表.dat", updater_test::NoiseBytes(3 << 20)}}));
  const Snapshot installed = TreeSnapshot(tree.Host(""));
  OwnerWindow owner;
  UpdateContext* context = CheckedContext(&owner);
  ASSERT_NE(nullptr, context);

  EXPECT_EQ(kUpdateUnzipFailed, context->ApplyMainPackage());
  EXPECT_TRUE(Has(tree.Log(), "fail to unzip update_korva.7z."));
  EXPECT_EQ(installed, TreeSnapshot(tree.Host("")));
  EXPECT_EQ("old routes", ReadHostFile(tree.Host("数据/路由表.dat")));
}

// The work folder on C: has room for the package's archive only: the
// package is unpacked and moved on D:, where the product is, without one
// copy between the drives.
TEST(PackageStaging, StagingLiesOnTheInstallDrive) {
  InstallPlace place;
  place.location = L"D:\\korva\\";
  place.host = "/d/korva";
  std::unique_ptr<testing_support::SmallVolume> workFolder;
  place.prepare = [&](const std::string&) {
    const std::string work = updater_test::HostOf(GetShellFolder(CSIDL_PROGRAM_FILES_COMMON) + L"\\korva");
    ASSERT_FALSE(work.empty());
    workFolder.reset(new testing_support::SmallVolume(work, 3 << 20));
  };
  if (!updater_test::RunAsInstalledUpdater(nullptr, place)) return;
  InstallTree tree(true, place);
  WriteFiles(tree, VersionFiles(tree, 100, {{"korva.exe", "old main"}}));
  ApplyFreshMainPackage(
      tree, VersionFiles(tree, 200, {{"korva.exe", "new main"}, {"big.bin", updater_test::NoiseBytes(2 << 20)}}));
  ExpectNoStagingOrBackup(tree);
}

// korva.exe runs while its package is applied: its file is renamed aside,
// as Windows allows, and the new one takes its place. The old image stays
// in the backup folder until it can go; the next run deletes it.
TEST(PackageStaging, ARunningProgramIsReplacedWithTheRest) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  testing_support::InstallStub(tree.Host("korva.exe"));
  WriteHostFile(tree.Host("korva.exe.stay"), "");
  WriteFiles(tree, VersionFiles(tree, 100, {{"数据/路由表.dat", "old routes"}}));
  ASSERT_GT(reinterpret_cast<INT_PTR>(ShellExecuteW(NULL, L"open", L"C:\\Program Files\\korva\\korva.exe", L"", NULL,
                                                    SW_SHOW)),
            32);
  const std::vector<Json::Value> runs = updater_test::WaitForStubRuns(1);
  ASSERT_EQ(1u, runs.size());
  const auto fresh = VersionFiles(tree, 200, {{"korva.exe", "new main"}, {"数据/路由表.dat", "new routes"}});
  ApplyFreshMainPackage(tree, fresh);
  EXPECT_FALSE(HostExists(tree.Host("update/update_korva")));
  EXPECT_EQ(testing_support::ReadHostFile(testing_support::StubProgram()),
            ReadHostFile(tree.Host("update/package_backup/1/korva.exe")));

  ASSERT_EQ(0, kill(runs[0]["pid"].asInt(), SIGKILL));
  ASSERT_TRUE(testing_support::WaitUntil([&] { return kill(runs[0]["pid"].asInt(), 0) != 0; }, 10000));
  UpdateContext::Instance()->RecoverInterruptedPackage();
  ExpectNoStagingOrBackup(tree);
  ExpectFiles(tree, fresh);
}

}  // namespace
