// The self-update batch file, the version and channel write-back, and the
// JSON write side they use.
#include <algorithm>
#include <map>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <shlobj.h>

#include "shared/json_config.h"
#include "shared/log_writer.h"
#include "shared/system_helpers.h"
#include "shared/text_convert.h"
#include "platform/helpers/batch_run.h"
#include "support/host_tree.h"
#include "support/stub_program.h"
#include "support/temp_machine.h"
#include "updater/self_update.h"
#include "updater/update_context.h"
#include "updater_test_util.h"

namespace {

using testing_support::HostExists;
using testing_support::HostTree;
using testing_support::ShownContent;
using testing_support::ReadHostFile;
using testing_support::TempMachine;
using testing_support::WriteHostFile;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(text.size(), start) << "text after the last line end";
  return lines;
}

Json::Value ParseHostJson(const std::string& path) {
  Json::Value value;
  Json::Reader reader;
  EXPECT_TRUE(reader.parse(ReadHostFile(path), value)) << path;
  return value;
}

// The lines that wait, at most 30 rounds, until the old updater (exe, as the
// batch file spells it) can be written.
std::vector<std::string> UpdaterExitWait(const std::string& exe) {
  const std::string quoted = "\"" + exe + "\"";
  return {"set /a korva_wait=0",
          ":korva_wait",
          "if not exist " + quoted + " goto korva_copy",
          "copy /y /b " + quoted + "+nul " + quoted + " >nul 2>nul",
          "if not errorlevel 1 goto korva_copy",
          "set /a korva_wait+=1",
          "if %korva_wait% geq 30 goto korva_failed",
          "ping -n 2 127.0.0.1>nul",
          "goto korva_wait",
          ":korva_copy"};
}

// Where `line` stands, or -1.
int IndexOf(const std::vector<std::string>& lines, const std::string& line) {
  auto it = std::find(lines.begin(), lines.end(), line);
  return it == lines.end() ? -1 : static_cast<int>(it - lines.begin());
}

// A machine with the log at C:\test.log.
class SelfUpdateFiles : public ::testing::Test {
 protected:
  void SetUp() override { SetLogPath("C:\\test.log"); }
  void TearDown() override { SetLogPath(""); }
  std::string Host(const std::string& relative) const { return machine_.c() + "/" + relative; }
  std::string Log() const { return ReadHostFile(Host("test.log")); }

  TempMachine machine_;
};

