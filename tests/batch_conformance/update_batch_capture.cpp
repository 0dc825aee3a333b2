// The first half of the batch file conformance run: for each install
// location, installs the product with the real install.exe on a fresh
// machine, publishes a newer updater and runs the real update.exe until it
// has written update.bat and handed it to the batch interpreter. The
// interpreter here is capture_batch.sh, which only notes how it was started,
// so the batch file stays unrun; the machine is then copied, as it stands, to
// $KORVA_BATCH_OUT/<case>/machine for run_batch_conformance.sh to run the
// batch file there with cmdbat and with Wine's cmd. The records update.exe
// changes are kept as they were before it ran.
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "e2e/update_e2e.h"
#include "internal/machine.h"
#include "internal/unicode.h"
#include "support/stub_program.h"
#include "support/update_json.h"

namespace testing_support {
namespace {

namespace fs = std::filesystem;

// Appended to the new updater, so that its copy is told from the old one.
const char kNewUpdaterMark[] = "\n#new updater\n";
const int kNewUpdaterVersion = 2;

struct Location {
  const char* name;    // the case's folder
  const char* parent;  // the installer's default path; the product goes to <parent>korva
};

const Location kLocations[] = {
    {"spaces", "C:/Program Files/"}, {"x86", "C:/Program Files (x86)/"}, {"chinese", "C:/Korva加速器/"},
    {"ampersand", "C:/Tools & Games/"}, {"caret", "C:/Me^You/"},        {"percent", "C:/50% off/"},
};

std::string EnvText(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

std::vector<std::string> FileLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// A host path below the machine, relative to it; empty when it is not below.
std::string BelowMachine(const std::string& path, const std::string& machine) {
  const std::string prefix = machine + "/";
  return path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : std::string();
}

class UpdateBatchCapture : public UpdaterE2eTest, public ::testing::WithParamInterface<Location> {
 protected:
  // The product is installed by the test itself, at its location.
  void SetUp() override { InstallerE2eTest::SetUp(); }

  // "C:/x/" is <machine>/c/x/.
  std::string InstallDir() const { return machine().c() + "/" + std::string(GetParam().parent).substr(3) + "korva"; }
};

TEST_P(UpdateBatchCapture, WritesTheBatchFile) {
  const std::string outRoot = EnvText("KORVA_BATCH_OUT");
  const std::string capture = EnvText("KORVA_BATCH_CAPTURE_PROGRAM");
  ASSERT_FALSE(outRoot.empty() || capture.empty()) << "KORVA_BATCH_OUT and KORVA_BATCH_CAPTURE_PROGRAM must be set";
  const std::string out = outRoot + "/" + GetParam().name;
  fs::remove_all(out);
  fs::create_directories(out);

  // The user installs into the location and closes the completion window.
  installer().WriteInstallJson(service().BaseUrl(), GetParam().parent);
  ProgramRun install;
  HWND main = StartAndWaitForMainWindow(&install);
  ASSERT_NE(nullptr, main);
  ASSERT_TRUE(InstallAndClose(&install, main)) << LogText();
  const std::string updateDir = InstallDir() + "/update";
  ASSERT_TRUE(HostExists(updateDir + "/update.exe")) << LogText();

  // The updater's record holds a channel: update.exe moves it to
  // channel.json and deletes the record before the batch file runs.
  WriteHostFile(updateDir + "/update.json",
                R"({"updateupdate": {"packagename": "korva_update", "version": "1"}, "channel": "beta"})");

  // An earlier package left an installed runtime file read-only, hidden and
  // a system file, and another one hidden; the product's record is hidden.
  fs::permissions(updateDir + "/ucrtbase.dll", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  const std::string flagged[] = {updateDir + "/ucrtbase.dll", updateDir + "/api-ms-win-crt-runtime-l1-1-0.dll",
                                 InstallDir() + "/resources/cplus-module/update.json"};
  const DWORD flags[] = {FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM,
                         FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_HIDDEN};
  for (size_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(HostExists(flagged[i])) << flagged[i];
    ASSERT_TRUE(SetFileAttributesW(win32::ToWindowsPath(flagged[i]).c_str(), flags[i]));
  }

  // The new updater brings changed files (a read-only runtime file copied
  // before the launcher, which a run may hold), its own record (new to the
  // batch file, which finds none), files in new folders and names that the
  // batch file must spell in its code page or escape.
  Publish("korva_update", kNewUpdaterVersion, "2.0.0", "updater release notes", "update-2.7z",
          {{"update.exe", ReadHostFile(StubProgram()) + kNewUpdaterMark},
           {"update.json", UpdateJsonText(service().VersionCheckUrl(), kNewUpdaterVersion, 200, 1)},
           {"api-ms-win-crt-runtime-l1-1-0.dll", "new runtime"},
           {"launch.exe", "new launcher"},
           {"ucrtbase.dll", "new runtime"},
           {"extras/readme.txt", "new folder"},
           {"skin/theme/dark.xml", "<theme/>"},
           {"说明/新功能.txt", "新功能"},
           {"rate 50%.txt", "half"}},
          {"api-ms-win-crt-runtime-l1-1-0.dll"});

  // The records as the installation left them, which a given-up update must
  // put back: copied to <out>/records/<name>, a missing one left out.
  const std::pair<const char*, std::string> records[] = {
      {"product_config", InstallDir() + "/resources/cplus-module/update.json"},
      {"updater_config", updateDir + "/update.json"},
      {"channel_file", updateDir + "/channel.json"}};
  fs::create_directories(out + "/records");
  for (const auto& record : records) {
    if (HostExists(record.second)) fs::copy_file(record.second, out + "/records/" + record.first);
  }

  // update.exe hands the batch file to the capture program instead of
  // cmdbat, and ends.
  const std::string record = out + "/interpreter.txt";
  setenv("WIN32_CMDBAT", capture.c_str(), 1);
  setenv("KORVA_BATCH_CAPTURE", record.c_str(), 1);
  ProgramRun update;
  ASSERT_TRUE(update.Start("/bin/sh", {"-c", "cd \"$0\" && exec ./update.exe", updateDir}, out + "/update.out"));
  int code = -1;
  ASSERT_TRUE(update.Wait(kInstallTimeoutMs, &code)) << "update.exe did not end\n" << UpdateLogText();
  unsetenv("WIN32_CMDBAT");
  EXPECT_EQ(0, code);

  // How the platform started the interpreter: in the work folder, with the
  // batch file's host path as the only argument. The interpreter is started
  // detached and may still be running when update.exe has ended.
  WaitUntil([&] { return HostExists(record); }, 20000);
  const std::vector<std::string> started = FileLines(record);
  ASSERT_EQ(2u, started.size()) << "the interpreter was not started once with one argument\n" << UpdateLogText();
  const std::string cwd = BelowMachine(started[0], machine().dir());
  const std::string batch = BelowMachine(started[1], machine().dir());
  ASSERT_EQ(WorkDirHost(), started[0]);
  ASSERT_EQ(WorkDirHost() + "/update.bat", started[1]);
  ASSERT_TRUE(HostExists(started[1]));
  ASSERT_TRUE(HostExists(WorkDirHost() + "/update_update/extras/readme.txt"));

  // The hidden and system flags of those files as update.exe left them, as
  // attrib sets them ("<Windows path>|+h +s"): Wine keeps them its own way.
  std::ofstream flagLines(out + "/flags.txt", std::ios::binary);
  for (const std::string& file : flagged) {
    const DWORD attributes = GetFileAttributesW(win32::ToWindowsPath(file).c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes) << file;
    std::string set;
    if (attributes & FILE_ATTRIBUTE_HIDDEN) set += " +h";
    if (attributes & FILE_ATTRIBUTE_SYSTEM) set += " +s";
    if (!set.empty()) flagLines << win32::WideToUtf8(win32::ToWindowsPath(file)) << "|" << set.substr(1) << "\n";
  }
  flagLines.close();

  std::ofstream facts(out + "/case.txt", std::ios::binary);
  facts << "cwd=" << cwd << "\n"
        << "batch=" << batch << "\n"
        << "batch_windows=" << win32::WideToUtf8(win32::ToWindowsPath(started[1])) << "\n"
        << "exe_dir_windows=" << win32::WideToUtf8(win32::ToWindowsPath(updateDir)) << "\n"
        << "exe_dir=" << BelowMachine(updateDir, machine().dir()) << "\n"
        << "old_version=" << kInstalledUpdaterVersion << "\n"
        << "new_version=" << kNewUpdaterVersion << "\n";
  for (const auto& record : records) facts << record.first << "=" << BelowMachine(record.second, machine().dir()) << "\n";
  facts.close();
  ASSERT_EQ(0, RunHostCommand({"cp", "-a", machine().dir(), out + "/machine"}));
}

INSTANTIATE_TEST_SUITE_P(Locations, UpdateBatchCapture, ::testing::ValuesIn(kLocations),
                         [](const ::testing::TestParamInfo<Location>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace testing_support
