// The main and delta packages reach the install directory only once they
// have unpacked whole: the extraction directory in the work directory, the
// move into place, and what a failure or an abandoned run leaves.
#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "updater/update_context.h"
#include "updater/update_progress.h"
#include "updater_test_util.h"

namespace {

using testing_support::HostExists;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;
using updater_test::InstallTree;
using updater_test::OwnerWindow;
using updater_test::TreeSnapshot;

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

TEST(PackageStaging, NewFilesReplaceTheInstalledOnesAndNewFoldersAreMade) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  WriteHostFile(tree.Host("korva.exe"), "old main");
  WriteHostFile(tree.Host("kept.txt"), "kept");
  WriteHostFile(tree.Host("resources/locked.cfg"), "old config");
  SetFileAttributesW(L"C:\\Program Files\\korva\\resources\\locked.cfg", FILE_ATTRIBUTE_READONLY);
  ASSERT_TRUE(IsReadOnly(tree.Host("resources/locked.cfg")));
  // Left by a run that was closed during its extraction.
  WriteHostFile(tree.WorkHost("update_korvadelta/stale.txt"), "half of an old package");
  SetFileAttributesW(win32::ToWindowsPath(tree.WorkHost("update_korvadelta/stale.txt")).c_str(),
                     FILE_ATTRIBUTE_READONLY);
  ASSERT_TRUE(IsReadOnly(tree.WorkHost("update_korvadelta/stale.txt")));
  tree.AddPackage("korva_delta", 300, "delta.7z",
                  {{"korva.exe", "new main"},
                   {"resources/locked.cfg", "new config"},
                   {"plugins/new/深层/p.dll", "plugin"}});
  OwnerWindow owner;
  UpdateContext* context = CheckedContext(&owner);
  ASSERT_NE(nullptr, context);

  EXPECT_EQ(kUpdateOk, context->ApplyDeltaPackage());
  EXPECT_EQ("new main", ReadHostFile(tree.Host("korva.exe")));
  EXPECT_EQ("new config", ReadHostFile(tree.Host("resources/locked.cfg")));
  EXPECT_EQ("plugin", ReadHostFile(tree.Host("plugins/new/深层/p.dll")));
  EXPECT_EQ("kept", ReadHostFile(tree.Host("kept.txt")));
  EXPECT_FALSE(HostExists(tree.Host("stale.txt")));
  EXPECT_FALSE(HostExists(tree.WorkHost("update_korvadelta")));
  EXPECT_FALSE(HostExists(tree.WorkHost("update_korvadelta.7z")));
  EXPECT_TRUE(Has(tree.Log(), "unzip update_korvadelta.7z success."));
}

// A file of the package that cannot take its place fails the step; every
// file that did is the new version's, whole.
TEST(PackageStaging, AFileThatCannotBeMovedFailsTheStep) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  const std::map<std::string, std::string> package = {
      {"a.txt", "new a"}, {"b.txt", "new b"}, {"blocked", "a file where a folder is"}, {"c.txt", "new c"}};
  for (const auto& file : package) {
    if (file.first != "blocked") WriteHostFile(tree.Host(file.first), "old " + file.first);
  }
  WriteHostFile(tree.Host("blocked/inside.txt"), "the folder's own file");
  tree.AddPackage("korva", 200, "korva.7z", package);
  OwnerWindow owner;
  UpdateContext* context = CheckedContext(&owner);
  ASSERT_NE(nullptr, context);

  EXPECT_EQ(kUpdateUnzipFailed, context->ApplyMainPackage());
  const std::string log = tree.Log();
  EXPECT_TRUE(Has(log, "fail to move C:\\Program Files\\korva\\blocked into the install directory, lastError: 5 ."));
  EXPECT_TRUE(Has(log, "fail to unzip update_korva.7z."));
  EXPECT_FALSE(Has(log, "unzip update_korva.7z success."));
  EXPECT_EQ("the folder's own file", ReadHostFile(tree.Host("blocked/inside.txt")));
  for (const std::string name : {"a.txt", "b.txt", "c.txt"}) {
    const std::string now = ReadHostFile(tree.Host(name));
    EXPECT_TRUE(now == "old " + name || now == package.at(name)) << name << ": " << now;
  }
  EXPECT_FALSE(HostExists(tree.WorkHost("update_korva")));
  EXPECT_FALSE(HostExists(tree.WorkHost("update_korva.7z")));
}

// The user closes the window while the package unpacks: the step gives up,
// and the worker that goes on unpacks into the work directory only.
TEST(PackageStaging, ClosingDuringTheExtractionLeavesTheProductAlone) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  InstallTree tree;
  WriteHostFile(tree.Host("korva.exe"), "old main");
  std::map<std::string, std::string> package;
  for (int i = 0; i < 40; ++i) package["data/file" + std::to_string(i) + ".bin"] = updater_test::NoiseBytes(256 * 1024, i);
  package["korva.exe"] = "new main";
  tree.AddPackage("korva", 200, "korva.7z", package);
  const auto installed = TreeSnapshot(tree.Host(""));

  class QuittingOwner : public OwnerWindow {
   public:
    QuittingOwner() : OwnerWindow(1) {}

   protected:
    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override {
      if (msg == WM_TIMER && KorvaUpdateProgress::Instance()->GetCaption() == kUnzipStageCaption && !quit_) {
        quit_ = true;
        PostQuitMessage(0);
      }
      return OwnerWindow::HandleMessage(msg, wParam, lParam);
    }

   private:
    bool quit_ = false;
  };
  QuittingOwner owner;
  UpdateContext* context = CheckedContext(&owner);
  ASSERT_NE(nullptr, context);
  EXPECT_EQ(kUpdateUnzipFailed, context->ApplyMainPackage());
  EXPECT_TRUE(Has(tree.Log(), "fail to unzip update_korva.7z."));

  // The abandoned worker finishes its extraction where it was sent.
  const std::string staging = tree.WorkHost("update_korva");
  EXPECT_TRUE(testing_support::WaitUntil(
      [&] { return ReadHostFile(staging + "/data/file39.bin").size() == 256 * 1024; }, 20000));
  Sleep(200);
  EXPECT_EQ(installed, TreeSnapshot(tree.Host("")));

  // The next run starts from a clean extraction directory.
  WriteHostFile(staging + "/stale.txt", "left by the abandoned run");
  tree.AddPackage("korva", 201, "korva-small.7z", {{"korva.exe", "newer main"}});
  ASSERT_TRUE(context->CheckVersions());
  OwnerWindow next;
  context->owner = &next;
  EXPECT_EQ(kUpdateOk, context->ApplyMainPackage());
  EXPECT_EQ("newer main", ReadHostFile(tree.Host("korva.exe")));
  EXPECT_FALSE(HostExists(tree.Host("stale.txt")));
  EXPECT_FALSE(HostExists(tree.Host("data")));
  EXPECT_FALSE(HostExists(staging));
}

}  // namespace
