#include "shared/version_check.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "server/update_service.h"
#include "support/temp_machine.h"

namespace {

using testing_support::DownloadFaults;
using testing_support::ServiceMd5;
using testing_support::TempMachine;
using testing_support::TestUpdateService;
using testing_support::WriteHostFile;

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

class VersionCheckTest : public testing::Test {
 protected:
  void SetUp() override {
    service_.SetRoot(machine_.c());
    ASSERT_TRUE(service_.Start());
    url_ = Wide(service_.VersionCheckUrl());
  }

  // Asks for `name` with a record whose fields all hold sentinels.
  int Check(const std::string& name, const std::string& code, UpdateInfo& info) {
    info.versionName = L"old name";
    info.versionCode = 77;
    info.downloadUrl = L"old url";
    info.text = L"old text";
    info.size = 77;
    info.md5 = L"old md5";
    return CheckVersion(url_, Wide(name), Wide(code), info);
  }
  void Reply(const std::string& body, int status = 200) {
    service_.SetVersionReply("korva", status, body);
  }

  TempMachine machine_;
  TestUpdateService service_;
  std::wstring url_;
};

TEST_F(VersionCheckTest, NewerVersionFillsEveryField) {
  const std::string package(12345, 'k');
  WriteHostFile(machine_.c() + "/korva_121.7z", package);
  service_.SetPackage({"korva", 121, "2.1.0", "\xE4\xBF\xAE\xE5\xA4\x8D", "korva_121.7z"});

  UpdateInfo info;
  ASSERT_EQ(Check("korva", "120", info), 2);
  EXPECT_EQ(info.versionCode, 121);
  EXPECT_EQ(info.versionName, L"2.1.0");
  EXPECT_EQ(info.downloadUrl, Wide(service_.PackageUrl("korva_121.7z")));
  EXPECT_EQ(info.text, L"修复");
  EXPECT_EQ(info.size, 12345);
  EXPECT_EQ(info.md5, Wide(ServiceMd5(package)));
  EXPECT_EQ(service_.Requests().back().target,
            "/pc/version/check?channel=portal&packageName=korva&versionCode=120");

  // The same version installed: nothing newer, and no data in the reply.
  ASSERT_EQ(Check("korva", "121", info), 0);
  EXPECT_EQ(info.versionCode, 0);
  EXPECT_EQ(info.versionName + info.downloadUrl + info.text + info.md5, L"");
  EXPECT_EQ(info.size, 0);
}

TEST_F(VersionCheckTest, CorruptedDigestIsPassedOnAsSent) {
  WriteHostFile(machine_.c() + "/korva.7z", "abc");
  service_.SetPackage({"korva", 2, "2", "", "korva.7z"});
  DownloadFaults fault;
  fault.corruptMd5 = true;
  service_.SetFaults("korva.7z", fault);
  UpdateInfo info;
  ASSERT_EQ(Check("korva", "1", info), 2);
  EXPECT_EQ(info.md5.size(), 32u);
  EXPECT_NE(info.md5, L"900150983cd24fb0d6963f7d28e17f72");
}

// Only 2 means newer: another code comes back as sent, with its data.
TEST_F(VersionCheckTest, OtherCodesAreReturnedAsSentWithTheirData) {
  Reply("{\"code\":3,\"data\":{\"versionCode\":122,\"versionName\":\"2.2\",\"downloadUrl\":\"http://h/p.7z\","
        "\"text\":\"t\",\"size\":9,\"md5\":\"0123456789abcdef0123456789abcdef\"}}");
  UpdateInfo info;
  EXPECT_EQ(Check("korva", "120", info), 3);
  EXPECT_EQ(info.versionCode, 122);
  EXPECT_EQ(info.downloadUrl, L"http://h/p.7z");
  EXPECT_EQ(info.size, 9);
}

TEST_F(VersionCheckTest, ServiceFailureLeavesTheRecordAlone) {
  Reply("{\"code\":-1,\"data\":{\"versionCode\":5,\"versionName\":\"x\"}}");
  UpdateInfo info;
  EXPECT_EQ(Check("korva", "1", info), -1);
  EXPECT_EQ(info.versionCode, 77);
  EXPECT_EQ(info.versionName, L"old name");
}

TEST_F(VersionCheckTest, SizesAreSignedThirtyTwoBitIntegers) {
  UpdateInfo info;
  Reply("{\"code\":2,\"data\":{\"size\":-5,\"versionCode\":3.9}}");
  ASSERT_EQ(Check("korva", "1", info), 2);
  EXPECT_EQ(info.size, -5);
  EXPECT_EQ(info.versionCode, 3);

  Reply("{\"code\":2,\"data\":{\"size\":2147483647}}");
  ASSERT_EQ(Check("korva", "1", info), 2);
  EXPECT_EQ(info.size, 2147483647);

  // A package of 2 GiB or more cannot be announced.
  Reply("{\"code\":2,\"data\":{\"versionCode\":9,\"size\":2147483648,\"md5\":\"m\"}}");
  EXPECT_EQ(Check("korva", "1", info), -1);
  EXPECT_EQ(info.versionCode, 9);  // filled before the bad member
  EXPECT_EQ(info.md5, L"old md5");
}

TEST_F(VersionCheckTest, MistypedRepliesFail) {
  UpdateInfo info;
  for (const char* body : {"{\"code\":\"2\"}", "{\"code\":2,\"data\":[1]}",
                           "{\"code\":2,\"data\":{\"md5\":12}}",
                           "{\"code\":2,\"data\":{\"versionName\":{}}}", "[{\"code\":2}]",
                           "{\"code\":2", ""}) {
    Reply(body);
    EXPECT_EQ(Check("korva", "1", info), -1) << body;
  }
  Reply("{\"code\":true}");
  EXPECT_EQ(Check("korva", "1", info), 1);
  Reply("{\"code\":7,\"data\":null}");
  EXPECT_EQ(Check("korva", "1", info), 7);
}

TEST_F(VersionCheckTest, StatusIsIgnoredTheBodyDecides) {
  UpdateInfo info;
  Reply("<html><body>Internal Server Error</body></html>", 500);
  EXPECT_EQ(Check("korva", "1", info), -1);
  Reply("{\"code\":0}", 404);
  EXPECT_EQ(Check("korva", "1", info), 0);
}

TEST_F(VersionCheckTest, TransportFailures) {
  UpdateInfo info;
  service_.Stop();
  EXPECT_EQ(Check("korva", "1", info), -1);
  EXPECT_EQ(info.versionCode, 77);
  EXPECT_EQ(CheckVersion(L"not a url", L"korva", L"1", info), -1);
}

TEST_F(VersionCheckTest, CatalogFileIsReReadWhenItChanges) {
  WriteHostFile(machine_.c() + "/korva.7z", "v5");
  const std::string catalog = machine_.dir() + "/catalog.json";
  const char kEntry[] =
      "{\"packages\":[{\"packageName\":\"korva\",\"versionCode\":%d,\"versionName\":\"v\","
      "\"text\":\"\",\"file\":\"korva.7z\"}]}";
  char text[256];
  snprintf(text, sizeof(text), kEntry, 4);
  WriteHostFile(catalog, text);
  service_.SetCatalogFile(catalog);

  UpdateInfo info;
  EXPECT_EQ(Check("korva", "4", info), 0);
  snprintf(text, sizeof(text), kEntry, 5);  // same size, new version
  WriteHostFile(catalog, text);
  ASSERT_EQ(Check("korva", "4", info), 2);
  EXPECT_EQ(info.versionCode, 5);
  EXPECT_EQ(Check("korva_delta", "4", info), 0);
}

}  // namespace
