// The three package steps, run by the updater installed in a product tree
// against the test update service.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "updater/update_context.h"
#include "updater/update_exit_hooks.h"
#include "updater/update_progress.h"
#include "updater_test_util.h"

namespace {

using testing_support::DownloadFaults;
using testing_support::HostExists;
using testing_support::ReadHostFile;
using updater_test::CountOf;
using updater_test::InstallTree;
using updater_test::OwnerWindow;
using updater_test::RunAsInstalledUpdater;

// The log written since the last call.
class LogReader {
 public:
  explicit LogReader(const InstallTree& tree) : tree_(tree) {}
  std::string Next() {
    const std::string all = tree_.Log();
    const std::string fresh = all.substr(std::min(seen_, all.size()));
    seen_ = all.size();
    return fresh;
  }

 private:
  const InstallTree& tree_;
  size_t seen_ = 0;
};

bool Has(const std::string& text, const std::string& line) { return text.find(line) != std::string::npos; }

// A version reply for `file` with this md5.
std::string ReplyWithMd5(const InstallTree& tree, const std::string& file, int versionCode, const std::string& md5) {
  return "{\"code\": 2, \"data\": {\"versionCode\": " + std::to_string(versionCode) +
         ", \"versionName\": \"2.0\", \"downloadUrl\": \"" + tree.service.PackageUrl(file) +
         "\", \"text\": \"t\", \"size\": 1, \"md5\": \"" + md5 + "\"}}";
}

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), ::toupper);
  return text;
}

const std::vector<UINT> kStartedAndFinished = {kMsgDownloadStarted, kMsgDownloadFinished};
const std::vector<UINT> kStartedOnly = {kMsgDownloadStarted};

TEST(PackageSteps, MainPackageIsUnpackedIntoTheInstallDirectory) {
  if (!RunAsInstalledUpdater()) return;
  InstallTree tree;
  testing_support::WriteHostFile(tree.Host("korva.exe"), "old main");
  testing_support::WriteHostFile(tree.Host("kept.txt"), "kept");
  tree.AddPackage("korva", 200, "korva-200.7z", {{"korva.exe", "new main"}, {"resources/data.txt", "data"}});
  UpdateContext* context = UpdateContext::Instance();
  ASSERT_TRUE(context->LoadUpdateConfig());
  ASSERT_TRUE(context->CheckVersions());
  OwnerWindow owner;
  context->owner = &owner;

  EXPECT_EQ(kUpdateOk, context->ApplyMainPackage());
  EXPECT_EQ("new main", ReadHostFile(tree.Host("korva.exe")));
  EXPECT_EQ("data", ReadHostFile(tree.Host("resources/data.txt")));
  EXPECT_EQ("kept", ReadHostFile(tree.Host("kept.txt")));
  EXPECT_FALSE(HostExists(tree.WorkHost("update_korva.7z")));
  const std::string log = tree.Log();
  EXPECT_TRUE(Has(log, "download update_korva.7z success."));
  EXPECT_TRUE(Has(log, "unzip update_korva.7z success."));
  EXPECT_EQ(2, CountOf(log, "out of thread"));
  OwnerWindow::Drain();
  EXPECT_EQ(kStartedAndFinished, owner.messages);
  // The main package ends at 90 %; the bar never went past it.
  EXPECT_EQ(90, KorvaUpdateProgress::Instance()->GetPercent());
  for (const auto& tick : owner.ticks) EXPECT_LE(tick.second, 90);
}

