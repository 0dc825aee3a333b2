// End-to-end runs of the real update.exe: each test installs the product with
// the real install.exe on a fresh machine, publishes newer packages on the
// test update service and starts <install dir>\update\update.exe as the
// launcher's shortcut would, then drives and watches its windows.
#pragma once
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

#include "internal/window_station.h"
#include "support/e2e_installer.h"
#include "support/stub_program.h"
#include "updater/updater_test_util.h"

namespace testing_support {

const char kUpdateWindow[] = "KorvaUpdateWnd";
const char kUpdateMessageBox[] = "KorvaUpdateMessageWnd";
// Windows paths of the installation the fixture makes.
const char kUpdateDirWindows[] = "C:\\Program Files\\korva\\update";
// Versions the installed product starts with (see WriteProductTree).
const int kInstalledMainVersion = 200;
const int kInstalledDeltaVersion = 1;
const int kInstalledUpdaterVersion = 1;

// A statistics form body, "name=value&..." (values are not encoded).
inline std::map<std::string, std::string> FormFields(const std::string& body) {
  std::map<std::string, std::string> fields;
  size_t at = 0;
  while (at <= body.size()) {
    size_t end = body.find('&', at);
    if (end == std::string::npos) end = body.size();
    const std::string pair = body.substr(at, end - at);
    const size_t eq = pair.find('=');
    if (eq != std::string::npos) fields[pair.substr(0, eq)] = pair.substr(eq + 1);
    at = end + 1;
  }
  return fields;
}

inline Json::Value ParseJson(const std::string& text) {
  Json::Value value;
  Json::Reader reader;
  if (!reader.parse(text, value)) return Json::Value();
  return value;
}

// Incompressible bytes, so that a package is about as large as its files and
// a trickled download lasts.
using updater_test::NoiseBytes;

// What the update window showed at one moment.
struct UpdateWindowSample {
  bool visible = false;
  int progress = -1;  // -1 when the controls could not be read
  bool cancelEnabled = false;
  std::string feature;  // LabelFeature
  std::string detail;   // TextUpdateDetail
  // Only for progress 100: what the probe found right after the sample.
  bool probeHeld = false;
};

// Watches the update window of one process from a thread of its own, as
// often as the window answers, until stopped.
class UpdateWindowWatcher {
 public:
  // probe is evaluated after every sample that shows 100.
  UpdateWindowWatcher(pid_t pid, std::function<bool()> probe = nullptr)
      : pid_(pid), probe_(std::move(probe)), thread_([this] { Run(); }) {}
  ~UpdateWindowWatcher() { Stop(); }

  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::vector<UpdateWindowSample> samples() {
    std::lock_guard<std::mutex> lock(mutex_);
    return samples_;
  }
  // True when the window was seen visible, then hidden, then visible again.
  // A sample taken while the window is still being created sees it not yet
  // shown; that is no hiding.
  bool ReappearedAfterHiding() {
    bool shown = false, hidden = false;
    for (const UpdateWindowSample& s : samples()) {
      if (s.visible && hidden) return true;
      if (s.visible) shown = true;
      if (!s.visible && shown) hidden = true;
    }
    return false;
  }
  bool EverVisibleWithControls() {
    for (const UpdateWindowSample& s : samples())
      if (s.visible && s.progress >= 0) return true;
    return false;
  }