TEST_F(SelfUpdateFiles, BatchFileLines) {
  WriteHostFile(Host("work/update_update/update.exe"), "exe");
  WriteHostFile(Host("work/update_update/skin/skin.zip"), "skin");
  WriteHostFile(Host("work/update_update/skin/img/a.png"), "png");
  WriteHostFile(Host("work/update_update/lang/zh/text.txt"), "text");
  WriteHostFile(Host("work/update.bat"), "stale content of an earlier run\r\n");
  WriteHostFile(Host("Prog/update/update.exe"), "old exe");
  WriteHostFile(Host("Prog/update/skin/skin.zip"), "old skin");
  const std::vector<KeptFile> records = {{L"C:\\Prog\\update.json", L"C:\\work\\update_kept\\record0"},
                                         {L"C:\\Prog\\update\\channel.json", L""}};

  ASSERT_TRUE(WriteUpdateBatch(L"C:\\work\\update.bat", L"C:\\work\\update_update", L"C:\\Prog\\update\\",
                               L"C:\\work\\", records));
  const std::vector<std::string> lines = Lines(ReadHostFile(Host("work/update.bat")));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("ping -n 1 127.0>nul", lines[0]);
  EXPECT_EQ(UpdaterExitWait("C:\\Prog\\update\\update.exe"),
            std::vector<std::string>(lines.begin() + 1, lines.begin() + std::min<size_t>(lines.size(), 11)));

  // The copies in CollectFiles order, each after its target's flags
  // are cleared and followed by its check. Before the first one, every file
  // there when the batch file runs is kept; the new folders are made.
  const std::string src = "\"C:\\work\\update_update\\", dst = "\"C:\\Prog\\update\\";
  const std::vector<std::string> copies = {"lang\\zh\\text.txt", "skin\\img\\a.png", "skin\\skin.zip", "update.exe"};
  int at = 10;
  for (size_t i = 0; i < copies.size(); ++i) {
    SCOPED_TRACE(copies[i]);
    const std::string target = dst + copies[i] + "\"";
    const std::string kept = "\"C:\\work\\update_kept\\file" + std::to_string(i) + "\"";
    const int keep = IndexOf(lines, "if exist " + target + " copy /y " + target + " " + kept);
    ASSERT_EQ(at + 1, keep);
    EXPECT_EQ("if exist " + target + " if errorlevel 1 goto korva_failed", lines[keep + 1]);
    at = keep + 1;
  }
  const int mdLang = IndexOf(lines, "md \"C:\\Prog\\update\\lang\"");
  EXPECT_EQ(at + 1, mdLang);
  EXPECT_EQ(mdLang + 1, IndexOf(lines, "md \"C:\\Prog\\update\\lang\\zh\""));
  EXPECT_EQ(mdLang + 2, IndexOf(lines, "md \"C:\\Prog\\update\\skin\\img\""));
  at = mdLang + 2;
  for (size_t i = 0; i < copies.size(); ++i) {
    SCOPED_TRACE(copies[i]);
    const std::string target = dst + copies[i] + "\"";
    const int copy = IndexOf(lines, "copy /y " + src + copies[i] + "\" " + target);
    ASSERT_EQ(at + 2, copy);
    EXPECT_EQ("if exist " + target + " attrib -r -h -s " + target + " >nul 2>nul", lines[copy - 1]);
    EXPECT_EQ("if errorlevel 1 goto korva_undo" + std::to_string(i), lines[copy + 1]);
    at = copy + 1;
  }
  // Undone from the failing copy down: kept files back, the others (new
  // when the batch file ran) and the new folders gone; then the records,
  // and the launcher is started from the updater's folder.
  std::vector<std::string> undo;
  for (size_t i = copies.size(); i-- > 0;) {
    const std::string kept = "\"C:\\work\\update_kept\\file" + std::to_string(i) + "\"";
    const std::string target = dst + copies[i] + "\"";
    undo.push_back(":korva_undo" + std::to_string(i));
    undo.push_back("if exist " + target + " attrib -r -h -s " + target + " >nul 2>nul");
    undo.push_back("if exist " + kept + " copy /y " + kept + " " + target);
    undo.push_back("if not exist " + kept + " del /f " + target);
  }
  for (const char* dir : {"skin\\img", "lang\\zh", "lang"}) undo.push_back("rd " + dst + dir + "\"");
  for (const char* line : {":korva_failed",
                           "if exist \"C:\\Prog\\update.json\" attrib -r -h -s \"C:\\Prog\\update.json\" >nul 2>nul",
                           "copy /y \"C:\\work\\update_kept\\record0\" \"C:\\Prog\\update.json\"",
                           "if exist \"C:\\Prog\\update\\channel.json\" attrib -r -h -s "
                           "\"C:\\Prog\\update\\channel.json\" "
                           ">nul 2>nul",
                           "del /f \"C:\\Prog\\update\\channel.json\"", "rd /s /q \"C:\\work\\update_update\"",
                           "rd /s /q \"C:\\work\\update_kept\"", "C:", "cd \"C:\\Prog\\update\\\"",
                           "if exist \"C:\\Prog\\update\\launch.exe\" start \"\" \"C:\\Prog\\update\\launch.exe\"",
                           "goto korva_end"}) {
    undo.push_back(line);
  }
  EXPECT_EQ("goto korva_replaced", lines[at + 1]);
  const int undoAt = at + 2;
  EXPECT_EQ(undo, std::vector<std::string>(lines.begin() + undoAt,
                                           lines.begin() + std::min(lines.size(), undoAt + undo.size())));
  // The lines of a replacement that went well end the file.
  const std::vector<std::string> tail = {":korva_replaced",
                                         "rd /s /q \"C:\\work\\update_update\"",
                                         "rd /s /q \"C:\\work\\update_kept\"",
                                         "C:",
                                         "cd \"C:\\Prog\\update\\\"",
                                         "\"C:\\Prog\\update\\update.exe\"",
                                         "ping -n 6 127.0>nul",
                                         ":korva_end",
                                         "del %0"};
  ASSERT_EQ(static_cast<size_t>(undoAt) + undo.size() + tail.size(), lines.size());
  EXPECT_EQ(tail, std::vector<std::string>(lines.end() - static_cast<long>(tail.size()), lines.end()));
  // The folders are the batch file's to make; the place for kept files is there.
  EXPECT_FALSE(std::filesystem::exists(Host("Prog/update/skin/img")));
  EXPECT_TRUE(std::filesystem::is_directory(Host("work/update_kept")));

  // An empty tree, and paths whose "%" the interpreter would expand.
  testing_support::MakeHostDirs(Host("work/empty"));
  ASSERT_TRUE(WriteUpdateBatch(L"C:\\work\\update.bat", L"C:\\work\\empty", L"D:\\50%off\\update\\",
                               L"C:\\%TEMP%\\", {{L"D:\\50%off\\update.json", L""}}));
  const std::vector<std::string> expected = {"ping -n 1 127.0>nul",
                                             "goto korva_replaced",
                                             ":korva_failed",
                                             "if exist \"D:\\50%%off\\update.json\" attrib -r -h -s "
                                             "\"D:\\50%%off\\update.json\" >nul 2>nul",
                                             "del /f \"D:\\50%%off\\update.json\"",
                                             "rd /s /q \"C:\\%%TEMP%%\\update_update\"",
                                             "rd /s /q \"C:\\%%TEMP%%\\update_kept\"",
                                             "D:",
                                             "cd \"D:\\50%%off\\update\\\"",
                                             "if exist \"D:\\50%%off\\update\\launch.exe\" start \"\" "
                                             "\"D:\\50%%off\\update\\launch.exe\"",
                                             "goto korva_end",
                                             ":korva_replaced",
                                             "rd /s /q \"C:\\%%TEMP%%\\update_update\"",
                                             "rd /s /q \"C:\\%%TEMP%%\\update_kept\"",
                                             "D:",
                                             "cd \"D:\\50%%off\\update\\\"",
                                             "\"D:\\50%%off\\update\\update.exe\"",
                                             "ping -n 6 127.0>nul",
                                             ":korva_end",
                                             "del %0"};
  std::vector<std::string> emptyLines = Lines(ReadHostFile(Host("work/update.bat")));
  ASSERT_EQ(expected.size() + 10, emptyLines.size());
  EXPECT_EQ(UpdaterExitWait("D:\\50%%off\\update\\update.exe"),
            std::vector<std::string>(emptyLines.begin() + 1, emptyLines.begin() + 11));
  emptyLines.erase(emptyLines.begin() + 1, emptyLines.begin() + 11);
  EXPECT_EQ(expected, emptyLines);

  EXPECT_FALSE(WriteUpdateBatch(L"C:\\missing\\update.bat", L"C:\\work\\empty", L"C:\\Prog\\update\\",
                                L"C:\\work\\", {}));
}

