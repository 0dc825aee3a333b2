#include "shared/json_config.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "shared/log_writer.h"
#include "support/small_volume.h"
#include "support/temp_machine.h"

namespace {

using testing_support::HostExists;
using testing_support::ReadHostFile;
using testing_support::TempMachine;
using testing_support::WriteHostFile;

class JsonConfigTest : public testing::Test {
 protected:
  void SetUp() override { SetLogPath("C:\\config.log"); }

  // Writes the document as C:\cfg\<name> and loads it.
  bool LoadText(const std::string& text, const std::string& name = "install.json") {
    WriteHostFile(machine_.c() + "/cfg/" + name, text);
    return config_.Load(L"C:\\cfg\\" + std::wstring(name.begin(), name.end()));
  }
  std::string Log() const { return ReadHostFile(machine_.c() + "/config.log"); }

  TempMachine machine_;
  JsonConfig config_;
};

TEST_F(JsonConfigTest, ByteOrderMarkIsDroppedAndNothingElse) {
  std::wstring value;
  ASSERT_TRUE(LoadText("\xEF\xBB\xBF{\"version\":\"1.2\"}"));
  ASSERT_TRUE(config_.GetConfigByName(L"version", value));
  EXPECT_EQ(value, L"1.2");

  ASSERT_TRUE(LoadText("{\"version\":\"1.3\"}"));
  ASSERT_TRUE(config_.GetConfigByName(L"version", value));
  EXPECT_EQ(value, L"1.3");

  // Leading blanks and line breaks are part of the document, not a mark.
  ASSERT_TRUE(LoadText("\r\n  {\"version\":\"1.4\"}"));
  ASSERT_TRUE(config_.GetConfigByName(L"version", value));
  EXPECT_EQ(value, L"1.4");

  EXPECT_FALSE(LoadText("\xEF\xBB"));
  EXPECT_FALSE(LoadText(""));
  EXPECT_FALSE(LoadText("{\"version\":"));
  EXPECT_FALSE(config_.Load(L"C:\\cfg\\missing.json"));
}

TEST_F(JsonConfigTest, ForwardSlashPathsLoad) {
  WriteHostFile(machine_.c() + "/a/b/update.json", "{\"updateurl\":\"http://x\"}");
  ASSERT_TRUE(config_.Load(L"C:/a/b/update.json"));
  std::wstring url;
  ASSERT_TRUE(config_.GetConfigByName(L"updateurl", url));
  EXPECT_EQ(url, L"http://x");
}

TEST_F(JsonConfigTest, GetConfigByNameFollowsTheTextRule) {
  ASSERT_TRUE(LoadText(
      "{\"name\":\"\xE5\x8A\xA0\xE9\x80\x9F\",\"on\":true,\"off\":false,\"nothing\":null,"
      "\"count\":3,\"list\":[1],\"object\":{}}"));
  std::wstring value = L"keep";
  ASSERT_TRUE(config_.GetConfigByName(L"name", value));
  EXPECT_EQ(value, L"加速");
  ASSERT_TRUE(config_.GetConfigByName(L"on", value));
  EXPECT_EQ(value, L"true");
  ASSERT_TRUE(config_.GetConfigByName(L"off", value));
  EXPECT_EQ(value, L"false");
  ASSERT_TRUE(config_.GetConfigByName(L"nothing", value));
  EXPECT_EQ(value, L"");
  value = L"keep";
  ASSERT_TRUE(config_.GetConfigByName(L"absent", value));
  EXPECT_EQ(value, L"");

  for (const wchar_t* bad : {L"count", L"list", L"object"}) {
    value = L"keep";
    EXPECT_FALSE(config_.GetConfigByName(bad, value)) << bad;
    EXPECT_EQ(value, L"keep");
  }
  const std::string log = Log();
  size_t lines = 0;
  for (size_t at = log.find("GetConfigByName by string type json parse error.\r\n");
       at != std::string::npos;
       at = log.find("GetConfigByName by string type json parse error.\r\n", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 3u) << log;
}

// Asking for a member the file lacks adds it as null; a later save writes
// it out, and members already there keep their values.
TEST_F(JsonConfigTest, AskedForAbsentMemberIsSavedAsNull) {
  ASSERT_TRUE(LoadText("{\"version\":\"5\"}"));
  std::wstring value;
  ASSERT_TRUE(config_.GetConfigByName(L"channel", value));
  EXPECT_EQ(value, L"");
  ASSERT_TRUE(config_.Save(L""));
  JsonConfig reloaded;
  ASSERT_TRUE(reloaded.Load(L"C:\\cfg\\install.json"));
  const std::string saved = ReadHostFile(machine_.c() + "/cfg/install.json");
  EXPECT_NE(saved.find("\"channel\" : null"), std::string::npos) << saved;
  ASSERT_TRUE(reloaded.GetConfigByName(L"version", value));
  EXPECT_EQ(value, L"5");
}

// What the folder holds besides the record itself.
std::vector<std::string> OtherFiles(const std::string& dir, const std::string& record) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name != record && name != "filler") names.push_back(name);
  }
  return names;
}