TEST(PackageSteps, MainPackageFailures) {
  if (!RunAsInstalledUpdater()) return;
  InstallTree tree;
  LogReader log(tree);
  const std::string archive = tree.AddPackage("korva", 200, "korva.7z", {{"korva.exe", "new main"}});
  UpdateContext* context = UpdateContext::Instance();
  ASSERT_TRUE(context->LoadUpdateConfig());
  OwnerWindow owner;
  context->owner = &owner;
  const std::string workArchive = tree.WorkHost("update_korva.7z");

  // The service answers 404: the error page is not kept.
  DownloadFaults faults;
  faults.status = 404;
  tree.service.SetFaults("korva.7z", faults);
  ASSERT_TRUE(context->CheckVersions());
  EXPECT_EQ(kUpdateDownloadFailed, context->ApplyMainPackage());
  EXPECT_TRUE(Has(log.Next(), "fail to download update_korva.7z."));
  EXPECT_FALSE(HostExists(workArchive));
  OwnerWindow::Drain();
  EXPECT_EQ(kStartedOnly, owner.messages);
  tree.service.ClearFaults();

  // The digest text is lower case: an upper-case md5 never matches.
  const std::string md5 = testing_support::ServiceMd5OfFile(archive);
  tree.service.SetVersionReply("korva", 200, ReplyWithMd5(tree, "korva.7z", 200, Upper(md5)));
  ASSERT_TRUE(context->CheckVersions());
  EXPECT_EQ(kUpdateDamaged, context->ApplyMainPackage());
  EXPECT_TRUE(Has(log.Next(), "update_korva.7z is damaged."));
  EXPECT_FALSE(HostExists(workArchive));

  // An empty md5 with a readable archive is damaged too.
  tree.service.SetVersionReply("korva", 200, ReplyWithMd5(tree, "korva.7z", 200, ""));
  ASSERT_TRUE(context->CheckVersions());
  EXPECT_EQ(kUpdateDamaged, context->ApplyMainPackage());

  // The right digest of something that is no archive.
  testing_support::WriteHostFile(archive, "this is not a 7z archive");
  tree.service.SetVersionReply(
      "korva", 200, ReplyWithMd5(tree, "korva.7z", 200, testing_support::ServiceMd5OfFile(archive)));
  ASSERT_TRUE(context->CheckVersions());
  EXPECT_EQ(kUpdateUnzipFailed, context->ApplyMainPackage());
  const std::string text = log.Next();
  EXPECT_TRUE(Has(text, "SevenZip Extract Error"));
  EXPECT_TRUE(Has(text, "fail to unzip update_korva.7z."));
  EXPECT_FALSE(HostExists(workArchive));
  EXPECT_FALSE(HostExists(tree.Host("korva.exe")));
}

TEST(PackageSteps, MissingArchiveLibrary) {
  if (!RunAsInstalledUpdater()) return;
  InstallTree tree(false);
  LogReader log(tree);
  tree.AddPackage("korva", 200, "korva.7z", {{"korva.exe", "new main"}});
  tree.AddPackage("korva_delta", 300, "delta.7z", {{"delta.txt", "delta"}});
  tree.AddPackage("korva_update", 400, "update.7z", {{"update.exe", "new updater"}});
  UpdateContext* context = UpdateContext::Instance();
  ASSERT_TRUE(context->LoadUpdateConfig());
  ASSERT_TRUE(context->CheckVersions());
  OwnerWindow owner;
  context->owner = &owner;

  EXPECT_EQ(kUpdateUnzipFailed, context->ApplyMainPackage());
  std::string text = log.Next();
  EXPECT_TRUE(Has(text, "SevenZip Extract Error"));
  EXPECT_TRUE(Has(text, "fail to unzip update_korva.7z."));
  EXPECT_EQ(kUpdateUnzipFailed, context->ApplyDeltaPackage());
  EXPECT_TRUE(Has(log.Next(), "fail to unzip update_korvadelta.7z."));

  context->selfNeeded = CheckVersion(context->config.updateurl, context->config.updater.packagename,
                                     context->config.updater.version, context->selfInfo) == 2;
  ASSERT_TRUE(context->selfNeeded);
  EXPECT_EQ(kUpdateUnzipFailed, context->ApplySelfUpdate());
  EXPECT_TRUE(Has(log.Next(), "fail to unzip update_update.7z(SevenZip Module Inner Exception): "));
  EXPECT_FALSE(HostExists(tree.WorkHost("update_update.7z")));
  EXPECT_FALSE(HostExists(tree.WorkHost("update_korva.7z")));
  EXPECT_FALSE(HostExists(tree.WorkHost("update_korvadelta.7z")));
}

