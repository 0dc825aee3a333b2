#include "shared/http_client.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdlib>
#include <random>
#include <string>

#include "server/update_service.h"
#include "support/temp_machine.h"

namespace {

using testing_support::DownloadFaults;
using testing_support::ReadHostFile;
using testing_support::ServiceMd5;
using testing_support::ServiceMd5OfFile;
using testing_support::TempMachine;
using testing_support::TestUpdateService;
using testing_support::WriteHostFile;

// Progress reports of the last download (the callback gets no context).
double g_lastTotal = 0;
double g_lastNow = 0;
int g_reports = 0;
void RecordProgress(double total, double now) {
  g_lastTotal = total;
  g_lastNow = now;
  ++g_reports;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen());
  return s;
}

class HttpClientTest : public testing::Test {
 protected:
  void SetUp() override {
    root_ = machine_.dir() + "/srv";
    testing_support::MakeHostDirs(root_);
    service_.SetRoot(root_);
    ASSERT_TRUE(service_.Start());
    package_ = RandomBytes(300 * 1024 + 17, 5);
    WriteHostFile(root_ + "/korva.7z", package_);
    testing_support::MakeHostDirs(machine_.c() + "/dl");
    g_reports = 0;
    g_lastTotal = g_lastNow = 0;
  }

  std::string Target() const { return machine_.c() + "/dl/korva.7z"; }
  bool Download(const std::string& file = "korva.7z") {
    return HttpDownloadFile(service_.PackageUrl(file), "C:\\dl\\korva.7z", RecordProgress);
  }
  std::string LastRange() const {
    auto requests = service_.RequestsTo("/packages/korva.7z");
    return requests.empty() ? "<none>" : requests.back().header("Range");
  }

  TempMachine machine_;
  TestUpdateService service_;
  std::string root_;
  std::string package_;
};

TEST_F(HttpClientTest, SignedGetCarriesTimeAndTokenTheServiceAccepts) {
  service_.SetPackage({"korva", 9, "1.9", "new", "korva.7z"});
  std::string reply = "old text";
  ASSERT_EQ(HttpGetSigned(service_.VersionCheckUrl(),
                          "?channel=portal&packageName=korva&versionCode=1", reply),
            0);
  EXPECT_NE(reply.find("\"code\":2"), std::string::npos) << reply;
  EXPECT_EQ(reply.find("old text"), std::string::npos);

  auto request = service_.RequestsTo(testing_support::kVersionCheckPath).at(0);
  const std::string timestamp = request.header("TIMESTAMP");
  const long long now = static_cast<long long>(time(nullptr));
  EXPECT_LE(std::llabs(std::atoll(timestamp.c_str()) - now), 5);
  EXPECT_EQ(std::to_string(std::atoll(timestamp.c_str())), timestamp);
  EXPECT_EQ(request.header("TOKEN"), ServiceMd5(kRequestSigningKey + timestamp));
  EXPECT_EQ(request.target, "/pc/version/check?channel=portal&packageName=korva&versionCode=1");
}

TEST_F(HttpClientTest, ServiceRefusesATamperedToken) {
  service_.SetPackage({"korva", 9, "1.9", "new", "korva.7z"});
  httplib::Client client("127.0.0.1", service_.port());
  const std::string timestamp = std::to_string(time(nullptr));
  std::string token = ServiceMd5(kRequestSigningKey + timestamp);
  token[5] = token[5] == 'a' ? 'b' : 'a';
  auto result = client.Get("/pc/version/check?channel=portal&packageName=korva&versionCode=1",
                           {{"TIMESTAMP", timestamp}, {"TOKEN", token}});
  ASSERT_TRUE(result);
  EXPECT_NE(result->body.find("\"code\":-1"), std::string::npos) << result->body;
}

TEST_F(HttpClientTest, SignedGetReturnsErrorPagesAsReplies) {
  std::string reply;
  EXPECT_EQ(HttpGetSigned(service_.BaseUrl(), "/packages/missing.7z", reply), 0);
  EXPECT_NE(reply.find("404"), std::string::npos) << reply;

  service_.Stop();
  EXPECT_EQ(HttpGetSigned(service_.BaseUrl(), "/pc/version/check", reply), CURLE_COULDNT_CONNECT);
}