// The batch file run as the updater starts it, once while a file it must
// replace belongs to a running program (it gives up, everything is as it
// was and the launcher is started), then once that program has ended
// (everything is new). Between the writing and the run, the updater's record
// goes, as a moved channel takes it, and so does a.dll: both are new to the
// batch file then.
TEST_F(SelfUpdateFiles, BatchFileReplacesTheWholeUpdaterOrNothing) {
  const std::string exeDir = Host("Prog/update");
  testing_support::InstallStub(exeDir + "/update.exe");
  testing_support::InstallStub(exeDir + "/launch.exe");
  WriteHostFile(exeDir + "/skin/skin.zip", "old skin");
  WriteHostFile(Host("Prog/product.json"), "old record");
  const std::string newUpdater = ReadHostFile(exeDir + "/update.exe") + "\n#updater 2\n";
  auto placePackage = [&] {
    WriteHostFile(Host("work/update_update/a.dll"), "new library");
    WriteHostFile(Host("work/update_update/launch.exe"), "new launcher");
    WriteHostFile(Host("work/update_update/lang/zh/text.txt"), "new folder");
    WriteHostFile(Host("work/update_update/skin/skin.zip"), "new skin");
    WriteHostFile(Host("work/update_update/update.exe"), newUpdater);
    WriteHostFile(Host("work/update_update/update.json"), "package record");
  };
  // As FinishSelfUpdate does: records kept, then changed.
  const std::vector<KeptFile> records = {{L"C:\\Prog\\product.json", L"C:\\work\\update_kept\\record0"},
                                         {L"C:\\Prog\\update\\update.json", L"C:\\work\\update_kept\\record1"},
                                         {L"C:\\Prog\\update\\channel.json", L""}};
  auto writeBatchAndRecords = [&] {
    WriteHostFile(exeDir + "/a.dll", "old library");
    WriteHostFile(exeDir + "/update.json", "old updater record");
    // A copy an earlier run left where a.dll would be kept.
    WriteHostFile(Host("work/update_kept/file0"), "stale copy");
    ASSERT_TRUE(WriteUpdateBatch(L"C:\\work\\update.bat", L"C:\\work\\update_update", L"C:\\Prog\\update\\",
                                 L"C:\\work\\", records));
    std::filesystem::copy_file(Host("Prog/product.json"), Host("work/update_kept/record0"));
    std::filesystem::copy_file(exeDir + "/update.json", Host("work/update_kept/record1"));
    WriteHostFile(Host("Prog/product.json"), "new record");
    std::filesystem::remove(exeDir + "/update.json");
    WriteHostFile(exeDir + "/channel.json", "moved channel");
    std::filesystem::remove(exeDir + "/a.dll");
  };
  // The batch file ends (its code is the last copy's), without leftovers.
  auto runBatch = [&] {
    EXPECT_EQ(0u, batch_testing::RunBatch(L"C:\\work\\update.bat", L"", L"C:\\work", 30000));
    EXPECT_FALSE(HostExists(Host("work/update.bat")));
    EXPECT_FALSE(HostExists(Host("work/update_update")));
    EXPECT_FALSE(HostExists(Host("work/update_kept")));
  };

  HANDLE launcher = batch_testing::StartThroughShell(L"C:\\Prog\\update\\launch.exe", L"--stay", L"");
  ASSERT_NE(nullptr, launcher);
  ASSERT_EQ(1u, testing_support::WaitForStubRuns(machine_, 1).size());
  placePackage();
  writeBatchAndRecords();
  const std::map<std::string, std::string> before = HostTree(exeDir);
  runBatch();
  // The files as the batch file found them, the records as they were kept.
  std::map<std::string, std::string> given = before;
  given.erase("channel.json");
  given["update.json"] = "old updater record";
  EXPECT_EQ(given, HostTree(exeDir));
  EXPECT_EQ("old record", ReadHostFile(Host("Prog/product.json")));
  // The launcher, once, from the updater's folder; the updater not at all.
  testing_support::WaitForStubRuns(machine_, 2);
  Sleep(500);  // a second start would be seen by now
  std::vector<Json::Value> runs = testing_support::StubRuns(machine_);
  ASSERT_EQ(2u, runs.size());
  EXPECT_EQ("C:\\Prog\\update\\launch.exe", runs[1]["windows_path"].asString());
  EXPECT_EQ("C:\\Prog\\update", runs[1]["windows_cwd"].asString());
  EXPECT_EQ(0u, runs[1]["args"].size());

  EXPECT_TRUE(TerminateProcess(launcher, 0));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(launcher, 5000));
  CloseHandle(launcher);
  placePackage();
  writeBatchAndRecords();
  runBatch();
  std::map<std::string, std::string> after = before;
  after["a.dll"] = "new library";
  after["launch.exe"] = "new launcher";
  after["lang/"] = after["lang/zh/"] = "";
  after["lang/zh/text.txt"] = "new folder";
  after["skin/skin.zip"] = "new skin";
  after["update.exe"] = ShownContent(newUpdater);
  after["update.json"] = "package record";
  EXPECT_EQ(after, HostTree(exeDir));
  EXPECT_EQ("new record", ReadHostFile(Host("Prog/product.json")));
  runs = testing_support::StubRuns(machine_);
  ASSERT_EQ(3u, runs.size());
  EXPECT_EQ("C:\\Prog\\update\\update.exe", runs[2]["windows_path"].asString());
  EXPECT_EQ(0u, runs[2]["args"].size());
}