TEST(PackageSteps, DeltaPackageAloneSpansTheWholeBar) {
  if (!RunAsInstalledUpdater()) return;
  InstallTree tree;
  tree.AddPackage("korva_delta", 300, "delta.7z",
                  {{"delta.bin", updater_test::NoiseBytes(256 * 1024)}, {"resources/d.txt", "d"}});
  DownloadFaults slow;
  slow.trickleDelayMs = 2;
  tree.service.SetFaults("delta.7z", slow);
  UpdateContext* context = UpdateContext::Instance();
  ASSERT_TRUE(context->LoadUpdateConfig());
  ASSERT_TRUE(context->CheckVersions());
  ASSERT_FALSE(context->mainNeeded);
  OwnerWindow owner(10);
  context->owner = &owner;

  EXPECT_EQ(kUpdateOk, context->ApplyDeltaPackage());
  EXPECT_EQ("d", ReadHostFile(tree.Host("resources/d.txt")));
  EXPECT_TRUE(Has(tree.Log(), "unzip update_korvadelta.7z success."));
  EXPECT_EQ(99, KorvaUpdateProgress::Instance()->GetPercent());
  int downloadTicks = 0;
  for (const auto& tick : owner.ticks) {
    if (tick.first == kDownloadStageCaption) {
      ++downloadTicks;
      EXPECT_LE(tick.second, 50);
    } else if (tick.first == kUnzipStageCaption) {
      EXPECT_GE(tick.second, 50);
      EXPECT_LE(tick.second, 99);
    }
  }
  EXPECT_GT(downloadTicks, 0);
}

TEST(PackageSteps, DeltaPackageAfterTheMainPackage) {
  if (!RunAsInstalledUpdater()) return;
  InstallTree tree;
  tree.AddPackage("korva", 200, "korva.7z", {{"korva.exe", "new main"}});
  // Large enough that one byte of it does not move the bar.
  tree.AddRawPackage("korva_delta", 300, "delta-big.7z", updater_test::NoiseBytes(4 * 1024 * 1024));
  DownloadFaults drop;
  drop.dropAfterBytes = 1;
  tree.service.SetFaults("delta-big.7z", drop);
  UpdateContext* context = UpdateContext::Instance();
  ASSERT_TRUE(context->LoadUpdateConfig());
  ASSERT_TRUE(context->CheckVersions());
  ASSERT_TRUE(context->mainNeeded && context->deltaNeeded);
  OwnerWindow owner(10);
  context->owner = &owner;
  ASSERT_EQ(kUpdateOk, context->ApplyMainPackage());
  EXPECT_EQ(90, KorvaUpdateProgress::Instance()->GetPercent());

  // The delta download's stage begins one below where the main package ended.
  EXPECT_EQ(kUpdateDownloadFailed, context->ApplyDeltaPackage());
  EXPECT_EQ(89, KorvaUpdateProgress::Instance()->GetPercent());
  EXPECT_EQ(kDownloadStageCaption, KorvaUpdateProgress::Instance()->GetCaption());
  EXPECT_TRUE(Has(tree.Log(), "fail to download update_korvadelta.7z."));
  EXPECT_FALSE(HostExists(tree.WorkHost("update_korvadelta.7z")));

  tree.AddPackage("korva_delta", 300, "delta.7z", {{"delta.txt", "delta"}});
  ASSERT_TRUE(context->CheckVersions());
  owner.ticks.clear();
  EXPECT_EQ(kUpdateOk, context->ApplyDeltaPackage());
  EXPECT_EQ("delta", ReadHostFile(tree.Host("delta.txt")));
  EXPECT_EQ(98, KorvaUpdateProgress::Instance()->GetPercent());
  for (const auto& tick : owner.ticks) {
    EXPECT_GE(tick.second, 89);
    EXPECT_LE(tick.second, 98);
  }
}