TEST_F(HttpClientTest, FreshDownloadWritesTheWholeFileAndReportsProgress) {
  ASSERT_TRUE(Download());
  EXPECT_EQ(ServiceMd5OfFile(Target()), ServiceMd5(package_));
  EXPECT_EQ(LastRange(), "");
  EXPECT_GT(g_reports, 0);
  EXPECT_EQ(g_lastTotal, static_cast<double>(package_.size()));
  EXPECT_EQ(g_lastNow, static_cast<double>(package_.size()));
}

TEST_F(HttpClientTest, InterruptedDownloadIsResumedFromThePartialFile) {
  DownloadFaults drop;
  drop.dropAfterBytes = 100000;
  service_.SetFaults("korva.7z", drop);
  EXPECT_FALSE(Download());
  EXPECT_EQ(ReadHostFile(Target()), package_.substr(0, 100000));

  service_.ClearFaults();
  ASSERT_TRUE(Download());
  EXPECT_EQ(LastRange(), "bytes=100000-");
  EXPECT_EQ(service_.RequestsTo("/packages/korva.7z").back().status, 206);
  EXPECT_EQ(ServiceMd5OfFile(Target()), ServiceMd5(package_));
}

TEST_F(HttpClientTest, WholeFileAnswered416CountsAsComplete) {
  WriteHostFile(Target(), package_);
  ASSERT_TRUE(Download());
  EXPECT_EQ(service_.RequestsTo("/packages/korva.7z").back().status, 416);
  EXPECT_EQ(ReadHostFile(Target()), package_);  // the 416 page is not appended

  // A partial file longer than the package can never be continued: it is
  // dropped, so the next run starts from zero.
  WriteHostFile(Target(), package_ + "tail");
  EXPECT_FALSE(Download());
  EXPECT_EQ(ReadHostFile(Target()), "");
  ASSERT_TRUE(Download());
  EXPECT_EQ(ReadHostFile(Target()), package_);
}

TEST_F(HttpClientTest, ServerIgnoringTheRangeRestartsTheFile) {
  DownloadFaults ignore;
  ignore.ignoreRange = true;
  service_.SetFaults("*", ignore);
  WriteHostFile(Target(), "stale bytes of another build");
  ASSERT_TRUE(Download());
  EXPECT_EQ(LastRange(), "bytes=28-");
  EXPECT_EQ(service_.RequestsTo("/packages/korva.7z").back().status, 200);
  EXPECT_EQ(ReadHostFile(Target()), package_);
}

TEST_F(HttpClientTest, RedirectsAreFollowedUpToFive) {
  DownloadFaults hops;
  hops.redirects = 5;
  service_.SetFaults("korva.7z", hops);
  ASSERT_TRUE(Download());
  EXPECT_EQ(ReadHostFile(Target()), package_);

  hops.redirects = 6;
  service_.SetFaults("korva.7z", hops);
  WriteHostFile(Target(), "");
  EXPECT_FALSE(Download());
  EXPECT_EQ(ReadHostFile(Target()), "");
}

TEST_F(HttpClientTest, ErrorStatusesFailWithoutTouchingThePartialFile) {
  EXPECT_FALSE(Download("missing.7z"));
  EXPECT_EQ(ReadHostFile(Target()), "");

  WriteHostFile(Target(), package_.substr(0, 1000));
  DownloadFaults fault;
  fault.status = 500;
  service_.SetFaults("korva.7z", fault);
  EXPECT_FALSE(Download());
  EXPECT_EQ(ReadHostFile(Target()), package_.substr(0, 1000));

  // The partial file is intact, so the next run continues it.
  service_.ClearFaults();
  ASSERT_TRUE(Download());
  EXPECT_EQ(ReadHostFile(Target()), package_);
}

