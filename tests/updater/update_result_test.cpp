// The statistics record of a package step: its form, its upload and the
// phone number it reads from the user's configuration.
#include <ctime>

#include <gtest/gtest.h>

#include <shlobj.h>

#include "shared/log_writer.h"
#include "support/temp_machine.h"
#include "updater/update_context.h"
#include "updater/update_result.h"
#include "updater_test_util.h"

namespace {

using testing_support::ReadHostFile;
using testing_support::TempMachine;
using testing_support::WriteHostFile;
using updater_test::CountOf;

class StatisticsReport : public ::testing::Test {
 protected:
  void SetUp() override { UpdateContext::DestroyInstance(); }
  void TearDown() override {
    UpdateContext::DestroyInstance();
    SetLogPath("");
  }

  // The user's configuration file of the product.
  std::string UserConfigHost() const {
    WCHAR folder[MAX_PATH] = {};
    SHGetFolderPathW(NULL, CSIDL_APPDATA, NULL, 0, folder);
    return updater_test::HostOf(folder) + "/korva/config.json";
  }

  TempMachine machine_;
};

TEST_F(StatisticsReport, FormInFieldOrder) {
  machine_.WriteConfig(R"({"adapters": [{"name": "eth0", "mac": "0a:1b:2c:3d:4e:5f"}]})");
  updater_test::InstallTree tree;
  WriteHostFile(UserConfigHost(), R"({"ui": {"auth": {"phoneNumber": "13812345678"}}})");
  const INT32 before = static_cast<INT32>(std::time(NULL));

  UpdateResult result;
  BeginUpdateResult(result);
  EXPECT_EQ(13812345678LL, result.phone);
  FinishUpdateResult(result, kUpdateDamaged, kUpdateObjectMain);
  UpdateResult delta;
  BeginUpdateResult(delta);
  FinishUpdateResult(delta, kUpdateUnzipFailed, kUpdateObjectDelta);
  machine_.WriteConfig(R"({"adapters": []})");
  UpdateResult self;
  BeginUpdateResult(self);
  FinishUpdateResult(self, kUpdateOk, kUpdateObjectSelf);

  EXPECT_LE(before, result.startedAt);
  EXPECT_LE(result.startedAt, result.endedAt);
  EXPECT_GE(static_cast<INT32>(std::time(NULL)), self.endedAt);
  const std::vector<testing_support::StatisticsPost> posts = tree.service.StatisticsPosts();
  ASSERT_EQ(3u, posts.size());
  EXPECT_EQ(testing_support::kUpdateFigurePath, posts[0].path);
  // The Chinese texts arrive as UTF-8; the phone number is not sent.
  EXPECT_EQ("macAddress=0A-1B-2C-3D-4E-5F&updateObj=1&errorCode=2&errorMsg=更新文件损坏&startedAt=" +
                std::to_string(result.startedAt) + "&endedAt=" + std::to_string(result.endedAt),
            posts[0].body);
  EXPECT_EQ("macAddress=0A-1B-2C-3D-4E-5F&updateObj=2&errorCode=3&errorMsg=更新文件解压失败&startedAt=" +
                std::to_string(delta.startedAt) + "&endedAt=" + std::to_string(delta.endedAt),
            posts[1].body);
  EXPECT_EQ("macAddress=&updateObj=0&errorCode=0&errorMsg=更新成功&startedAt=" + std::to_string(self.startedAt) +
                "&endedAt=" + std::to_string(self.endedAt),
            posts[2].body);
  const auto type = posts[0].headers.find("Content-Type");
  ASSERT_NE(posts[0].headers.end(), type);
  EXPECT_EQ("application/x-www-form-urlencoded", type->second);

  const std::string log = tree.Log();
  EXPECT_EQ(3, CountOf(log, "start to upload update result."));
  EXPECT_EQ(3, CountOf(log, "finish to upload update result."));
  EXPECT_EQ(0, CountOf(log, "error"));
}

TEST_F(StatisticsReport, ServiceReplies) {
  updater_test::InstallTree tree;
  const std::wstring url = win32::Utf8ToWide(tree.service.BaseUrl());
  UpdateResult result;
  auto logAfter = [&](int status, const std::string& reply) {
    tree.service.SetStatisticsReply(status, reply);
    const size_t seen = tree.Log().size();
    UploadUpdateResult(url, result);
    return tree.Log().substr(seen);
  };
  UpdateContext::Instance();  // names the log

  EXPECT_NE(std::string::npos, logAfter(200, "{\"errCode\": 7}").find("upload update result error: 7 ."));
  const std::string unusable = "data parse error during uploading update result: -1 .";
  EXPECT_NE(std::string::npos, logAfter(200, "<html>").find(unusable));
  EXPECT_NE(std::string::npos, logAfter(200, "[0]").find(unusable));
  EXPECT_NE(std::string::npos, logAfter(200, "{\"errCode\": \"0\"}").find(unusable));
  EXPECT_NE(std::string::npos, logAfter(200, "{\"errCode\": 4294967296}").find(unusable));
  const std::string fine = logAfter(200, "{\"msg\": \"no code\"}");
  EXPECT_EQ(2, CountOf(fine, "\r\n"));  // start and finish only
  EXPECT_EQ(std::string::npos, fine.find("error"));

  // Nothing listens: only the start and finish lines.
  const size_t seen = tree.Log().size();
  UploadUpdateResult(L"http://127.0.0.1:1", result);
  const std::string unreachable = tree.Log().substr(seen);
  EXPECT_EQ(2, CountOf(unreachable, "\r\n"));
  EXPECT_NE(std::string::npos, unreachable.find("finish to upload update result."));
}

TEST_F(StatisticsReport, PhoneNumberRules) {
  SetLogPath("C:\\test.log");
  auto phone = [&](const char* config) {
    if (config) WriteHostFile(UserConfigHost(), config);
    UpdateResult result;
    BeginUpdateResult(result);
    return result.phone;
  };
  EXPECT_EQ(0, phone(nullptr));  // no configuration
  EXPECT_EQ(123, phone(R"({"ui": {"auth": {"phoneNumber": "123 456"}}})"));
  EXPECT_EQ(-42, phone(R"({"ui": {"auth": {"phoneNumber": "  -42x"}}})"));
  EXPECT_EQ(13812345678LL, phone(R"({"ui": {"auth": {"phoneNumber": 13812345678}}})"));
  EXPECT_EQ(0, phone(R"({"ui": {"auth": {"phoneNumber": ""}}})"));
  EXPECT_EQ(0, phone(R"({"ui": {"auth": {"phoneNumber": "none"}}})"));
  EXPECT_EQ(0, phone(R"({"ui": {"auth": {"phoneNumber": "99999999999999999999"}}})"));
  EXPECT_EQ(0, phone(R"({"other": 1})"));
  EXPECT_EQ(0, phone("not json"));
  EXPECT_EQ(0, CountOf(ReadHostFile(machine_.c() + "/test.log"), "GetExecutes json parse error. "));

  EXPECT_EQ(0, phone(R"({"ui": "signed out"})"));
  EXPECT_EQ(1, CountOf(ReadHostFile(machine_.c() + "/test.log"), "GetExecutes json parse error. "));
}

}  // namespace