TEST(PackageSteps, UpdaterPackage) {
  if (!RunAsInstalledUpdater()) return;
  InstallTree tree;
  LogReader log(tree);
  UpdateContext* context = UpdateContext::Instance();
  ASSERT_TRUE(context->LoadUpdateConfig());
  OwnerWindow owner;
  context->owner = &owner;

  // Not newer: nothing is fetched and no file appears.
  EXPECT_EQ(kUpdateOk, context->ApplySelfUpdate());
  EXPECT_FALSE(HostExists(tree.WorkHost("update_update")));
  EXPECT_TRUE(tree.service.RequestsTo("/packages/update.7z").empty());
  OwnerWindow::Drain();
  EXPECT_TRUE(owner.messages.empty());

  const std::string archive =
      tree.AddPackage("korva_update", 400, "update.7z", {{"update.exe", "new updater"}, {"skin/skin.zip", "skin"}});
  // Left by an earlier self-update that never finished, read-only too: the
  // batch file would copy it in with the new updater.
  testing_support::WriteHostFile(tree.WorkHost("update_update/older.txt"), "older");
  ASSERT_EQ(0, chmod(tree.WorkHost("update_update/older.txt").c_str(), 0444));
  auto check = [&] {
    return context->selfNeeded = CheckVersion(context->config.updateurl, context->config.updater.packagename,
                                              context->config.updater.version, context->selfInfo) == 2;
  };
  ASSERT_TRUE(check());
  EXPECT_EQ(kUpdateOk, context->ApplySelfUpdate());
  EXPECT_EQ("new updater", ReadHostFile(tree.WorkHost("update_update/update.exe")));
  EXPECT_EQ("skin", ReadHostFile(tree.WorkHost("update_update/skin/skin.zip")));
  EXPECT_FALSE(HostExists(tree.WorkHost("update_update/older.txt")));
  EXPECT_FALSE(HostExists(tree.WorkHost("update_update.7z")));
  std::string text = log.Next();
  EXPECT_TRUE(Has(text, "download update_update.7z success."));
  EXPECT_TRUE(Has(text, "unzip update_update.7z success."));
  EXPECT_FALSE(Has(text, "out of thread"));  // no worker
  OwnerWindow::Drain();
  EXPECT_EQ(kStartedAndFinished, owner.messages);

  DownloadFaults faults;
  faults.status = 500;
  tree.service.SetFaults("update.7z", faults);
  ASSERT_TRUE(check());
  EXPECT_EQ(kUpdateDownloadFailed, context->ApplySelfUpdate());
  EXPECT_TRUE(Has(log.Next(), "fail to download update_update.7z."));
  EXPECT_FALSE(HostExists(tree.WorkHost("update_update.7z")));

  faults = DownloadFaults();
  faults.corruptMd5 = true;
  tree.service.SetFaults("update.7z", faults);
  ASSERT_TRUE(check());
  EXPECT_EQ(kUpdateDamaged, context->ApplySelfUpdate());
  EXPECT_TRUE(Has(log.Next(), "the update_update.7z is damaged."));
  EXPECT_FALSE(HostExists(tree.WorkHost("update_update.7z")));
  tree.service.ClearFaults();

  // Not an archive: the library's own message goes into the log.
  testing_support::WriteHostFile(archive, "garbage, not 7z");
  ASSERT_TRUE(check());
  EXPECT_EQ(kUpdateUnzipFailed, context->ApplySelfUpdate());
  text = log.Next();
  const std::string prefix = "fail to unzip update_update.7z(SevenZip Module Inner Exception): ";
  ASSERT_TRUE(Has(text, prefix));
  const size_t message = text.find(prefix) + prefix.size();
  EXPECT_NE('\r', text[message]) << "the library's message is missing";
  EXPECT_FALSE(HostExists(tree.WorkHost("update_update.7z")));
}

// The user closes the window while the main package downloads: the step
// gives up, and the worker that goes on must not disturb the delta step.
TEST(PackageSteps, ClosingDuringADownload) {
  if (!RunAsInstalledUpdater()) return;
  InstallTree tree;
  tree.AddRawPackage("korva", 200, "korva.7z", updater_test::NoiseBytes(96 * 1024));
  DownloadFaults slow;
  slow.trickleDelayMs = 10;  // about a second
  tree.service.SetFaults("korva.7z", slow);
  UpdateContext* context = UpdateContext::Instance();
  ASSERT_TRUE(context->LoadUpdateConfig());
  ASSERT_TRUE(context->CheckVersions());

  class QuittingOwner : public OwnerWindow {
   protected:
    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override {
      if (msg == WM_TIMER && ticks.size() == 3) PostQuitMessage(0);
      return OwnerWindow::HandleMessage(msg, wParam, lParam);
    }
  };
  {
    QuittingOwner owner;
    context->owner = &owner;
    EXPECT_EQ(kUpdateDownloadFailed, context->ApplyMainPackage());
    OwnerWindow::Drain();
    EXPECT_EQ(kStartedOnly, owner.messages);
  }
  EXPECT_TRUE(Has(tree.Log(), "fail to download update_korva.7z."));
  // Still being written by the worker.
  EXPECT_TRUE(HostExists(tree.WorkHost("update_korva.7z")));

  // The abandoned download ends while the delta step waits for its own.
  tree.AddPackage("korva_delta", 300, "delta.7z", {{"delta.bin", updater_test::NoiseBytes(128 * 1024)}});
  tree.service.SetFaults("delta.7z", slow);
  ASSERT_TRUE(context->CheckVersions());
  OwnerWindow owner;
  context->owner = &owner;
  EXPECT_EQ(kUpdateOk, context->ApplyDeltaPackage());
  EXPECT_EQ(updater_test::NoiseBytes(128 * 1024), ReadHostFile(tree.Host("delta.bin")));
  EXPECT_TRUE(testing_support::WaitUntil(
      [&] { return std::filesystem::file_size(tree.WorkHost("update_korva.7z")) == 96 * 1024; }, 10000));
}