TEST_F(JsonConfigTest, SaveWritesStyledTextWithCrLf) {
  ASSERT_TRUE(LoadText("{\"z\":[1,\"two\"],\"a\":{\"k\":\"v\",\"n\":null},\"b\":true}"));
  ASSERT_TRUE(config_.SetString(L"name", L"new"));
  ASSERT_TRUE(config_.Save(L""));
  EXPECT_EQ(ReadHostFile(machine_.c() + "/cfg/install.json"),
            "{\r\n"
            "   \"a\" : {\r\n"
            "      \"k\" : \"v\",\r\n"
            "      \"n\" : null\r\n"
            "   },\r\n"
            "   \"b\" : true,\r\n"
            "   \"name\" : \"new\",\r\n"
            "   \"z\" : [ 1, \"two\" ]\r\n"
            "}\r\n");
  EXPECT_TRUE(OtherFiles(machine_.c() + "/cfg", "install.json").empty());
}

// A killed earlier save may have left its new file behind; it neither stops
// the next save nor ends up in the record.
TEST_F(JsonConfigTest, SaveOverALeftoverOfAKilledSave) {
  ASSERT_TRUE(LoadText("{\"version\":\"5\"}", "update.json"));
  WriteHostFile(machine_.c() + "/cfg/update.json.korva-new",
                "{\"version\":\"cut" + std::string(4096, ' '));
  ASSERT_TRUE(config_.SetString(L"version", L"6"));
  ASSERT_TRUE(config_.Save(L""));
  EXPECT_EQ(ReadHostFile(machine_.c() + "/cfg/update.json"), "{\r\n   \"version\" : \"6\"\r\n}\r\n");
  EXPECT_TRUE(OtherFiles(machine_.c() + "/cfg", "update.json").empty());
}

// The drive runs full while the new text is written: the record stays as it
// was, and a later save with room again goes through.
TEST_F(JsonConfigTest, SaveOnAFullDriveKeepsTheOldRecord) {
  const std::string dir = machine_.c() + "/cfg";
  testing_support::SmallVolume volume(dir, 64 * 1024);
  ASSERT_TRUE(volume.mounted());
  const std::string old = "{\"updateurl\":\"u\",\"updatekorva\":{\"version\":\"120\"}}";
  ASSERT_TRUE(LoadText(old, "update.json"));

  // Fill the volume, then free one page: less than the new text needs.
  const int fd = open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const std::string block(4096, 'f');
  off_t filled = 0;
  for (ssize_t n; (n = write(fd, block.data(), block.size())) > 0;) filled += n;
  ASSERT_GT(filled, 4096);
  ASSERT_EQ(0, ftruncate(fd, filled - 4096));
  close(fd);

  ASSERT_TRUE(config_.SetString(L"note", std::wstring(3 * 4096, L'x')));
  SetLastError(ERROR_SUCCESS);
  EXPECT_FALSE(config_.Save(L""));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
  const std::string kept = ReadHostFile(dir + "/update.json");
  EXPECT_TRUE(kept == old) << kept.size() << " bytes: " << kept.substr(0, 60);
  EXPECT_TRUE(OtherFiles(dir, "update.json").empty());

  std::filesystem::remove(dir + "/filler");
  ASSERT_TRUE(config_.Save(L""));
  JsonConfig reloaded;
  ASSERT_TRUE(reloaded.Load(L"C:\\cfg\\update.json"));
  std::wstring note;
  ASSERT_TRUE(reloaded.GetConfigByName(L"note", note));
  EXPECT_EQ(note.size(), 3u * 4096u);
  EXPECT_TRUE(OtherFiles(dir, "update.json").empty());
}