// Packages whose files are read-only, as a package packed from a read-only
// tree has them: the batch file replaces read-only files, the updater's own
// program too without waiting out its rounds, a second update goes over the
// first, and a given-up update leaves the old updater byte for byte with its
// flags, whatever the flags of the files it had copied by then.
TEST_F(SelfUpdateFiles, ReadOnlyFilesNeitherStopNorMixTheUpdater) {
  const std::string exeDir = Host("Prog/update");
  testing_support::InstallStub(exeDir + "/update.exe");
  testing_support::InstallStub(exeDir + "/launch.exe");
  WriteHostFile(exeDir + "/a.dll", "old library");
  const std::string stub = ReadHostFile(exeDir + "/update.exe");
  auto readOnly = [&](const std::string& relative) {
    const DWORD attributes = GetFileAttributesW(win32::ToWindowsPath(exeDir + "/" + relative).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
  };
  auto setReadOnly = [](const std::string& host) {
    ASSERT_TRUE(SetFileAttributesW(win32::ToWindowsPath(host).c_str(), FILE_ATTRIBUTE_READONLY));
  };
  // Unpacks a package: each file, read-only where named so.
  auto placePackage = [&](const std::map<std::string, std::string>& files, const std::vector<std::string>& flagged) {
    for (const auto& file : files) WriteHostFile(Host("work/update_update/" + file.first), file.second);
    for (const std::string& file : flagged) setReadOnly(Host("work/update_update/" + file));
  };
  auto runBatch = [&] {
    ASSERT_TRUE(WriteUpdateBatch(L"C:\\work\\update.bat", L"C:\\work\\update_update", L"C:\\Prog\\update\\",
                                 L"C:\\work\\", {}));
    const ULONGLONG began = GetTickCount64();
    EXPECT_EQ(0u, batch_testing::RunBatch(L"C:\\work\\update.bat", L"", L"C:\\work", 60000));
    // Its wait found the updater gone at once: no round was spent.
    EXPECT_LT(GetTickCount64() - began, 15000u);
    EXPECT_FALSE(HostExists(Host("work/update.bat")));
    EXPECT_FALSE(HostExists(Host("work/update_update")));
    EXPECT_FALSE(HostExists(Host("work/update_kept")));
  };

  // The installed updater's program is read-only; the package replaces it,
  // the library with a read-only one, and brings a read-only file.
  setReadOnly(exeDir + "/update.exe");
  const std::string second = stub + "\n#updater 2\n";
  placePackage({{"update.exe", second}, {"a.dll", "library 2"}, {"data/b.txt", "b 2"}}, {"a.dll", "data/b.txt"});
  runBatch();
  EXPECT_EQ(second, ReadHostFile(exeDir + "/update.exe"));
  EXPECT_EQ("library 2", ReadHostFile(exeDir + "/a.dll"));
  EXPECT_EQ("b 2", ReadHostFile(exeDir + "/data/b.txt"));
  EXPECT_TRUE(readOnly("a.dll") && readOnly("data/b.txt"));
  EXPECT_FALSE(readOnly("update.exe"));

  // The next update goes over those read-only files; its update.exe is
  // read-only itself.
  const std::string third = stub + "\n#updater 3\n";
  placePackage({{"update.exe", third}, {"a.dll", "library 3"}, {"data/b.txt", "b 3"}}, {"update.exe"});
  runBatch();
  EXPECT_EQ(third, ReadHostFile(exeDir + "/update.exe"));
  EXPECT_EQ("library 3", ReadHostFile(exeDir + "/a.dll"));
  EXPECT_EQ("b 3", ReadHostFile(exeDir + "/data/b.txt"));
  EXPECT_TRUE(readOnly("update.exe"));
  EXPECT_FALSE(readOnly("a.dll") || readOnly("data/b.txt"));
  ASSERT_EQ(2u, testing_support::WaitForStubRuns(machine_, 2).size());  // each new updater started

  // A third one is given up at launch.exe, which runs: by then it has copied
  // a read-only a.dll and a new read-only file; the update.exe it would
  // copy after launch.exe is read-only now.
  ASSERT_TRUE(SetFileAttributesW(L"C:\\Prog\\update\\a.dll", FILE_ATTRIBUTE_READONLY));
  const std::map<std::string, std::string> before = HostTree(exeDir);
  HANDLE launcher = batch_testing::StartThroughShell(L"C:\\Prog\\update\\launch.exe", L"--stay", L"");
  ASSERT_NE(nullptr, launcher);
  ASSERT_EQ(3u, testing_support::WaitForStubRuns(machine_, 3).size());
  placePackage({{"a.dll", "library 4"}, {"a2.txt", "new 4"}, {"launch.exe", "launcher 4"}, {"update.exe", stub}},
               {"a.dll", "a2.txt", "update.exe"});
  runBatch();
  EXPECT_EQ(before, HostTree(exeDir));
  EXPECT_TRUE(readOnly("update.exe") && readOnly("a.dll"));
  EXPECT_FALSE(readOnly("data/b.txt"));
  EXPECT_TRUE(TerminateProcess(launcher, 0));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(launcher, 5000));
  CloseHandle(launcher);
}

// The same with hidden and system files, which copy refuses to overwrite and
// attrib leaves alone unless told about those flags: the batch file
// replaces them, a second update goes over the first one's, and a given-up
// update puts every file back with its flags, update.exe too.
TEST_F(SelfUpdateFiles, HiddenAndSystemFilesNeitherStopNorMixTheUpdater) {
  const DWORD kHidden = FILE_ATTRIBUTE_HIDDEN, kSystem = FILE_ATTRIBUTE_SYSTEM, kReadOnly = FILE_ATTRIBUTE_READONLY;
  const std::string exeDir = Host("Prog/update");
  testing_support::InstallStub(exeDir + "/update.exe");
  testing_support::InstallStub(exeDir + "/launch.exe");
  WriteHostFile(exeDir + "/a.dll", "old library");
  const std::string stub = ReadHostFile(exeDir + "/update.exe");
  auto flags = [&](const std::string& relative) {
    const DWORD attributes = GetFileAttributesW(win32::ToWindowsPath(exeDir + "/" + relative).c_str());
    return attributes == INVALID_FILE_ATTRIBUTES ? attributes : attributes & (kHidden | kSystem | kReadOnly);
  };
  auto setFlags = [](const std::string& host, DWORD attributes) {
    ASSERT_TRUE(SetFileAttributesW(win32::ToWindowsPath(host).c_str(), attributes));
  };
  auto placePackage = [&](const std::map<std::string, std::string>& files,
                          const std::map<std::string, DWORD>& flagged) {
    for (const auto& file : files) WriteHostFile(Host("work/update_update/" + file.first), file.second);
    for (const auto& file : flagged) setFlags(Host("work/update_update/" + file.first), file.second);
  };
  auto runBatch = [&] {
    ASSERT_TRUE(WriteUpdateBatch(L"C:\\work\\update.bat", L"C:\\work\\update_update", L"C:\\Prog\\update\\",
                                 L"C:\\work\\", {}));
    const ULONGLONG began = GetTickCount64();
    EXPECT_EQ(0u, batch_testing::RunBatch(L"C:\\work\\update.bat", L"", L"C:\\work", 60000));
    EXPECT_LT(GetTickCount64() - began, 15000u);  // no round of the wait was spent
    EXPECT_FALSE(HostExists(Host("work/update.bat")));
    EXPECT_FALSE(HostExists(Host("work/update_update")));
    EXPECT_FALSE(HostExists(Host("work/update_kept")));
  };

  // The installed updater's program is hidden and read-only, its library a
  // system file; the package brings them hidden and system in turn.
  setFlags(exeDir + "/update.exe", kHidden | kReadOnly);
  setFlags(exeDir + "/a.dll", kSystem);
  const std::string second = stub + "\n#updater 2\n";
  placePackage({{"update.exe", second}, {"a.dll", "library 2"}, {"data/b.txt", "b 2"}},
               {{"a.dll", kHidden}, {"data/b.txt", kHidden | kSystem}});
  runBatch();
  EXPECT_EQ(second, ReadHostFile(exeDir + "/update.exe"));
  EXPECT_EQ("library 2", ReadHostFile(exeDir + "/a.dll"));
  EXPECT_EQ("b 2", ReadHostFile(exeDir + "/data/b.txt"));
  EXPECT_EQ(0u, flags("update.exe"));
  EXPECT_EQ(kHidden, flags("a.dll"));
  EXPECT_EQ(kHidden | kSystem, flags("data/b.txt"));

  // The next update goes over them, and over an update.exe that is hidden
  // only: its wait must not be kept out either.
  setFlags(exeDir + "/update.exe", kHidden);
  const std::string third = stub + "\n#updater 3\n";
  placePackage({{"update.exe", third}, {"a.dll", "library 3"}, {"data/b.txt", "b 3"}}, {{"update.exe", kSystem}});
  runBatch();
  EXPECT_EQ(third, ReadHostFile(exeDir + "/update.exe"));
  EXPECT_EQ("library 3", ReadHostFile(exeDir + "/a.dll"));
  EXPECT_EQ("b 3", ReadHostFile(exeDir + "/data/b.txt"));
  EXPECT_EQ(kSystem, flags("update.exe"));
  EXPECT_EQ(0u, flags("a.dll") | flags("data/b.txt"));
  ASSERT_EQ(2u, testing_support::WaitForStubRuns(machine_, 2).size());

  // A third one is given up at launch.exe, which runs, after it has copied
  // a hidden a.dll over a hidden read-only one and a new hidden file.
  setFlags(exeDir + "/a.dll", kHidden | kReadOnly);
  setFlags(exeDir + "/data/b.txt", kSystem);
  setFlags(exeDir + "/update.exe", kHidden | kReadOnly);
  const std::map<std::string, std::string> before = HostTree(exeDir);
  HANDLE launcher = batch_testing::StartThroughShell(L"C:\\Prog\\update\\launch.exe", L"--stay", L"");
  ASSERT_NE(nullptr, launcher);
  ASSERT_EQ(3u, testing_support::WaitForStubRuns(machine_, 3).size());
  placePackage({{"a.dll", "library 4"}, {"a2.txt", "new 4"}, {"launch.exe", "launcher 4"}, {"update.exe", stub}},
               {{"a.dll", kHidden | kSystem}, {"a2.txt", kHidden | kSystem | kReadOnly}});
  runBatch();
  EXPECT_EQ(before, HostTree(exeDir));
  EXPECT_EQ(kHidden | kReadOnly, flags("a.dll"));
  EXPECT_EQ(kSystem, flags("data/b.txt"));
  EXPECT_EQ(kHidden | kReadOnly, flags("update.exe"));
  EXPECT_TRUE(TerminateProcess(launcher, 0));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(launcher, 5000));
  CloseHandle(launcher);
}