// A server in a process of its own that answers every request with a
// large file, one KiB every 20 ms, for as long as the test's process lives.
int StartTrickleServer() {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener, 4) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  if (fork() == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    signal(SIGPIPE, SIG_IGN);
    for (;;) {
      const int connection = accept(listener, nullptr, nullptr);
      char request[4096];
      if (read(connection, request, sizeof(request)) <= 0) continue;
      const char header[] = "HTTP/1.1 200 OK\r\nContent-Length: 100000000\r\n\r\n";
      if (write(connection, header, sizeof(header) - 1) < 0) continue;
      char chunk[1024] = {};
      while (write(connection, chunk, sizeof(chunk)) > 0) usleep(20 * 1000);
      close(connection);
    }
  }
  close(listener);
  return ntohs(address.sin_port);
}

// Host path of the abandoned download, for the check at exit; no object that
// static destruction could free first.
char g_abandonedDownload[4096];

long long HostFileSize(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

// Runs after the updater's exit hook. The worker then stops at its next
// progress report for good; had it gone on (re-creating the freed objects as
// it reports), its download would keep growing.
void CheckAbandonedDownloadStopped() {
  Sleep(300);
  const long long settled = HostFileSize(g_abandonedDownload);
  Sleep(700);
  if (HostFileSize(g_abandonedDownload) != settled) _exit(5);
}

// The program ends while an abandoned worker still downloads: the exit hook
// frees the process-wide objects, and the worker must not touch them.
TEST(PackageSteps, ExitingWhileAWorkerRuns) {
  if (!RunAsInstalledUpdater()) return;
  std::atexit(CheckAbandonedDownloadStopped);
  RegisterUpdaterExitHooks();
  InstallTree tree;
  snprintf(g_abandonedDownload, sizeof(g_abandonedDownload), "%s", tree.WorkHost("update_korva.7z").c_str());
  const int port = StartTrickleServer();
  ASSERT_NE(0, port);
  UpdateContext* context = UpdateContext::Instance();
  context->mainInfo.downloadUrl = L"http://127.0.0.1:" + std::to_wstring(port) + L"/korva.7z";
  OwnerWindow owner;
  context->owner = &owner;
  PostQuitMessage(0);
  EXPECT_EQ(kUpdateDownloadFailed, context->ApplyMainPackage());
  context->owner = nullptr;
  // The worker is busy reporting when the program ends.
  EXPECT_TRUE(testing_support::WaitUntil(
      [] { return KorvaUpdateProgress::Instance()->GetCaption() == kDownloadStageCaption; }, 5000));
}

// No thread can be made for the worker: the step ends with its stage's code.
TEST(PackageSteps, WorkerThreadCannotStart) {
  if (!RunAsInstalledUpdater()) return;
  InstallTree tree;
  tree.AddRawPackage("korva", 200, "korva.7z", "main");
  UpdateContext* context = UpdateContext::Instance();
  ASSERT_TRUE(context->LoadUpdateConfig());
  ASSERT_TRUE(context->CheckVersions());
  testing_support::WriteHostFile(tree.WorkHost("update_korva.7z"), "left over");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // New threads would need a stack larger than the address space.
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, static_cast<size_t>(1) << 46);
    pthread_setattr_default_np(&attr);
    _exit(context->ApplyMainPackage());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(kUpdateDownloadFailed, WEXITSTATUS(status));
  EXPECT_TRUE(Has(tree.Log(), "fail to download update_korva.7z."));
  EXPECT_FALSE(HostExists(tree.WorkHost("update_korva.7z")));
  EXPECT_FALSE(Has(tree.Log(), "out of thread"));
}

}  // namespace
