#include "support/e2e_installer.h"

#include <signal.h>
#include <stdlib.h>

#include <filesystem>

#include <shellapi.h>
#include <winreg.h>

#include "support/stub_program.h"
#include "support/update_json.h"

namespace testing_support {

namespace fs = std::filesystem;

const char kMainWindow[] = "KorvaInstallMainWnd";
const char kMessageBox[] = "KorvaInstallMessageWnd";
const char kProgressWindow[] = "KorvaInstallProgressWnd";
const char kCompleteWindow[] = "KorvaInstallCompleteWnd";
const char kLicenceWindow[] = "KorvaInstallProtocalWnd";

std::string DistDir() { return KORVA_DIST_DIR; }

bool InstallerDir::Create(const std::string& dir) {
  dir_ = dir;
  std::error_code ec;
  fs::create_directories(dir_, ec);
  for (const fs::directory_entry& entry : fs::directory_iterator(DistDir(), ec)) {
    const fs::path target = fs::path(dir_) / entry.path().filename();
    std::error_code linkError;
    if (entry.path().filename() == "install.exe") fs::create_hard_link(entry.path(), target, linkError);
    if (entry.path().filename() != "install.exe" || linkError) {
      fs::copy(entry.path(), target, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
    }
    if (ec) return false;
  }
  return !ec && HostExists(program());
}

void InstallerDir::WriteInstallJson(const std::string& statisticsUrl, const std::string& defaultPath,
                                    const std::string& mainApp) const {
  WriteHostFile(dir_ + "/install.json", R"({
  "defaultpath": ")" + defaultPath + R"(",
  "version": "2.0.0",
  "mainapp": ")" + mainApp + R"(",
  "officialurl": "https://www.korva.com/",
  "url": ")" + statisticsUrl + R"(",
  "shortcut": [
    {"id": "desktop", "location": "%DESKTOP%", "icon": "icon.ico", "name": "Korva"},
    {"id": "startupmenu", "location": "%STARTUPMENU%Korva/", "icon": "icon.ico", "name": "Korva"}
  ],
  "execute": []
})");
}

void InstallerDir::WriteUpdateJson(const std::string& versionCheckUrl) const {
  WriteHostFile(dir_ + "/update.json", UpdateJsonText(versionCheckUrl, 1, 1, 1));
}

void WriteProductTree(const std::string& dir, const std::string& versionCheckUrl) {
  fs::create_directories(dir);
  fs::copy_file(StubProgram(), dir + "/korva.exe", fs::copy_options::overwrite_existing);
  fs::copy_file(StubProgram(), dir + "/launch.exe", fs::copy_options::overwrite_existing);
  fs::create_directories(dir + "/bin");
  fs::copy_file(StubProgram(), dir + "/bin/korva.exe", fs::copy_options::overwrite_existing);
  WriteHostFile(dir + "/readme.txt", "Korva network accelerator\r\n");
  WriteHostFile(dir + "/icon.ico", std::string(64, '\x01'));
  WriteHostFile(dir + "/bin/route.dat", std::string(4096, 'r'));
  WriteHostFile(dir + "/resources/cplus-module/update.json", UpdateJsonText(versionCheckUrl, 1, 200, 1));
}

bool PackDirectory(const std::string& dir, const std::string& archive) {
  std::error_code ec;
  fs::remove(archive, ec);
  // "dir/." packs the contents, not the folder itself.
  return RunHostCommand({"7z", "a", "-bd", "-y", archive, dir + "/."}) == 0 && HostExists(archive);
}

void InstallerE2eTest::SetUp() {
  machine_.reset(new TempMachine());
  std::string tmpl = (fs::temp_directory_path() / "korva-e2e-XXXXXX").string();
  ASSERT_NE(nullptr, mkdtemp(tmpl.data()));
  scratch_ = tmpl;

  ASSERT_TRUE(service_.Start(0));
  const std::string root = scratch_ + "/service";
  WriteProductTree(scratch_ + "/product", service_.VersionCheckUrl());
  ASSERT_TRUE(PackDirectory(scratch_ + "/product", root + "/korva.7z"));
  service_.SetRoot(root);
  CatalogEntry entry;
  entry.packageName = "korva";
  entry.versionCode = 200;
  entry.versionName = "2.0.0";
  entry.text = "first release";
  entry.file = "korva.7z";
  service_.SetPackage(entry);

  ASSERT_TRUE(installer_.Create(scratch_ + "/installer"));
  installer_.WriteInstallJson(service_.BaseUrl());
  installer_.WriteUpdateJson(service_.VersionCheckUrl());
}

void InstallerE2eTest::TearDown() {
  // Product stubs that were told to stay would outlive the test.
  if (machine_) {
    for (const Json::Value& run : StubRuns(*machine_)) {
      if (run["stays"].asBool()) kill(run["pid"].asInt(), SIGKILL);
    }
  }
  service_.Stop();
  machine_.reset();
  std::error_code ec;
  if (!scratch_.empty()) fs::remove_all(scratch_, ec);
}

void InstallerE2eTest::StartInstaller(ProgramRun* run) {
  const std::string output = scratch_ + "/install-" + std::to_string(++outputs_) + ".out";
  ASSERT_TRUE(run->Start(installer_.program(), {}, output)) << "cannot start " << installer_.program();
}

HWND InstallerE2eTest::StartAndWaitForMainWindow(ProgramRun* run) {
  StartInstaller(run);
  if (run->pid() <= 0) return nullptr;
  HWND main = WaitForWindow(kMainWindow, run->pid(), kWindowTimeoutMs, true);
  // Marked right after its creation; a second installer looks for the mark.
  WindowState state;
  if (main && !WaitUntil([&] { return GetWindowState(main, &state) && state.marked; }, kWindowTimeoutMs)) main = nullptr;
  EXPECT_NE(nullptr, main) << "the main window did not show";
  return main;
}

HWND InstallerE2eTest::WaitForMessageBox(const ProgramRun& run, std::string* text) {
  HWND box = WaitForWindow(kMessageBox, run.pid(), kWindowTimeoutMs, true);
  EXPECT_NE(nullptr, box) << "no message box appeared";
  if (box && text) *text = ControlText(box, "TextContent");
  return box;
}

HWND InstallerE2eTest::PressForMessageBox(const ProgramRun& run, HWND window, const std::string& button,
                                          std::string* text) {
  std::string why;
  EXPECT_TRUE(Click(window, button, &why)) << why;
  return WaitForMessageBox(run, text);
}

HWND InstallerE2eTest::InstallToCompletion(const ProgramRun& run, HWND main) {
  std::string why;
  EXPECT_TRUE(Click(main, "ButtonInstall", &why)) << why;
  HWND complete = WaitForWindow(kCompleteWindow, run.pid(), kInstallTimeoutMs, true);
  EXPECT_NE(nullptr, complete) << "the installation did not complete\n" << LogText();
  return complete;
}

void InstallerE2eTest::Finish(ProgramRun* run, HWND complete, const std::string& button) {
  std::string why;
  ASSERT_TRUE(Click(complete, button, &why)) << why;
  ExpectEndsCleanly(run);
}

bool InstallerE2eTest::InstallAndClose(ProgramRun* run, HWND main) {
  HWND complete = InstallToCompletion(*run, main);
  if (!complete) return false;
  Finish(run, complete, "ButtonClose");
  return true;
}

void InstallerE2eTest::AnswerMessageBox(HWND box, const std::string& button) {
  std::string why;
  ASSERT_TRUE(Click(box, button, &why)) << why;
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(box); }, kWindowTimeoutMs)) << "the box stayed open";
}