// The record cannot be replaced while another program holds it open without
// sharing deletion, as on Windows. A reader that lets go within about a
// second only delays the save; one that keeps it open makes it fail, with
// the new text thrown away and the old record, read-only flag and all, as
// it was.
TEST_F(JsonConfigTest, SaveOverAnOpenRecordWaitsForAShortReaderOnly) {
  const std::string old = "{\"version\":\"5\"}";
  ASSERT_TRUE(LoadText(old, "update.json"));
  ASSERT_TRUE(SetFileAttributesW(L"C:\\cfg\\update.json", FILE_ATTRIBUTE_READONLY));
  auto holdRecord = [] {
    return CreateFileW(L"C:\\cfg\\update.json", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE held = holdRecord();
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  ASSERT_TRUE(config_.SetString(L"version", L"6"));
  const ULONGLONG began = GetTickCount64();
  EXPECT_FALSE(config_.Save(L""));
  const ULONGLONG waited = GetTickCount64() - began;
  EXPECT_GE(waited, 500u);
  EXPECT_LE(waited, 5000u);
  CloseHandle(held);
  EXPECT_EQ(ReadHostFile(machine_.c() + "/cfg/update.json"), old);
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_READONLY),
            GetFileAttributesW(L"C:\\cfg\\update.json") & FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(OtherFiles(machine_.c() + "/cfg", "update.json").empty());

  // Let go a moment after the save began: it goes through, over the
  // read-only flag.
  held = holdRecord();
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  std::thread reader([held] {
    Sleep(300);
    CloseHandle(held);
  });
  EXPECT_TRUE(config_.Save(L""));
  reader.join();
  EXPECT_EQ(ReadHostFile(machine_.c() + "/cfg/update.json"), "{\r\n   \"version\" : \"6\"\r\n}\r\n");
  EXPECT_EQ(0u, GetFileAttributesW(L"C:\\cfg\\update.json") & FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(OtherFiles(machine_.c() + "/cfg", "update.json").empty());

  // Nothing loaded and no path given: nothing is written anywhere.
  JsonConfig unnamed;
  EXPECT_FALSE(unnamed.Save(L""));
}

// A hidden or system record stays so when it is saved: the new text goes
// in over a hidden, system and read-only record and takes its hidden and
// system flags.
TEST_F(JsonConfigTest, SaveKeepsTheHiddenAndSystemFlagsOfTheRecord) {
  const DWORD hiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  ASSERT_TRUE(LoadText("{\"version\":\"5\"}", "update.json"));
  ASSERT_TRUE(SetFileAttributesW(L"C:\\cfg\\update.json", hiddenSystem | FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(config_.SetString(L"version", L"6"));
  ASSERT_TRUE(config_.Save(L""));
  EXPECT_EQ(ReadHostFile(machine_.c() + "/cfg/update.json"), "{\r\n   \"version\" : \"6\"\r\n}\r\n");
  EXPECT_EQ(hiddenSystem, GetFileAttributesW(L"C:\\cfg\\update.json") & (hiddenSystem | FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(SetFileAttributesW(L"C:\\cfg\\update.json", FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(config_.SetString(L"version", L"7"));
  ASSERT_TRUE(config_.Save(L""));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN), GetFileAttributesW(L"C:\\cfg\\update.json") & hiddenSystem);
  EXPECT_TRUE(OtherFiles(machine_.c() + "/cfg", "update.json").empty());

  // A run killed while the record was hidden left its new file hidden; the
  // record has been shown since. The next save still goes in.
  WriteHostFile(machine_.c() + "/cfg/update.json.korva-new", "{\"version\":\"cut");
  ASSERT_TRUE(SetFileAttributesW(L"C:\\cfg\\update.json.korva-new", FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(SetFileAttributesW(L"C:\\cfg\\update.json", FILE_ATTRIBUTE_NORMAL));
  ASSERT_TRUE(config_.SetString(L"version", L"8"));
  EXPECT_TRUE(config_.Save(L""));
  EXPECT_EQ(ReadHostFile(machine_.c() + "/cfg/update.json"), "{\r\n   \"version\" : \"8\"\r\n}\r\n");
  EXPECT_TRUE(OtherFiles(machine_.c() + "/cfg", "update.json").empty());
}

TEST_F(JsonConfigTest, GetConfigByNameOnANonObjectRoot) {
  ASSERT_TRUE(LoadText("[\"a\"]"));
  std::wstring value = L"keep";
  EXPECT_FALSE(config_.GetConfigByName(L"a", value));
  EXPECT_EQ(value, L"keep");

  // Nothing loaded yet: an empty document reads as empty text.
  JsonConfig fresh;
  EXPECT_TRUE(fresh.GetConfigByName(L"a", value));
  EXPECT_EQ(value, L"");
}

TEST_F(JsonConfigTest, ShortcutsAreAppendedAndMissingListsAreEmpty) {
  std::list<ShortcutInfo> shortcuts;
  shortcuts.push_back({L"old", L"", L"", L""});
  for (const char* doc : {"{}", "{\"shortcut\":null}", "{\"shortcut\":\"desk\"}",
                          "{\"shortcut\":[]}"}) {
    ASSERT_TRUE(LoadText(doc));
    EXPECT_TRUE(config_.GetShortcuts(shortcuts)) << doc;
  }
  ASSERT_EQ(shortcuts.size(), 1u);

  ASSERT_TRUE(LoadText(
      "{\"shortcut\":[{\"id\":\"desktop\",\"location\":\"{desktop}\\\\Korva.lnk\","
      "\"icon\":\"icon.ico\",\"name\":\"Korva\"},null,{\"id\":true}]}"));
  ASSERT_TRUE(config_.GetShortcuts(shortcuts));
  ASSERT_EQ(shortcuts.size(), 4u);
  auto it = std::next(shortcuts.begin());
  EXPECT_EQ(it->id, L"desktop");
  EXPECT_EQ(it->location, L"{desktop}\\Korva.lnk");
  EXPECT_EQ(it->icon, L"icon.ico");
  EXPECT_EQ(it->name, L"Korva");
  ++it;
  EXPECT_EQ(it->id + it->location + it->icon + it->name, L"");
  ++it;
  EXPECT_EQ(it->id, L"true");
  EXPECT_EQ(Log().find("GetShortcuts"), std::string::npos);
}

TEST_F(JsonConfigTest, BadShortcutListsFailAndKeepWhatWasRead) {
  std::list<ShortcutInfo> shortcuts;
  ASSERT_TRUE(LoadText("{\"shortcut\":{\"id\":\"x\"}}"));
  EXPECT_FALSE(config_.GetShortcuts(shortcuts));
  EXPECT_TRUE(shortcuts.empty());

  ASSERT_TRUE(LoadText("{\"shortcut\":[{\"id\":\"a\"},\"b\",{\"id\":\"c\"}]}"));
  EXPECT_FALSE(config_.GetShortcuts(shortcuts));
  ASSERT_EQ(shortcuts.size(), 1u);
  EXPECT_EQ(shortcuts.front().id, L"a");

  ASSERT_TRUE(LoadText("{\"shortcut\":[{\"id\":\"a\",\"name\":7}]}"));
  EXPECT_FALSE(config_.GetShortcuts(shortcuts));
  EXPECT_EQ(shortcuts.size(), 1u);
  EXPECT_NE(Log().find("GetShortcuts json parse error.\r\n"), std::string::npos);
}

TEST_F(JsonConfigTest, ExecuteStagesFollowTheIntegerRule) {
  ASSERT_TRUE(LoadText(
      "{\"execute\":[{\"id\":\"1\",\"location\":\"bin\\\\setup.exe\",\"param\":\"/s\","
      "\"stage\":1},{\"stage\":2.7},{\"stage\":-2.7},{\"id\":\"none\"},{\"stage\":true},"
      "{\"stage\":2147483647}]}"));
  std::list<ExecuteInfo> executes;
  ASSERT_TRUE(config_.GetExecutes(executes));
  ASSERT_EQ(executes.size(), 6u);
  auto it = executes.begin();
  EXPECT_EQ(it->location, L"bin\\setup.exe");
  EXPECT_EQ(it->param, L"/s");
  EXPECT_EQ(it->stage, 1);
  EXPECT_EQ((++it)->stage, 2);
  EXPECT_EQ((++it)->stage, -2);
  EXPECT_EQ((++it)->stage, 0);
  EXPECT_EQ((++it)->stage, 1);
  EXPECT_EQ((++it)->stage, 2147483647);

  for (const char* bad : {"{\"execute\":[{\"stage\":\"2\"}]}", "{\"execute\":[{\"stage\":3e9}]}",
                          "{\"execute\":[{\"stage\":2147483648}]}",
                          "{\"execute\":[{\"stage\":[1]}]}"}) {
    ASSERT_TRUE(LoadText(bad));
    executes.clear();
    EXPECT_FALSE(config_.GetExecutes(executes)) << bad;
    EXPECT_TRUE(executes.empty());
  }
  EXPECT_NE(Log().find("GetExecutes json parse error. \r\n"), std::string::npos);
}

const char kUpdateJson[] =
    "{\"updateurl\":\"http://127.0.0.1:1/pc/version/check\",\"channel\":\"pcclient\","
    "\"updateupdate\":{\"packagename\":\"korva_update\",\"version\":\"3\"},"
    "\"updatekorva\":{\"packagename\":\"korva\",\"version\":\"120\"},"
    "\"updatekorvadelta\":{\"packagename\":\"korva_delta\",\"version\":\"121\"}}";

TEST_F(JsonConfigTest, ReadUpdateConfigFillsEveryEntry) {
  WriteHostFile(machine_.c() + "/k/update.json", std::string("\xEF\xBB\xBF") + kUpdateJson);
  UpdateConfig config;
  ASSERT_TRUE(ReadUpdateConfig(L"C:\\k\\update.json", config));
  EXPECT_EQ(config.updateurl, L"http://127.0.0.1:1/pc/version/check");
  EXPECT_EQ(config.updater.packagename, L"korva_update");
  EXPECT_EQ(config.updater.version, L"3");
  EXPECT_EQ(config.main.packagename, L"korva");
  EXPECT_EQ(config.main.version, L"120");
  EXPECT_EQ(config.delta.packagename, L"korva_delta");
  EXPECT_EQ(config.delta.version, L"121");
}

TEST_F(JsonConfigTest, ReadUpdateConfigOnMalformedEntries) {
  UpdateConfig config;
  EXPECT_FALSE(ReadUpdateConfig(L"C:\\k\\missing.json", config));

  WriteHostFile(machine_.c() + "/k/update.json",
                "{\"updateurl\":\"u\",\"updatekorva\":{\"packagename\":\"korva\",\"version\":120}}");
  EXPECT_FALSE(ReadUpdateConfig(L"C:\\k\\update.json", config));

  WriteHostFile(machine_.c() + "/k/update.json", "{\"updateurl\":\"u\",\"updatekorva\":[1]}");
  EXPECT_FALSE(ReadUpdateConfig(L"C:\\k\\update.json", config));

  // A missing entry reads as empty fields; a bad url is logged and ignored.
  WriteHostFile(machine_.c() + "/k/update.json",
                "{\"updateurl\":8080,\"updatekorva\":{\"packagename\":\"korva\"}}");
  UpdateConfig partial;
  partial.updateurl = L"kept";
  partial.updater.packagename = L"stale";
  ASSERT_TRUE(ReadUpdateConfig(L"C:\\k\\update.json", partial));
  EXPECT_EQ(partial.updateurl, L"kept");
  EXPECT_EQ(partial.updater.packagename, L"");
  EXPECT_EQ(partial.main.packagename, L"korva");
  EXPECT_EQ(partial.main.version, L"");
  EXPECT_NE(Log().find("GetConfigByName by string type json parse error."), std::string::npos);
}

TEST(JsonReadRules, IntegersWithinThirtyTwoBits) {
  INT32 out = 99;
  Json::Value big(static_cast<Json::Int64>(4294967296LL));
  EXPECT_FALSE(JsonReadInt(big, out));
  EXPECT_FALSE(JsonReadInt(Json::Value(static_cast<Json::UInt>(2147483648u)), out));
  EXPECT_EQ(out, 99);
  ASSERT_TRUE(JsonReadInt(Json::Value(-2147483647 - 1), out));
  EXPECT_EQ(out, -2147483647 - 1);
  ASSERT_TRUE(JsonReadInt(Json::Value(), out));
  EXPECT_EQ(out, 0);
  EXPECT_FALSE(JsonReadInt(Json::Value("5"), out));
  EXPECT_FALSE(JsonReadInt(Json::Value(Json::objectValue), out));
}

}  // namespace