TEST_F(SelfUpdateFiles, JsonWriteSide) {
  WriteHostFile(Host("a.json"), "{\"name\": \"old\", \"entry\": {\"packagename\": \"p\", \"version\": \"3\"}}");
  JsonConfig config;
  ASSERT_TRUE(config.Load(L"C:/a.json"));
  EXPECT_TRUE(config.SetString(L"", L"ignored"));
  EXPECT_TRUE(config.SetVersion(L"", L"9"));
  EXPECT_TRUE(config.SetString(L"name", L"新"));
  EXPECT_TRUE(config.SetVersion(L"entry", L"5"));
  EXPECT_TRUE(config.SetVersion(L"fresh", L"6"));
  ASSERT_TRUE(config.Save(L""));  // back to the file it came from

  const std::string text = ReadHostFile(Host("a.json"));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), updater_test::CountOf(text, "\r\n"));
  const Json::Value saved = ParseHostJson(Host("a.json"));
  EXPECT_EQ(3u, saved.size());  // nothing for the empty names
  EXPECT_EQ("新", saved["name"].asString());
  EXPECT_EQ("p", saved["entry"]["packagename"].asString());
  EXPECT_EQ(Json::Value("5"), saved["entry"]["version"]);
  EXPECT_EQ(1u, saved["fresh"].size());
  EXPECT_EQ("6", saved["fresh"]["version"].asString());

  // A document that was never loaded takes the path it is saved to.
  JsonConfig fresh;
  fresh.SetString(L"channel", L"x");
  EXPECT_TRUE(fresh.Save(L"C:\\b.json"));
  EXPECT_EQ("x", ParseHostJson(Host("b.json"))["channel"].asString());
  JsonConfig nowhere;
  EXPECT_FALSE(nowhere.Save(L"C:\\missing\\c.json"));
}

TEST_F(SelfUpdateFiles, VersionWriteBack) {
  const std::string product =
      "{\"updateurl\": \"u\", \"updateupdate\": {\"packagename\": \"korva_update\", \"version\": \"3\"}}";
  WriteHostFile(Host("update.json"), product);
  EXPECT_TRUE(WriteBackVersion(L"C:\\update.json", L"updateupdate", 5));
  Json::Value saved = ParseHostJson(Host("update.json"));
  EXPECT_EQ("u", saved["updateurl"].asString());
  EXPECT_EQ("korva_update", saved["updateupdate"]["packagename"].asString());
  EXPECT_EQ(Json::Value("5"), saved["updateupdate"]["version"]);

  // A missing file is created with the one entry.
  EXPECT_TRUE(WriteBackVersion(L"C:\\created.json", L"updatekorva", 10203));
  saved = ParseHostJson(Host("created.json"));
  EXPECT_EQ(1u, saved.size());
  EXPECT_EQ("10203", saved["updatekorva"]["version"].asString());

  // A file that cannot be loaded keeps everything it has.
  const std::string broken = "{\"updatekorva\": {\"packagename\": \"korva\", \"version\": \"1\"},";
  WriteHostFile(Host("broken.json"), broken);
  EXPECT_FALSE(WriteBackVersion(L"C:\\broken.json", L"updatekorva", 2));
  EXPECT_FALSE(WritePackageVersion(L"C:\\broken.json", L"updatekorva", 2));
  EXPECT_EQ(broken, ReadHostFile(Host("broken.json")));
  EXPECT_NE(std::string::npos, Log().find("C:\\broken.json"));

  // An entry that is no object: the write-back fails without touching the file.
  const std::string odd = "{\"updatekorva\": 5, \"other\": 1}";
  WriteHostFile(Host("odd.json"), odd);
  EXPECT_ANY_THROW(WriteBackVersion(L"C:\\odd.json", L"updatekorva", 2));
  EXPECT_FALSE(WritePackageVersion(L"C:\\odd.json", L"updatekorva", 2));
  EXPECT_EQ(odd, ReadHostFile(Host("odd.json")));
}

