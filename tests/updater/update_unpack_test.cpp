// The updater's unpack path: packages damaged inside their packed data, and
// the unpack worker as the progress sink of an extraction.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/damaged_archive.h"
#include "tests/shared/seven_zip_test_support.h"
#include "updater/update_context.h"
#include "updater/update_progress.h"
#include "updater/update_workers.h"
#include "updater_test_util.h"

namespace {

using testing_support::HostExists;
using testing_support::ReadHostFile;
using updater_test::InstallTree;
using updater_test::OwnerWindow;

bool Has(const std::string& text, const std::string& line) { return text.find(line) != std::string::npos; }

// One solid block: a small file, then one that does not compress, whose
// packed bytes hold the middle of the block, then another small one.
std::string AddDamagedPackage(InstallTree& tree, const std::string& packageName, int versionCode,
                              const std::string& file) {
  const std::string archive = tree.AddPackage(
      packageName, versionCode, file,
      {{"0-before.txt", "before"}, {"1-noise.txt", updater_test::NoiseBytes(64 * 1024)}, {"2-after.txt", "after"}});
  EXPECT_EQ(std::vector<std::string>{"1-noise.txt"}, testing_support::DamagePackedData(archive, "0-before.txt"));
  return archive;
}

TEST(UpdateUnpack, DamagedPackagesFailTheirSteps) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  testing_support::WriteHostFile(tree.Host("0-before.txt"), "installed");
  testing_support::WriteHostFile(tree.Host("korva.exe"), "old main");
  AddDamagedPackage(tree, "korva", 200, "korva.7z");
  const auto installed = updater_test::TreeSnapshot(tree.Host(""));
  UpdateContext* context = UpdateContext::Instance();
  ASSERT_TRUE(context->LoadUpdateConfig());
  ASSERT_TRUE(context->CheckVersions());
  OwnerWindow owner;
  context->owner = &owner;

  // The announced digest is the damaged file's: only unpacking can tell.
  EXPECT_EQ(kUpdateUnzipFailed, context->ApplyMainPackage());
  std::string log = tree.Log();
  EXPECT_TRUE(Has(log, "SevenZip Extract Error"));
  EXPECT_TRUE(Has(log, "fail to unzip update_korva.7z."));
  EXPECT_FALSE(Has(log, "unzip update_korva.7z success."));
  EXPECT_FALSE(HostExists(tree.WorkHost("update_korva.7z")));
  // Nothing of the package reached the installed product, not even the
  // items before the damaged one; the extraction directory is gone.
  EXPECT_EQ(installed, updater_test::TreeSnapshot(tree.Host("")));
  EXPECT_FALSE(HostExists(tree.WorkHost("update_korva")));

  AddDamagedPackage(tree, "korva_update", 400, "update.7z");
  context->selfNeeded = CheckVersion(context->config.updateurl, context->config.updater.packagename,
                                     context->config.updater.version, context->selfInfo) == 2;
  ASSERT_TRUE(context->selfNeeded);
  EXPECT_EQ(kUpdateUnzipFailed, context->ApplySelfUpdate());
  EXPECT_TRUE(Has(tree.Log(), "fail to unzip update_update.7z(SevenZip Module Inner Exception): "
                              "Extract archive: HRESULT = 0x80070017"));
  EXPECT_FALSE(HostExists(tree.WorkHost("update_update.7z")));
  EXPECT_FALSE(HostExists(tree.WorkHost("update_update/2-after.txt")));
}

TEST(UpdateUnpack, ExtractionProgressReachesTheUpdateProgress) {
  testing_support::TempMachine machine;
  WorkerTask task;
  task.reportProgress = true;
  task.base = 0.5f;
  task.weight = 0.4f;
  KorvaUpdateUnzipWorker worker(task);
  KorvaUpdateProgress* progress = KorvaUpdateProgress::Instance();
  std::vector<int> percents;
  seven_zip_test::ReportThroughExtractCallback(&worker, [&] { percents.push_back(progress->GetPercent()); });
  EXPECT_EQ((std::vector<int>{50, 60, 60, 90}), percents);
  EXPECT_EQ(std::wstring(kUnzipStageCaption), progress->GetCaption());
}

}  // namespace
