// The updater's download from a service that stops sending in the middle of
// a package: abandoned once nothing has come for the stall time.
#include <gtest/gtest.h>

#include <string>

#include "shared/transfer_limits.h"
#include "support/silent_service.h"
#include "support/temp_machine.h"
#include "updater/update_workers.h"
#include "updater_test_util.h"

namespace {

using testing_support::ReadHostFile;
using testing_support::SecondsTaken;
using testing_support::SilentService;
using testing_support::TempMachine;

TEST(UpdateDownloadStall, StalledDownloadFails) {
  TempMachine machine;
  const std::string package = updater_test::NoiseBytes(128 * 1024);
  const size_t sent = 50000;
  SilentService stalling;
  ASSERT_TRUE(stalling.StartStalling(package, sent));

  // The self-update step's call: on the UI thread, without progress. The
  // stall shows some seconds after the last byte (libcurl averages the speed).
  bool ok = true;
  const double seconds = SecondsTaken(stalling, kStallSeconds + 20, [&] {
    ok = DownloadFile(stalling.BaseUrl() + "/packages/update.7z", "C:\\update.7z", NULL);
  });
  EXPECT_FALSE(ok);
  EXPECT_GE(seconds, kStallSeconds - 1);
  // The body had been flowing: it is the stall that ended the transfer.
  EXPECT_EQ(package.substr(0, sent), ReadHostFile(machine.c() + "/update.7z"));
  EXPECT_EQ(1u, stalling.RequestLines().size());
}

}  // namespace