TEST_F(SelfUpdateFiles, ChannelMove) {
  const std::wstring updaterConfig = L"C:\\update\\update.json";
  const std::wstring channelFile = L"C:\\update\\channel.json";
  const std::string updaterHost = Host("update/update.json");
  const std::string channelHost = Host("update/channel.json");
  auto reset = [&](const char* updater, const char* channel) {
    std::filesystem::remove(updaterHost);
    std::filesystem::remove(channelHost);
    if (updater) WriteHostFile(updaterHost, updater);
    if (channel) WriteHostFile(channelHost, channel);
  };

  // The channel moves; the other members of channel.json stay.
  reset("{\"updateupdate\": {\"version\": \"4\"}, \"channel\": \"store\"}", "{\"channel\": \"old\", \"keep\": 1}");
  MoveChannelSetting(updaterConfig, channelFile);
  Json::Value channel = ParseHostJson(channelHost);
  EXPECT_EQ("store", channel["channel"].asString());
  EXPECT_EQ(1, channel["keep"].asInt());
  EXPECT_FALSE(HostExists(updaterHost));

  // Neither file: the default channel.
  reset(nullptr, nullptr);
  MoveChannelSetting(updaterConfig, channelFile);
  channel = ParseHostJson(channelHost);
  EXPECT_EQ(1u, channel.size());
  EXPECT_EQ("pcclient", channel["channel"].asString());

  // Only channel.json: it stays as it is.
  reset(nullptr, "{\"channel\": \"mine\"}");
  MoveChannelSetting(updaterConfig, channelFile);
  EXPECT_EQ("{\"channel\": \"mine\"}", ReadHostFile(channelHost));

  // No channel to move (none, or empty text): channel.json is neither
  // created nor changed, and the updater's file stays as it is.
  for (const char* updater : {"{\"updateupdate\": {\"version\": \"4\"}}", "{\"channel\": \"\"}"}) {
    SCOPED_TRACE(updater);
    reset(updater, "{\"channel\": \"mine\"}");
    MoveChannelSetting(updaterConfig, channelFile);
    EXPECT_EQ("{\"channel\": \"mine\"}", ReadHostFile(channelHost));
    EXPECT_EQ(updater, ReadHostFile(updaterHost));
    reset(updater, nullptr);
    MoveChannelSetting(updaterConfig, channelFile);
    EXPECT_FALSE(HostExists(channelHost));
    EXPECT_EQ(updater, ReadHostFile(updaterHost));
  }

  // Files that cannot be read are left alone, and so is the channel.
  reset("{\"channel\": \"store\"", "{\"channel\": \"mine\"}");
  MoveChannelSetting(updaterConfig, channelFile);
  EXPECT_TRUE(HostExists(updaterHost));
  EXPECT_EQ("{\"channel\": \"mine\"}", ReadHostFile(channelHost));
  reset("{\"channel\": \"store\"}", "not json");
  MoveChannelSetting(updaterConfig, channelFile);
  EXPECT_TRUE(HostExists(updaterHost));
  EXPECT_EQ("not json", ReadHostFile(channelHost));
  reset("{\"channel\": [1]}", "{\"channel\": \"mine\"}");
  MoveChannelSetting(updaterConfig, channelFile);
  EXPECT_TRUE(HostExists(updaterHost));
  EXPECT_EQ("{\"channel\": \"mine\"}", ReadHostFile(channelHost));
}

// The update.json the new updater package brings.
const char kPackageRecord[] = "{\"updateupdate\": {\"packagename\": \"korva_update\", \"version\": \"400\"}}";

// The new updater package unpacked in the work directory: the files it
// holds, the stub standing in for the new update.exe.
void PlaceUnpackedUpdater(const updater_test::InstallTree& tree) {
  testing_support::InstallStub(tree.WorkHost("update_update/update.exe"));
  WriteHostFile(tree.WorkHost("update_update/skin/skin.zip"), "new skin");
  WriteHostFile(tree.WorkHost("update_update/lang/zh/text.txt"), "new folder");
  WriteHostFile(tree.WorkHost("update_update/rate 50%.txt"), "percent");
  WriteHostFile(tree.WorkHost("update_update/update.json"), kPackageRecord);
}

// Host path below the work directory, for checks made once the updater has
// ended, outside its process.
std::string WorkHostAfterExit(const std::string& relative) {
  return updater_test::HostOf(GetShellFolder(CSIDL_PROGRAM_FILES_COMMON) + L"\\korva\\") + "/" + relative;
}

bool BatchFinished() {
  return testing_support::WaitUntil([] { return !HostExists(WorkHostAfterExit("update.bat")); }, 20000);
}

// While the updater that wrote it runs, the batch file waits: its files
// cannot be replaced yet.
void ExpectBatchWaitsForTheUpdater(const updater_test::InstallTree& tree, const std::string& updaterBefore) {
  Sleep(1500);
  EXPECT_TRUE(updater_test::StubRuns().empty());
  EXPECT_EQ("old skin", ReadHostFile(tree.Host("update/skin/skin.zip")));
  EXPECT_EQ(updaterBefore.size(), std::filesystem::file_size(tree.Host("update/update.exe")));
  EXPECT_TRUE(HostExists(tree.WorkHost("update_update/update.exe")));
}

// Once the updater has ended, the batch file replaces the files, starts the
// new updater once from its own directory and removes itself.
void ExpectNewUpdaterInstalled() {
  const std::string updateDir = updater_test::MachineDir() + updater_test::kInstallHost + "/update/";
  std::vector<Json::Value> runs = updater_test::WaitForStubRuns(1);
  ASSERT_EQ(1u, runs.size());
  EXPECT_EQ("C:\\Program Files\\korva\\update\\update.exe", runs[0]["windows_path"].asString());
  EXPECT_EQ("C:\\Program Files\\korva\\update", runs[0]["windows_cwd"].asString());
  EXPECT_EQ("new skin", ReadHostFile(updateDir + "skin/skin.zip"));
  EXPECT_EQ("new folder", ReadHostFile(updateDir + "lang/zh/text.txt"));
  EXPECT_EQ("percent", ReadHostFile(updateDir + "rate 50%.txt"));
  EXPECT_EQ(kPackageRecord, ReadHostFile(updateDir + "update.json"));
  EXPECT_TRUE(BatchFinished());
  EXPECT_FALSE(HostExists(WorkHostAfterExit("update_update")));
  EXPECT_FALSE(HostExists(WorkHostAfterExit("update_kept")));
  EXPECT_EQ(1u, updater_test::StubRuns().size());
}

