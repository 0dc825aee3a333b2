// Services that accept the connection and then never answer, or stop in the
// middle of a download: each transfer gives up within its limit and fails as
// a transfer to an unreachable service does.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "server/update_service.h"
#include "shared/http_client.h"
#include "shared/transfer_limits.h"
#include "support/silent_service.h"
#include "support/temp_machine.h"

namespace {

using testing_support::ReadHostFile;
using testing_support::SecondsTaken;
using testing_support::SilentService;
using testing_support::TempMachine;

// Over a limit: the machine may be busy with a parallel run. A stall is
// noticed only once libcurl's speed, averaged over its last few seconds,
// has dropped, some seconds after the last byte.
const double kSlackSeconds = 10;
const double kStallSlackSeconds = 20;

double g_lastNow = 0;
void RecordProgress(double, double now) { g_lastNow = now; }

// A request to a service that never answers ends in libcurl's time-out once
// the request limit has passed.
void ExpectRequestTimesOut(const std::function<int(const std::string& baseUrl)>& request) {
  TempMachine machine;
  SilentService silent;
  ASSERT_TRUE(silent.StartSilent());
  int result = -1;
  const double seconds = SecondsTaken(silent, kRequestTimeoutSeconds + kSlackSeconds,
                                      [&] { result = request(silent.BaseUrl()); });
  EXPECT_EQ(CURLE_OPERATION_TIMEDOUT, result);
  EXPECT_GE(seconds, kRequestTimeoutSeconds - 1);
  EXPECT_EQ(1, silent.connections());
}

TEST(TransferLimits, VersionCheckOfASilentServiceTimesOut) {
  std::string reply = "stale";
  ExpectRequestTimesOut([&](const std::string& baseUrl) {
    return HttpGetSigned(baseUrl, "/pc/version/check?channel=portal&packageName=korva", reply);
  });
  EXPECT_EQ("", reply);
}

TEST(TransferLimits, StatisticsPostToASilentServiceTimesOut) {
  std::string reply = "before:";
  ExpectRequestTimesOut([&](const std::string& baseUrl) {
    return Post(baseUrl + testing_support::kInstallFigurePath, "Content-Type:application/x-www-form-urlencoded",
                "macAddress=&stage=0", reply);
  });
  EXPECT_EQ("before:", reply);
}

// Downloads have no total limit: only the connect limit ends a connection
// that never opens.
TEST(TransferLimits, DownloadGivesUpOnAConnectionThatNeverOpens) {
  TempMachine machine;
  testing_support::MakeHostDirs(machine.c() + "/dl");
  SilentService unreachable;
  ASSERT_TRUE(unreachable.StartUnreachable());
  bool ok = true;
  const double seconds = SecondsTaken(unreachable, kConnectTimeoutSeconds + kSlackSeconds, [&] {
    ok = HttpDownloadFile(unreachable.BaseUrl() + "/packages/korva.7z", "C:\\dl\\korva.7z", RecordProgress);
  });
  EXPECT_FALSE(ok);
  EXPECT_GE(seconds, kConnectTimeoutSeconds - 1);
}

// A download that stops is abandoned once nothing has come for the stall
// time, however long it took before; its bytes stay for the next run.
TEST(TransferLimits, StalledDownloadFailsAndIsContinuedLater) {
  TempMachine machine;
  testing_support::MakeHostDirs(machine.c() + "/dl");
  std::mt19937 gen(11);
  std::string package(200 * 1024, '\0');
  for (char& c : package) c = static_cast<char>(gen());
  const size_t sent = 70000;

  SilentService stalling;
  ASSERT_TRUE(stalling.StartStalling(package, sent));
  bool ok = true;
  const double seconds = SecondsTaken(stalling, kStallSeconds + kStallSlackSeconds, [&] {
    ok = HttpDownloadFile(stalling.BaseUrl() + "/packages/korva.7z", "C:\\dl\\korva.7z", RecordProgress);
  });
  EXPECT_FALSE(ok);
  EXPECT_GE(seconds, kStallSeconds - 1);
  EXPECT_EQ(sent, static_cast<size_t>(g_lastNow));
  const std::string target = machine.c() + "/dl/korva.7z";
  ASSERT_EQ(package.substr(0, sent), ReadHostFile(target));

  testing_support::TestUpdateService service;
  service.SetRoot(machine.dir() + "/srv");
  testing_support::WriteHostFile(machine.dir() + "/srv/korva.7z", package);
  ASSERT_TRUE(service.Start());
  ASSERT_TRUE(HttpDownloadFile(service.PackageUrl("korva.7z"), "C:\\dl\\korva.7z", RecordProgress));
  EXPECT_EQ("bytes=" + std::to_string(sent) + "-", service.RequestsTo("/packages/korva.7z").at(0).header("Range"));
  EXPECT_EQ(package, ReadHostFile(target));
}

}  // namespace