void InstallerE2eTest::ExpectEndsCleanly(ProgramRun* run) {
  int code = -1;
  ASSERT_TRUE(run->Wait(kWindowTimeoutMs, &code)) << "install.exe did not end";
  EXPECT_EQ(0, code) << ReadHostFile(scratch_ + "/install-" + std::to_string(outputs_) + ".out");
}

std::string InstallerE2eTest::DataDirHost() const {
  return machine_->c() + "/Program Files (x86)/Common Files/korva";
}

std::string InstallerE2eTest::LogText() const {
  std::string text;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(DataDirHost(), ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("Install", 0) == 0 && entry.path().extension() == ".log") text += ReadHostFile(entry.path());
  }
  return text;
}

bool InstallerE2eTest::UninstallValue(const std::wstring& name, std::wstring* value) const {
  HKEY key = nullptr;
  const std::wstring path =
      L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{5D2A7E41-3C86-4B19-9F07-A1E4C6B3D852}";
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  WCHAR data[1024] = {0};
  DWORD size = sizeof(data) - sizeof(WCHAR);
  DWORD type = 0;
  LONG rc = RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<LPBYTE>(data), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return false;
  *value = data;
  return true;
}

std::vector<StatisticsPost> InstallerE2eTest::InstallPosts() const {
  std::vector<StatisticsPost> posts;
  for (const StatisticsPost& post : service_.StatisticsPosts())
    if (post.path == kInstallFigurePath) posts.push_back(post);
  return posts;
}

int InstallerE2eTest::StartRunningMainProgram() {
  const std::string program = InstallDirHost() + "/korva.exe";
  InstallStub(program);
  WriteHostFile(program + ".stay", "");
  const size_t before = StubRuns(*machine_).size();
  ShellExecuteW(nullptr, L"open", L"C:\\Program Files\\korva\\korva.exe", L"", nullptr, SW_SHOW);
  std::vector<Json::Value> runs = WaitForStubRuns(*machine_, before + 1, kWindowTimeoutMs);
  return runs.size() > before ? runs.back()["pid"].asInt() : -1;
}

}  // namespace testing_support