TEST(FinishSelfUpdate, InstallsTheNewUpdaterThroughTheBatchFile) {
  if (!updater_test::RunAsInstalledUpdater(ExpectNewUpdaterInstalled)) return;
  updater_test::InstallTree tree;
  WriteHostFile(tree.Host("update/skin/skin.zip"), "old skin");
  WriteHostFile(tree.Host("update/update.json"),
                "{\"updateupdate\": {\"packagename\": \"korva_update\", \"version\": \"100\"}, \"channel\": \"store\"}");
  WriteHostFile(tree.Host("update/channel.json"), "{\"channel\": \"old\", \"keep\": true}");
  PlaceUnpackedUpdater(tree);
  UpdateContext* context = UpdateContext::Instance();
  context->selfInfo.versionCode = 400;
  const std::string updaterBefore = ReadHostFile(tree.Host("update/update.exe"));
  const std::string productBefore = ReadHostFile(tree.Host("resources/cplus-module/update.json"));
  const std::string updaterConfigBefore = ReadHostFile(tree.Host("update/update.json"));
  const std::string channelBefore = ReadHostFile(tree.Host("update/channel.json"));
  WriteHostFile(tree.WorkHost("update_kept/record0"), "stale copy of an earlier run");
  WriteHostFile(tree.WorkHost("update_kept/file9"), "stale copy of an earlier run");

  FinishSelfUpdate(context->GetWorkDir() + L"update_update");

  const std::vector<std::string> lines = Lines(ReadHostFile(tree.WorkHost("update.bat")));
  const std::string work = WideToAnsi(context->GetWorkDir());
  const std::string install = "C:\\Program Files\\korva\\";
  EXPECT_NE(-1, IndexOf(lines, "copy /y \"" + work + "update_update\\rate 50%%.txt\" \"" + install +
                                   "update\\rate 50%%.txt\""));
  const std::vector<std::string> tail = {"rd /s /q \"" + work + "update_update\"",
                                         "rd /s /q \"" + work + "update_kept\"",
                                         "C:",
                                         "cd \"" + install + "update\\\"",
                                         "\"" + install + "update\\update.exe\"",
                                         "ping -n 6 127.0>nul",
                                         ":korva_end",
                                         "del %0"};
  ASSERT_GT(lines.size(), tail.size());
  EXPECT_EQ(tail, std::vector<std::string>(lines.end() - static_cast<long>(tail.size()), lines.end()));
  // Given up, the batch file puts back the three records as they were
  // before the call, which it keeps for it.
  const int failed = IndexOf(lines, ":korva_failed");
  ASSERT_NE(-1, failed);
  std::vector<std::string> putBack;
  for (const char* record : {"resources\\cplus-module\\update.json", "update\\update.json", "update\\channel.json"}) {
    const std::string path = "\"" + install + record + "\"";
    putBack.push_back("if exist " + path + " attrib -r -h -s " + path + " >nul 2>nul");
    putBack.push_back("copy /y \"" + work + "update_kept\\record" + std::to_string(putBack.size() / 2) + "\" " + path);
  }
  EXPECT_EQ(putBack, std::vector<std::string>(lines.begin() + failed + 1, lines.begin() + failed + 7));
  EXPECT_EQ(productBefore, ReadHostFile(tree.WorkHost("update_kept/record0")));
  EXPECT_EQ(updaterConfigBefore, ReadHostFile(tree.WorkHost("update_kept/record1")));
  EXPECT_EQ(channelBefore, ReadHostFile(tree.WorkHost("update_kept/record2")));
  EXPECT_FALSE(HostExists(tree.WorkHost("update_kept/file9")));

  // Both update.json files carry the new version; the channel has moved and
  // taken the updater's update.json, which the batch file finds missing when
  // it runs and takes from the package (ExpectNewUpdaterInstalled).
  Json::Value product = ParseHostJson(tree.Host("resources/cplus-module/update.json"));
  EXPECT_EQ("400", product["updateupdate"]["version"].asString());
  EXPECT_EQ("korva_update", product["updateupdate"]["packagename"].asString());
  EXPECT_EQ("100", product["updatekorva"]["version"].asString());
  EXPECT_FALSE(HostExists(tree.Host("update/update.json")));
  Json::Value channel = ParseHostJson(tree.Host("update/channel.json"));
  EXPECT_EQ("store", channel["channel"].asString());
  EXPECT_TRUE(channel["keep"].asBool());

  ExpectBatchWaitsForTheUpdater(tree, updaterBefore);
}