 private:
  void Run() {
    while (!stop_) {
      for (const WindowState& w : TopLevelWindows(pid_)) {
        if (w.className != kUpdateWindow) continue;
        UpdateWindowSample sample;
        sample.visible = w.visible;
        std::string listing;
        std::vector<ControlState> controls;
        // A short wait: the window does not answer while its thread is busy.
        if (win32::station::SendCommand(w.hwnd, "controls", {}, 500, &listing) ==
                win32::station::CommandStatus::kOk &&
            ParseControls(listing, &controls)) {
          for (const ControlState& c : controls) {
            if (c.name == "ProgressUpdate") sample.progress = std::atoi(c.value.c_str());
            if (c.name == "ButtonCancel") sample.cancelEnabled = c.enabled;
            if (c.name == "LabelFeature") sample.feature = c.text;
            if (c.name == "TextUpdateDetail") sample.detail = c.text;
          }
        }
        if (sample.progress == 100 && probe_) sample.probeHeld = probe_();
        std::lock_guard<std::mutex> lock(mutex_);
        samples_.push_back(sample);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  pid_t pid_;
  std::function<bool()> probe_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<UpdateWindowSample> samples_;
  std::thread thread_;
};

class UpdaterE2eTest : public InstallerE2eTest {
 protected:
  void SetUp() override {
    InstallerE2eTest::SetUp();
    if (HasFatalFailure()) return;
    InstallProduct();
  }

  // The user installs the product with install.exe and closes the
  // completion window without starting it.
  void InstallProduct() {
    ProgramRun run;
    HWND main = StartAndWaitForMainWindow(&run);
    ASSERT_NE(nullptr, main);
    ASSERT_TRUE(Click(main, "ButtonInstall"));
    HWND complete = WaitForWindow(kCompleteWindow, run.pid(), kInstallTimeoutMs, true);
    ASSERT_NE(nullptr, complete) << LogText();
    ASSERT_TRUE(Click(complete, "ButtonClose"));
    ExpectEndsCleanly(&run);
    ASSERT_TRUE(HostExists(UpdateDirHost() + "/update.exe"));
    ASSERT_TRUE(HostExists(ProductConfigHost()));
    installedConfig_ = ReadHostFile(ProductConfigHost());
    requestsOfInstallation_ = service().Requests().size();
  }

  std::string UpdateDirHost() const { return InstallDirHost() + "/update"; }
  std::string ProductConfigHost() const { return InstallDirHost() + "/resources/cplus-module/update.json"; }
  // update.json of the install tree as the installation left it.
  const std::string& InstalledConfig() const { return installedConfig_; }
  Json::Value ProductConfig() const { return ParseJson(ReadHostFile(ProductConfigHost())); }
  std::string VersionIn(const std::string& section) const {
    const Json::Value config = ProductConfig();
    return config.isObject() && config[section].isObject() && config[section]["version"].isString()
               ? config[section]["version"].asString()
               : std::string("<not a string>");
  }

  // Packs files (relative path -> content) as `file` and publishes it as the
  // newest version of the package; the files named in readOnly are packed
  // read-only.
  void Publish(const std::string& packageName, int versionCode, const std::string& versionName,
               const std::string& text, const std::string& file, const std::map<std::string, std::string>& files,
               const std::vector<std::string>& readOnly = {}) {
    const std::string staging = scratch() + "/staging-" + file;
    for (const auto& f : files) WriteHostFile(staging + "/" + f.first, f.second);
    for (const std::string& f : readOnly) {
      std::filesystem::permissions(staging + "/" + f, std::filesystem::perms::owner_write | std::filesystem::perms::group_write | std::filesystem::perms::others_write,
                                   std::filesystem::perm_options::remove);
    }
    ASSERT_TRUE(PackDirectory(staging, scratch() + "/service/" + file));
    CatalogEntry entry;
    entry.packageName = packageName;
    entry.versionCode = versionCode;
    entry.versionName = versionName;
    entry.text = text;
    entry.file = file;
    service().SetPackage(entry);
  }

  // Starts update.exe from its directory, as the product's shortcut does.
  void StartUpdater(ProgramRun* run) {
    const std::string program = UpdateDirHost() + "/update.exe";
    const std::string output = scratch() + "/update-" + std::to_string(++updaterRuns_) + ".out";
    ASSERT_TRUE(run->Start("/bin/sh", {"-c", "cd \"$0\" && exec ./update.exe", UpdateDirHost()}, output))
        << "cannot start " << program;
  }

  void ExpectUpdaterEnds(ProgramRun* run, int timeoutMs = kInstallTimeoutMs) {
    int code = -1;
    ASSERT_TRUE(run->Wait(timeoutMs, &code)) << "update.exe did not end\n" << UpdateLogText();
    EXPECT_EQ(0, code) << ReadHostFile(scratch() + "/update-" + std::to_string(updaterRuns_) + ".out");
  }

  // The next message box of the updater, visible.
  HWND WaitForUpdateBox(const ProgramRun& run) {
    HWND box = WaitForWindow(kUpdateMessageBox, run.pid(), kWindowTimeoutMs, true);
    EXPECT_NE(nullptr, box) << "no message box appeared\n" << UpdateLogText();
    return box;
  }

  // The update window is there, hidden, with its title and the mark the
  // installer looks for.
  void ExpectUpdateWindowHidden(const ProgramRun& run) {
    bool found = false;
    for (const WindowState& w : TopLevelWindows(run.pid())) {
      if (w.className != kUpdateWindow) continue;
      found = true;
      EXPECT_FALSE(w.visible) << "the update window is shown";
      EXPECT_EQ("Korva更新", w.title);
      EXPECT_TRUE(w.marked);
    }
    EXPECT_TRUE(found) << "no update window";
  }

  // A run that ends in a notice of mode 1 while its window stays hidden;
  // the user closes the notice with `button`.
  void RunThroughNotice(const std::string& text, const std::string& button) {
    ProgramRun run;
    StartUpdater(&run);
    HWND box = WaitForUpdateBox(run);
    ASSERT_NE(nullptr, box);
    ExpectBox(box, text, "确定", "");
    ExpectUpdateWindowHidden(run);
    ASSERT_TRUE(Click(box, button));
    ExpectUpdaterEnds(&run);
  }

  void ExpectBox(HWND box, const std::string& text, const std::string& yes, const std::string& no) {
    ControlState state;
    EXPECT_EQ("提示", ControlText(box, "LabelTitle"));
    EXPECT_EQ(text, ControlText(box, "TextContent"));
    ASSERT_TRUE(FindControlState(box, "ButtonYes", &state));
    EXPECT_TRUE(state.visible);
    EXPECT_EQ(yes, state.text);
    ASSERT_TRUE(FindControlState(box, "ButtonNo", &state));
    EXPECT_EQ(!no.empty(), state.visible);
    if (!no.empty()) {
      EXPECT_EQ(no, state.text);
    }
  }

  std::vector<StatisticsPost> UpdatePosts() const {
    std::vector<StatisticsPost> posts;
    for (const StatisticsPost& post : const_cast<UpdaterE2eTest*>(this)->service().StatisticsPosts())
      if (post.path == kUpdateFigurePath) posts.push_back(post);
    return posts;
  }

  void ExpectPost(const StatisticsPost& post, int updateObj, int errorCode, const std::string& errorMsg) {
    std::map<std::string, std::string> form = FormFields(post.body);
    EXPECT_EQ(std::to_string(updateObj), form["updateObj"]) << post.body;
    EXPECT_EQ(std::to_string(errorCode), form["errorCode"]) << post.body;
    EXPECT_EQ(errorMsg, form["errorMsg"]) << post.body;
    EXPECT_LE(std::atoll(form["startedAt"].c_str()), std::atoll(form["endedAt"].c_str())) << post.body;
  }

  // Requests the service answered after the installation.
  std::vector<RecordedRequest> UpdaterRequests() {
    std::vector<RecordedRequest> all = service().Requests();
    all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(all.size(), requestsOfInstallation_)));
    return all;
  }
  // Requests for one package file; the installed version codes each
  // version check of one package sent.
  size_t DownloadsOf(const std::string& file) {
    size_t count = 0;
    for (const RecordedRequest& r : UpdaterRequests()) count += r.path == std::string(kPackagesPath) + file;
    return count;
  }
  std::vector<std::string> VersionChecksOf(const std::string& packageName) {
    std::vector<std::string> codes;
    for (const RecordedRequest& r : UpdaterRequests()) {
      if (r.path != kVersionCheckPath || r.target.find("packageName=" + packageName + "&") == std::string::npos) continue;
      const size_t at = r.target.find("versionCode=");
      codes.push_back(at == std::string::npos ? std::string() : r.target.substr(at + 12));
    }
    return codes;
  }

  // Runs of the product stub with this file name.
  std::vector<Json::Value> RunsOf(const std::string& name) const {
    std::vector<Json::Value> runs;
    for (const Json::Value& run : StubRuns(machine()))
      if (run["name"].asString() == name) runs.push_back(run);
    return runs;
  }
  bool WaitForRunsOf(const std::string& name, size_t count) {
    return WaitUntil([&] { return RunsOf(name).size() >= count; }, kWindowTimeoutMs);
  }
  void ExpectLauncherRun(const Json::Value& run) {
    EXPECT_EQ(std::string(kUpdateDirWindows) + "\\launch.exe", run["windows_path"].asString());
    EXPECT_EQ(kUpdateDirWindows, run["windows_cwd"].asString());
  }

  // Text of every update log of this machine.
  std::string UpdateLogText() const {
    std::string text;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(DataDirHost(), ec)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("Update", 0) == 0 && entry.path().extension() == ".log") text += ReadHostFile(entry.path());
    }
    return text;
  }
  std::string WorkDirHost() const { return DataDirHost(); }

 private:
  std::string installedConfig_;
  size_t requestsOfInstallation_ = 0;
  int updaterRuns_ = 0;
};

}  // namespace testing_support
