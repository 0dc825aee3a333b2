// The install statistics record and how its reply is judged.
#include <string>

#include <gtest/gtest.h>

#include "installer/install_result.h"
#include "installer_test_util.h"
#include "server/update_service.h"

namespace {

using installer_test::CountOf;

class InstallResultTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service.Start()); }
  void TearDown() override { service.Stop(); }

  std::wstring BaseUrl() const {
    std::string url = service.BaseUrl();
    return std::wstring(url.begin(), url.end());
  }

  installer_test::LoggedMachine machine;
  testing_support::TestUpdateService service;
};

TEST_F(InstallResultTest, RecordFieldsInOrderWithUtf8Text) {
  machine.machine.WriteConfig(R"({"adapters": [
      {"name": "wlan0", "type": 71, "mac": "AA-BB-CC-DD-EE-FF"},
      {"name": "eth0", "type": 6, "mac": "00-1a-2b-3c-4d-5e"}]})");
  InstallResult result;
  BeginInstallResult(result);
  EXPECT_EQ(L"00-1A-2B-3C-4D-5E", result.mac);
  result.code = 1;
  result.message = L"下载失败";
  result.endedAt = result.startedAt + 3;
  EXPECT_EQ(0, UploadInstallResult(BaseUrl(), result));

  std::vector<testing_support::StatisticsPost> posts = service.StatisticsPosts();
  ASSERT_EQ(1u, posts.size());
  EXPECT_EQ(testing_support::kInstallFigurePath, posts[0].path);
  EXPECT_EQ("macAddress=00-1A-2B-3C-4D-5E&stage=0&errorCode=1&errorMsg=下载失败&startedAt=" +
                std::to_string(result.startedAt) + "&endedAt=" + std::to_string(result.startedAt + 3),
            posts[0].body);
  auto requests = service.RequestsTo(testing_support::kInstallFigurePath);
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("application/x-www-form-urlencoded", requests[0].header("Content-Type"));
}

TEST_F(InstallResultTest, NoEthernetAdapterSendsEmptyMac) {
  machine.machine.WriteConfig(R"({"adapters": [{"name": "wlan0", "type": 71, "mac": "AA-BB-CC-DD-EE-FF"}]})");
  InstallResult result;
  BeginInstallResult(result);
  EXPECT_EQ(L"", result.mac);
  UploadInstallResult(BaseUrl(), result);
  ASSERT_EQ(1u, service.StatisticsPosts().size());
  EXPECT_EQ(0u, service.StatisticsPosts()[0].body.find("macAddress=&stage=0&errorCode=0&"));
}

TEST_F(InstallResultTest, RepliesAndTheirLogLines) {
  struct Case {
    const char* reply;
    const char* line;  // the one line between start and finish, if any
  } cases[] = {
      {R"({"errCode": 0})", nullptr},
      {R"({"other": 1})", nullptr},
      {R"({"errCode": null})", nullptr},
      {R"({"errCode": 7})", "upload install result error: 7 ."},
      {"not json at all", "data parse error during upload install result: -1 ."},
      {"[1, 2]", "data parse error during upload install result: -1 ."},
      {R"({"errCode": "7"})", "data parse error during upload install result: -1 ."},
      {R"({"errCode": 5000000000})", "data parse error during upload install result: -1 ."},
  };
  InstallResult result;
  for (const Case& c : cases) {
    service.SetStatisticsReply(200, c.reply);
    std::string before = machine.Log();
    UploadInstallResult(BaseUrl(), result);
    std::string lines = machine.Log().substr(before.size());
    EXPECT_EQ(c.line ? 3 : 2, CountOf(lines, "\r\n")) << c.reply << "\n" << lines;
    EXPECT_EQ(1, CountOf(lines, "start to upload install result.\r\n")) << c.reply;
    EXPECT_EQ(1, CountOf(lines, "finish to upload install result.\r\n")) << c.reply;
    if (c.line) {
      EXPECT_EQ(1, CountOf(lines, std::string(c.line) + "\r\n")) << c.reply << "\n" << lines;
    }
  }
}

TEST_F(InstallResultTest, UnreachableServiceOnlyEndsTheReport) {
  InstallResult result;
  service.Stop();
  EXPECT_EQ(0, UploadInstallResult(BaseUrl(), result));
  EXPECT_EQ(0, UploadInstallResult(L"", result));
  std::string log = machine.Log();
  EXPECT_EQ(4, CountOf(log, "\r\n")) << log;
  EXPECT_EQ(2, CountOf(log, "finish to upload install result.\r\n"));
}

}  // namespace