// Every failure before the batch file starts leaves the updater as it is,
// its records as they were and nothing of the update behind: false, and the
// flow shows its notice. A write-back that only the updater's own record
// refuses does not stop the update.
TEST(FinishSelfUpdate, FailuresOnTheWay) {
  if (!updater_test::RunAsInstalledUpdater(ExpectNewUpdaterInstalled)) return;
  updater_test::InstallTree tree;
  WriteHostFile(tree.Host("update/skin/skin.zip"), "old skin");
  UpdateContext* context = UpdateContext::Instance();
  context->selfInfo.versionCode = 400;
  const std::string productConfig = ReadHostFile(tree.Host("resources/cplus-module/update.json"));
  const std::string updaterBefore = ReadHostFile(tree.Host("update/update.exe"));
  auto expectNothingChanged = [&](const std::string& product) {
    EXPECT_EQ(product, ReadHostFile(tree.Host("resources/cplus-module/update.json")));
    EXPECT_FALSE(HostExists(tree.Host("update/update.json")));
    EXPECT_FALSE(HostExists(tree.Host("update/channel.json")));
    EXPECT_FALSE(HostExists(tree.WorkHost("update_update")));
    EXPECT_FALSE(HostExists(tree.WorkHost("update_kept")));
    EXPECT_EQ(updaterBefore, ReadHostFile(tree.Host("update/update.exe")));
  };

  // No batch file can be written.
  PlaceUnpackedUpdater(tree);
  testing_support::MakeHostDirs(tree.WorkHost("update.bat"));
  EXPECT_FALSE(FinishSelfUpdate(context->GetWorkDir() + L"update_update"));
  expectNothingChanged(productConfig);
  std::filesystem::remove(tree.WorkHost("update.bat"));

  // The records cannot be kept for the batch file (a file stands where their
  // folder goes): they are not changed, and no batch file is left to run.
  PlaceUnpackedUpdater(tree);
  WriteHostFile(tree.WorkHost("update_kept"), "in the way");
  EXPECT_FALSE(FinishSelfUpdate(context->GetWorkDir() + L"update_update"));
  std::filesystem::remove(tree.WorkHost("update_kept"));
  expectNothingChanged(productConfig);
  EXPECT_FALSE(HostExists(tree.WorkHost("update.bat")));
  EXPECT_NE(std::string::npos, tree.Log().find("resources\\cplus-module\\update.json, the updater is not replaced"));

  // The product's record cannot take the version (an entry of the wrong
  // shape): the updater's record, written first, is taken back too.
  const std::string odd = "{\"updateupdate\": \"100\"}";
  WriteHostFile(tree.Host("resources/cplus-module/update.json"), odd);
  PlaceUnpackedUpdater(tree);
  EXPECT_FALSE(FinishSelfUpdate(context->GetWorkDir() + L"update_update"));
  expectNothingChanged(odd);
  EXPECT_FALSE(HostExists(tree.WorkHost("update.bat")));
  EXPECT_NE(std::string::npos, tree.Log().find("update config file error during updating."));
  EXPECT_NE(std::string::npos, tree.Log().find("fail to write the new updater version into"));

  // The batch file cannot be started (no command interpreter): every record
  // the run changed or made is put back.
  WriteHostFile(tree.Host("resources/cplus-module/update.json"), productConfig);
  PlaceUnpackedUpdater(tree);
  setenv("WIN32_CMDBAT", "/nonexistent/cmdbat", 1);
  EXPECT_FALSE(FinishSelfUpdate(context->GetWorkDir() + L"update_update"));
  unsetenv("WIN32_CMDBAT");
  expectNothingChanged(productConfig);
  EXPECT_FALSE(HostExists(tree.WorkHost("update.bat")));
  EXPECT_NE(std::string::npos, tree.Log().find("update.bat, lastError: 2, the updater is not replaced ."));

  // Only the updater's own record is of the wrong shape: the update goes on.
  WriteHostFile(tree.Host("update/update.json"), odd);
  PlaceUnpackedUpdater(tree);
  EXPECT_TRUE(FinishSelfUpdate(context->GetWorkDir() + L"update_update"));
  EXPECT_EQ("400", ParseHostJson(tree.Host("resources/cplus-module/update.json"))["updateupdate"]["version"].asString());
  EXPECT_EQ(odd, ReadHostFile(tree.Host("update/update.json")));
  ExpectBatchWaitsForTheUpdater(tree, updaterBefore);
}

// The batch file cannot be started: the records go back whole, read-only,
// hidden and system ones with their flags, and one that another program
// reads at that moment (sharing no deletion) as soon as it lets go.
TEST(FinishSelfUpdate, RecordsGoBackWholeWhenTheBatchFileCannotStart) {
  if (!updater_test::RunAsInstalledUpdater()) return;
  updater_test::InstallTree tree;
  UpdateContext* context = UpdateContext::Instance();
  context->selfInfo.versionCode = 400;
  const std::string productHost = tree.Host("resources/cplus-module/update.json");
  const std::string updaterHost = tree.Host("update/update.json");
  const std::string channelHost = tree.Host("update/channel.json");
  auto flags = [](const std::string& host) {
    return GetFileAttributesW(win32::ToWindowsPath(host).c_str()) &
           (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  };
  auto setFlags = [](const std::string& host, DWORD attributes) {
    ASSERT_TRUE(SetFileAttributesW(win32::ToWindowsPath(host).c_str(), attributes));
  };
  const std::string productBefore = ReadHostFile(productHost);
  setenv("WIN32_CMDBAT", "/nonexistent/cmdbat", 1);

  // The product's record, which the run replaces, is read-only and hidden;
  // channel.json, which it leaves as it is, read-only and a system file.
  WriteHostFile(channelHost, "{\"channel\": \"old\"}");
  setFlags(productHost, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  setFlags(channelHost, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM);
  PlaceUnpackedUpdater(tree);
  EXPECT_FALSE(FinishSelfUpdate(context->GetWorkDir() + L"update_update"));
  EXPECT_EQ(productBefore, ReadHostFile(productHost));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), flags(productHost));
  EXPECT_EQ("{\"channel\": \"old\"}", ReadHostFile(channelHost));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM), flags(channelHost));
  // It got as far as the start, having changed the records.
  EXPECT_EQ(1, updater_test::CountOf(tree.Log(), "update.bat, lastError: 2, the updater is not replaced ."))
      << tree.Log();
  EXPECT_EQ(std::string::npos, tree.Log().find("fail to put back")) << tree.Log();
  setFlags(productHost, FILE_ATTRIBUTE_NORMAL);
  setFlags(channelHost, FILE_ATTRIBUTE_NORMAL);

  // A reader holds channel.json through the channel move, which gives up
  // after about a second; another opens the product's record as soon as it
  // names the new updater and lets go while the put-back tries again.
  const std::string updaterBefore =
      "{\"updateupdate\": {\"packagename\": \"korva_update\", \"version\": \"100\"}, \"channel\": \"store\"}";
  WriteHostFile(updaterHost, updaterBefore);
  PlaceUnpackedUpdater(tree);
  updater_test::HeldFile channelReader(channelHost, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_TRUE(channelReader.held());
  bool productHeld = false;
  std::thread productReader([&] {
    const ULONGLONG began = GetTickCount64();
    while (ReadHostFile(productHost).find("\"400\"") == std::string::npos) {
      if (GetTickCount64() - began > 20000) return;
      Sleep(2);
    }
    updater_test::HeldFile reader(productHost, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    productHeld = reader.held();
    Sleep(1450);
    channelReader.LetGo();
  });
  EXPECT_FALSE(FinishSelfUpdate(context->GetWorkDir() + L"update_update"));
  productReader.join();
  unsetenv("WIN32_CMDBAT");
  EXPECT_TRUE(productHeld);
  EXPECT_EQ(productBefore, ReadHostFile(productHost));
  EXPECT_EQ(updaterBefore, ReadHostFile(updaterHost));
  EXPECT_EQ("{\"channel\": \"old\"}", ReadHostFile(channelHost));
  EXPECT_EQ(2, updater_test::CountOf(tree.Log(), "update.bat, lastError: 2, the updater is not replaced ."));
  EXPECT_EQ(std::string::npos, tree.Log().find("fail to put back")) << tree.Log();
  EXPECT_FALSE(HostExists(tree.WorkHost("update_kept")));
}

}  // namespace
