// The updater's own downloads over https: a service whose certificate nobody
// trusts is refused, by the self-update step's download and by the package
// steps' download worker alike.
#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

#include "support/temp_machine.h"
#include "updater/update_progress.h"
#include "updater/update_workers.h"
#include "updater_test_util.h"

namespace {

using testing_support::HostExists;
using testing_support::ReadHostFile;
using testing_support::TempMachine;
using testing_support::TestUpdateService;
using testing_support::WriteHostFile;

TEST(UpdateDownloadTls, UntrustedCertificateIsRefused) {
  TempMachine machine;
  KorvaUpdateProgress::DestroyInstance();
  DestroyStepWaiter();
  TestUpdateService service;
  service.SetRoot(machine.dir() + "/packages");
  WriteHostFile(machine.dir() + "/packages/korva.7z", updater_test::NoiseBytes(64 * 1024));
  ASSERT_TRUE(service.Start(0, true));
  ASSERT_EQ(0, service.BaseUrl().compare(0, 8, "https://"));
  const std::string url = service.PackageUrl("korva.7z");

  // The self-update step downloads on the calling thread, without progress.
  EXPECT_FALSE(DownloadFile(url, "C:\\self.7z", NULL));
  EXPECT_EQ(0u, ReadHostFile(machine.c() + "/self.7z").size());

  // The package steps download on a worker, which reports status 1.
  updater_test::OwnerWindow owner;
  WorkerTask task;
  task.source = url;
  task.target = "C:\\work\\update_korva.7z";
  task.reportProgress = true;
  task.weight = 0.5f;
  GetDownloadStageParams().base = task.base;
  GetDownloadStageParams().weight = task.weight;
  auto worker = boost::make_shared<KorvaUpdateDownloadWorker>(task);
  ASSERT_TRUE(worker->StartThread());
  ASSERT_TRUE(PumpUntilWorkerDone());
  EXPECT_EQ(kWorkerDownloadFailed, GetWorkerStatus());
  ASSERT_TRUE(HostExists(machine.c() + "/work/update_korva.7z"));
  EXPECT_EQ(0u, ReadHostFile(machine.c() + "/work/update_korva.7z").size());
  EXPECT_EQ(0, KorvaUpdateProgress::Instance()->GetPercent());

  // Refused in the handshake: no request ever reached the service.
  EXPECT_TRUE(service.Requests().empty());
}

}  // namespace