TEST_F(HttpClientTest, DownloadIntoAMissingDirectoryFailsBeforeAnyTransfer) {
  EXPECT_FALSE(HttpDownloadFile(service_.PackageUrl("korva.7z"), "C:\\no\\such\\korva.7z",
                                RecordProgress));
  EXPECT_TRUE(service_.Requests().empty());
}

TEST_F(HttpClientTest, DownloadWithoutProgressFunctionIsAborted) {
  EXPECT_FALSE(HttpDownloadFile(service_.PackageUrl("korva.7z"), "C:\\dl\\korva.7z", nullptr));
}

TEST_F(HttpClientTest, PostSendsEachHeaderLineAndTheBodyAsUtf8) {
  // "errorMsg=安装成功" in GBK, the machine's ANSI code page.
  const std::string body = "macAddress=00-11&errorMsg=\xB0\xB2\xD7\xB0\xB3\xC9\xB9\xA6";
  std::string reply = "before:";
  ASSERT_EQ(Post(service_.BaseUrl() + testing_support::kInstallFigurePath,
                 "Content-Type:application/x-www-form-urlencoded&X-Korva:a b", body, reply),
            0);
  EXPECT_EQ(reply, "before:{\"errCode\":0}");

  auto posts = service_.StatisticsPosts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].body, "macAddress=00-11&errorMsg=安装成功");
  auto request = service_.RequestsTo(testing_support::kInstallFigurePath).at(0);
  EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(request.header("X-Korva"), "a b");
  EXPECT_EQ(request.method, "POST");
}

TEST_F(HttpClientTest, PostWithoutHeadersAndToAClosedPort) {
  std::string reply;
  service_.SetStatisticsReply(200, "{\"errCode\":3}");
  ASSERT_EQ(Post(service_.BaseUrl() + testing_support::kUpdateFigurePath, "", "a=1", reply), 0);
  EXPECT_EQ(reply, "{\"errCode\":3}");
  EXPECT_EQ(service_.StatisticsPosts().at(0).body, "a=1");

  service_.Stop();
  reply.clear();
  EXPECT_EQ(Post(service_.BaseUrl() + testing_support::kUpdateFigurePath, "", "a=1", reply),
            CURLE_COULDNT_CONNECT);
  EXPECT_EQ(reply, "");
}

// Certificates are checked on every https transfer: a self-signed service is
// refused before any request reaches it.
TEST(HttpClientTls, UntrustedCertificateIsRefused) {
  TempMachine machine;
  testing_support::MakeHostDirs(machine.c() + "/dl");
  TestUpdateService service;
  service.SetRoot(machine.c());
  WriteHostFile(machine.c() + "/korva.7z", "package");
  ASSERT_TRUE(service.Start(0, true));
  ASSERT_EQ(service.BaseUrl().compare(0, 8, "https://"), 0);

  std::string reply;
  EXPECT_EQ(HttpGetSigned(service.VersionCheckUrl(), "?packageName=korva", reply),
            CURLE_PEER_FAILED_VERIFICATION);
  const std::string upper = "HTTPS" + service.BaseUrl().substr(5);
  EXPECT_EQ(Post(upper + testing_support::kInstallFigurePath, "", "a=1", reply),
            CURLE_PEER_FAILED_VERIFICATION);
  EXPECT_FALSE(HttpDownloadFile(service.PackageUrl("korva.7z"), "C:\\dl\\korva.7z", RecordProgress));
  EXPECT_TRUE(service.Requests().empty());
}

TEST(HttpCallbacks, StringWriterRefusesMissingTargets) {
  std::string target = "x";
  char data[] = "abc";
  EXPECT_EQ(StringWriteCallback(data, 1, 3, &target), 3u);
  EXPECT_EQ(target, "xabc");
  EXPECT_EQ(StringWriteCallback(data, 1, 3, nullptr), static_cast<size_t>(-1));
  EXPECT_EQ(StringWriteCallback(nullptr, 1, 3, &target), static_cast<size_t>(-1));
  EXPECT_EQ(CurlProgressCallback(nullptr, 10, 5, 0, 0), 37);
}

}  // namespace
