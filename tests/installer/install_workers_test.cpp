// The three workers on real files, real threads and the real test service.
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "installer/install_workers.h"
#include "installer_test_util.h"
#include "server/update_service.h"
#include "support/host_tree.h"
#include "support/small_volume.h"

namespace {

using installer_test::CountOf;
using testing_support::HostExists;
using testing_support::HostTree;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

namespace fs = std::filesystem;

class InstallWorkersTest : public installer_test::WorkerFixture {};

const fs::perms kWriteBits = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;

TEST_F(InstallWorkersTest, DeleteKeepsOnlyTheLockedFileAndItsParents) {
  WriteHostFile(Host("old/top.txt"), "1");
  WriteHostFile(Host("old/sub/plain.txt"), "2");
  WriteHostFile(Host("old/sub/locked.txt"), "3");
  WriteHostFile(Host("old/other/deep/more.txt"), "4");
  testing_support::MakeHostDirs(Host("old/empty"));

  HANDLE locked = CreateFileW(L"C:\\old\\sub\\locked.txt", GENERIC_READ, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
  ASSERT_NE(INVALID_HANDLE_VALUE, locked);
  int status = RunWorker(boost::make_shared<KorvaInstallDeleteDirsWorker>(L"C:\\old\\"));
  CloseHandle(locked);

  EXPECT_EQ(kWorkerOk, status);
  EXPECT_TRUE(HostExists(Host("old/sub/locked.txt")));
  EXPECT_FALSE(HostExists(Host("old/top.txt")));
  EXPECT_FALSE(HostExists(Host("old/sub/plain.txt")));
  EXPECT_FALSE(HostExists(Host("old/other")));
  EXPECT_FALSE(HostExists(Host("old/empty")));
}

TEST_F(InstallWorkersTest, DeleteOfMissingDirectoryReportsPathMissing) {
  EXPECT_EQ(kWorkerPathMissing, RunWorker(boost::make_shared<KorvaInstallDeleteDirsWorker>(L"C:\\none\\")));
}

// Packs the files of a host directory with the 7z tool.
void Pack7z(const std::string& sourceDir, const std::string& archive) {
  std::string command = "cd '" + sourceDir + "' && 7z a -t7z '" + archive + "' . >/dev/null";
  ASSERT_EQ(0, std::system(command.c_str())) << command;
}

TEST_F(InstallWorkersTest, UnzipOverExistingTreeKeepsExistingFiles) {
  // 7z.dll is looked for beside the program.
  if (!installer_test::RunInOwnDirectory()) return;
  installer_test::InstallArchiveLibrary(installer_test::OwnDirectory());
  WriteHostFile(Host("src/keep.txt"), "new keep");
  WriteHostFile(Host("src/bin/tool.exe"), "new tool");
  WriteHostFile(Host("src/bin/lib/deep.dll"), "new deep");
  testing_support::MakeHostDirs(Host("data"));
  Pack7z(Host("src"), Host("data/pkg.7z"));
  WriteHostFile(Host("Program Files/korva/keep.txt"), "old keep");

  int status = RunWorker(
      boost::make_shared<KorvaPackageUnzipWorker>("C:\\data\\pkg.7z", "C:\\Program Files\\korva"));

  ASSERT_EQ(kWorkerOk, status) << machine.Log();
  EXPECT_EQ("old keep", ReadHostFile(Host("Program Files/korva/keep.txt")));
  EXPECT_EQ("new tool", ReadHostFile(Host("Program Files/korva/bin/tool.exe")));
  EXPECT_EQ("new deep", ReadHostFile(Host("Program Files/korva/bin/lib/deep.dll")));
  // Unpacked beside the package; the copy that could not move stays there.
  EXPECT_EQ("new keep", ReadHostFile(Host("data/pkg/keep.txt")));
  EXPECT_FALSE(HostExists(Host("data/pkg/bin/tool.exe")));
  EXPECT_TRUE(HostExists(Host("data/pkg.7z")));

  IInstallProgress* progress = GetInstallProgress();
  EXPECT_EQ(95, progress->GetPercent());
  EXPECT_EQ(std::wstring(L"正在解压，请稍等……"), progress->GetStatusText());
}

TEST_F(InstallWorkersTest, UnzipFailuresAndTheirStatuses) {
  if (!installer_test::RunInOwnDirectory()) return;
  installer_test::InstallArchiveLibrary(installer_test::OwnDirectory());
  testing_support::MakeHostDirs(Host("target"));
  EXPECT_EQ(kWorkerPathMissing,
            RunWorker(boost::make_shared<KorvaPackageUnzipWorker>("C:\\data\\none.7z", "C:\\target\\")));
  EXPECT_EQ(1, CountOf(machine.Log(), "download package is not exists: C:\\data\\none.7z ."));

  WriteHostFile(Host("data/bad.7z"), std::string("7z\xBC\xAF\x27\x1C garbage that is no archive", 32));
  EXPECT_EQ(kWorkerPathMissing,
            RunWorker(boost::make_shared<KorvaPackageUnzipWorker>("C:\\data\\bad.7z", "C:\\absent\\")));
  EXPECT_EQ(1, CountOf(machine.Log(), "extract directory is not exists: C:\\absent\\ ."));

  EXPECT_EQ(kWorkerExtractFailed,
            RunWorker(boost::make_shared<KorvaPackageUnzipWorker>("C:\\data\\bad.7z", "C:\\target\\")));
  EXPECT_EQ(1, CountOf(machine.Log(), "SevenZip Extract Error"));
}

// A file of the package that is not installed and cannot be placed fails
// the worker, which then takes back what it had placed: the files it moved
// in, read-only ones too, and the folders it made. What the install folder
// held before stays byte for byte, a file the package also has included.
TEST_F(InstallWorkersTest, AFileThatCannotBePlacedFailsTheUnzipAndLeavesTheInstallFolderAsItWas) {
  if (!installer_test::RunInOwnDirectory()) return;
  installer_test::InstallArchiveLibrary(installer_test::OwnDirectory());
  // Walked in name order: zbin\tool.exe comes last, after the rest is placed.
  WriteHostFile(Host("src/a.txt"), "new a");
  WriteHostFile(Host("src/conf/fixed.cfg"), "read-only config");
  WriteHostFile(Host("src/conf/user.cfg"), "new config");
  WriteHostFile(Host("src/lib/deep/x.dll"), testing_support::NoiseBytes(200 * 1024));
  WriteHostFile(Host("src/zbin/tool.exe"), "new tool");
  fs::permissions(Host("src/conf/fixed.cfg"), kWriteBits, fs::perm_options::remove);
  fs::permissions(Host("src/lib"), kWriteBits, fs::perm_options::remove);
  testing_support::MakeHostDirs(Host("data"));
  Pack7z(Host("src"), Host("data/pkg.7z"));
  WriteHostFile(Host("Program Files/korva/conf/user.cfg"), std::string("the user's\0settings\xff", 20));
  WriteHostFile(Host("Program Files/korva/notes.txt"), "the user's notes");
  WriteHostFile(Host("Program Files/korva/zbin"), "a file, not a folder");
  const auto before = HostTree(Host("Program Files/korva"));

  EXPECT_EQ(kWorkerExtractFailed, RunWorker(boost::make_shared<KorvaPackageUnzipWorker>(
                                      "C:\\data\\pkg.7z", "C:\\Program Files\\korva")));
  EXPECT_EQ(1, CountOf(machine.Log(), "fail to move C:\\Program Files\\korva\\zbin\\tool.exe into the install "
                                      "directory, lastError: 3 ."));
  EXPECT_EQ(before, HostTree(Host("Program Files/korva")));

  // Onto drive D:, with room for 300 KB, every file placed is a copy; the
  // folder was there before and stays.
  testing_support::SmallVolume drive(machine.machine.dir() + "/d", 300 * 1024);
  ASSERT_TRUE(drive.mounted());
  WriteHostFile(machine.machine.dir() + "/d/korva/b-kept.bin", "installed");
  WriteHostFile(Host("big/a-small.txt"), "small");
  WriteHostFile(Host("big/b-kept.bin"), "new");
  WriteHostFile(Host("big/c-large.bin"), testing_support::NoiseBytes(600 * 1024));
  WriteHostFile(Host("big/d-sub/e.txt"), "never reached");
  Pack7z(Host("big"), Host("data/big.7z"));
  const auto beforeD = HostTree(machine.machine.dir() + "/d/korva");
  EXPECT_EQ(kWorkerExtractFailed,
            RunWorker(boost::make_shared<KorvaPackageUnzipWorker>("C:\\data\\big.7z", "D:\\korva")));
  EXPECT_EQ(1, CountOf(machine.Log(), "fail to move D:\\korva\\c-large.bin into the install directory, lastError: 112 ."));
  EXPECT_EQ(beforeD, HostTree(machine.machine.dir() + "/d/korva"));
  EXPECT_EQ(600u * 1024u, ReadHostFile(Host("data/big/c-large.bin")).size());
}

// A run that ended early left read-only files and folders in the
// extraction folder: they neither keep the package out nor come in with it.
TEST_F(InstallWorkersTest, UnzipClearsWhatAnEarlierRunLeftBesideThePackage) {
  if (!installer_test::RunInOwnDirectory()) return;
  installer_test::InstallArchiveLibrary(installer_test::OwnDirectory());
  WriteHostFile(Host("src/conf/a.cfg"), "new config");
  testing_support::MakeHostDirs(Host("data"));
  Pack7z(Host("src"), Host("data/pkg.7z"));
  WriteHostFile(Host("data/pkg/conf/a.cfg"), "half of an old package");
  WriteHostFile(Host("data/pkg/stale.txt"), "stale");
  for (const wchar_t* path : {L"C:\\data\\pkg\\conf\\a.cfg", L"C:\\data\\pkg\\stale.txt", L"C:\\data\\pkg\\conf"})
    ASSERT_TRUE(SetFileAttributesW(path, FILE_ATTRIBUTE_READONLY));
  testing_support::MakeHostDirs(Host("Program Files/korva"));

  ASSERT_EQ(kWorkerOk, RunWorker(boost::make_shared<KorvaPackageUnzipWorker>("C:\\data\\pkg.7z",
                                                                            "C:\\Program Files\\korva")))
      << machine.Log();
  EXPECT_EQ("new config", ReadHostFile(Host("Program Files/korva/conf/a.cfg")));
  EXPECT_FALSE(HostExists(Host("Program Files/korva/stale.txt")));
}

class DownloadWorkerTest : public InstallWorkersTest {
 protected:
  void SetUp() override {
    InstallWorkersTest::SetUp();
    testing_support::MakeHostDirs(Host("files"));
    testing_support::MakeHostDirs(Host("dl"));
    service.SetRoot(Host("files"));
    ASSERT_TRUE(service.Start());
  }
  void TearDown() override {
    service.Stop();
    InstallWorkersTest::TearDown();
  }

  testing_support::TestUpdateService service;
};

TEST_F(DownloadWorkerTest, DownloadsWithProgress) {
  std::string content(3 * 1048576, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  WriteHostFile(Host("files/pkg.7z"), content);

  int status = RunWorker(
      boost::make_shared<KorvaPackageDownloadWorker>(service.PackageUrl("pkg.7z"), "C:\\dl\\pkg.7z"));

  EXPECT_EQ(kWorkerOk, status);
  EXPECT_TRUE(ReadHostFile(Host("dl/pkg.7z")) == content);
  IInstallProgress* progress = GetInstallProgress();
  EXPECT_TRUE(progress->IsDownloadFinished());
  EXPECT_DOUBLE_EQ(3.0, progress->GetTotalMB());
  EXPECT_EQ(50, progress->GetPercent());
  EXPECT_EQ(std::wstring(L"正在下载安装包，请稍等……"), progress->GetStatusText());
}

TEST_F(DownloadWorkerTest, FailedDownloadSetsFinishedAndReportsOnce) {
  testing_support::DownloadFaults faults;
  faults.status = 404;
  service.SetFaults("*", faults);
  WriteHostFile(Host("files/pkg.7z"), "content");

  int status = RunWorker(
      boost::make_shared<KorvaPackageDownloadWorker>(service.PackageUrl("pkg.7z"), "C:\\dl\\pkg.7z"));

  EXPECT_EQ(kWorkerDownloadFailed, status);
  EXPECT_TRUE(GetInstallProgress()->IsDownloadFinished());
  EXPECT_EQ(1u, service.RequestsTo("/packages/pkg.7z").size());
}

TEST_F(DownloadWorkerTest, EmptyUrlOrMissingDirectoryIsPathMissing) {
  EXPECT_EQ(kWorkerPathMissing,
            RunWorker(boost::make_shared<KorvaPackageDownloadWorker>("", "C:\\dl\\pkg.7z")));
  EXPECT_EQ(1, CountOf(machine.Log(), "download directory is not exists in download worker: C:\\dl\\ ."));
  EXPECT_EQ(kWorkerPathMissing, RunWorker(boost::make_shared<KorvaPackageDownloadWorker>(
                                    service.PackageUrl("pkg.7z"), "C:\\nowhere\\pkg.7z")));
  EXPECT_EQ(1, CountOf(machine.Log(), "download directory is not exists in download worker: C:\\nowhere\\ ."));
  EXPECT_FALSE(GetInstallProgress()->IsDownloadFinished());
  EXPECT_TRUE(service.RequestsTo("/packages/pkg.7z").empty());
}

}  // namespace
