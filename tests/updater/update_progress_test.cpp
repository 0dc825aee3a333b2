// The progress model, the completion record and the nested wait, and the
// workers' download on their own.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

#include "shared/log_writer.h"
#include "support/temp_machine.h"
#include "updater/update_progress.h"
#include "updater/update_workers.h"
#include "updater_test_util.h"

namespace {

using testing_support::ReadHostFile;
using testing_support::TempMachine;
using updater_test::CountOf;

// A machine with the log at C:\test.log and fresh process-wide objects.
class LoggedMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogPath("C:\\test.log");
    KorvaUpdateProgress::DestroyInstance();
    DestroyStepWaiter();
  }
  void TearDown() override { SetLogPath(""); }
  std::string Log() const { return ReadHostFile(machine_.c() + "/test.log"); }

  TempMachine machine_;
};

// A worker that signals what it is told, when it is told.
class ControlledWorker final : public KorvaUpdateThreadWorker {
 public:
  void Release(int status) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = status;
    released_ = true;
    wake_.notify_all();
  }
  bool Finished() const { return finished_; }

 protected:
  void ThreadMain() override {
    int status = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return released_; });
      status = status_;
    }
    Signal(status);
    finished_ = true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool released_ = false;
  int status_ = 0;
  std::atomic<bool> finished_{false};
};

TEST(UpdateProgress, PercentOfStages) {
  KorvaUpdateProgress progress;
  EXPECT_EQ(0, progress.GetPercent());  // no stage yet

  progress.SetStage(0.5, 0.4, 3, L"x");
  progress.SetCurrent(1);
  EXPECT_EQ(63, progress.GetPercent());  // 63.33 truncated

  progress.SetStage(0, 0.5, 1000, L"x");
  progress.SetCurrent(1000);
  EXPECT_EQ(50, progress.GetPercent());

  // A new stage starts at its base.
  progress.SetStage(0.5, 0.4, 1000, kUnzipStageCaption);
  EXPECT_EQ(50, progress.GetPercent());
  EXPECT_EQ(kUnzipStageCaption, progress.GetCaption());

  // The shares are single-precision: 0.9 as a float is just below it.
  progress.SetStage(0.9f, 0.05f, 1000, L"x");
  EXPECT_EQ(89, progress.GetPercent());
  progress.SetStage(0.95f, 0.04f, 1000, L"x");
  progress.SetCurrent(1000);
  EXPECT_EQ(98, progress.GetPercent());

  progress.SetStage(0, 0.5, 0, L"x");  // an empty total
  progress.SetCurrent(10);
  EXPECT_EQ(0, progress.GetPercent());

  progress.SetFinished();
  EXPECT_EQ(100, progress.GetPercent());
}

TEST_F(LoggedMachine, SignalBeforeTheWaitIsNotLost) {
  auto worker = boost::make_shared<ControlledWorker>();
  ASSERT_TRUE(worker->StartThread());
  worker->Release(kWorkerExtractFailed);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return worker->Finished(); }, 5000));

  // Nothing in the queue and no timer: the wait must end without a message.
  EXPECT_TRUE(PumpUntilWorkerDone());
  EXPECT_EQ(kWorkerExtractFailed, GetWorkerStatus());
  EXPECT_EQ(1, CountOf(Log(), "out of thread"));
}

TEST_F(LoggedMachine, AbandonedWorkerNeitherEndsNorSpoilsTheNextWait) {
  updater_test::OwnerWindow owner;
  auto first = boost::make_shared<ControlledWorker>();
  ASSERT_TRUE(first->StartThread());
  PostQuitMessage(0);
  EXPECT_FALSE(PumpUntilWorkerDone());
  EXPECT_EQ(1, CountOf(Log(), "out of thread"));

  // The next worker is waited for while the first one signals late.
  auto second = boost::make_shared<ControlledWorker>();
  ASSERT_TRUE(second->StartThread());
  first->Release(kWorkerDownloadFailed);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return first->Finished(); }, 5000));
  first.reset();  // the first worker lives on only in its thread, until it ends
  EXPECT_FALSE(GetStepWaiter()->done.load());
  EXPECT_NE(kWorkerDownloadFailed, GetWorkerStatus());

  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    second->Release(kWorkerOk);
  });
  EXPECT_TRUE(PumpUntilWorkerDone());
  releaser.join();
  EXPECT_EQ(kWorkerOk, GetWorkerStatus());
  EXPECT_EQ(2, CountOf(Log(), "out of thread"));
}

// The download and its progress, without a worker.
class Download : public LoggedMachine {
 protected:
  void SetUp() override {
    LoggedMachine::SetUp();
    ASSERT_TRUE(service_.Start(0));
    service_.SetRoot(machine_.dir() + "/packages");
    testing_support::WriteHostFile(machine_.dir() + "/packages/p.bin", updater_test::NoiseBytes(300 * 1024));
  }
  std::string Host(const std::string& relative) const { return machine_.c() + "/" + relative; }

  testing_support::TestUpdateService service_;
};

TEST_F(Download, StatusAndRedirects) {
  EXPECT_TRUE(DownloadFile(service_.PackageUrl("p.bin"), "C:\\p.bin", NULL));
  EXPECT_EQ(ReadHostFile(machine_.dir() + "/packages/p.bin"), ReadHostFile(Host("p.bin")));

  // A second download starts the file afresh, even when it is shorter.
  testing_support::WriteHostFile(machine_.dir() + "/packages/q.bin", "short");
  EXPECT_TRUE(DownloadFile(service_.PackageUrl("q.bin"), "C:\\p.bin", NULL));
  EXPECT_EQ("short", ReadHostFile(Host("p.bin")));

  testing_support::DownloadFaults faults;
  faults.status = 404;
  service_.SetFaults("p.bin", faults);
  EXPECT_FALSE(DownloadFile(service_.PackageUrl("p.bin"), "C:\\p.bin", NULL));

  faults = testing_support::DownloadFaults();
  faults.redirects = 5;
  service_.SetFaults("p.bin", faults);
  EXPECT_TRUE(DownloadFile(service_.PackageUrl("p.bin"), "C:\\p.bin", NULL));
  faults.redirects = 6;
  service_.SetFaults("p.bin", faults);
  EXPECT_FALSE(DownloadFile(service_.PackageUrl("p.bin"), "C:\\p.bin", NULL));

  EXPECT_FALSE(DownloadFile("", "C:\\p.bin", NULL));
  EXPECT_FALSE(DownloadFile(service_.PackageUrl("p.bin"), "C:\\missing\\p.bin", NULL));
  // Nothing listens there.
  EXPECT_FALSE(DownloadFile("http://127.0.0.1:1/p.bin", "C:\\p.bin", NULL));
}

TEST_F(Download, ProgressSinkSetsTheStageOnceThenTheAmount) {
  DownloadStageParams& params = GetDownloadStageParams();
  params.base = 0.2f;
  params.weight = 0.5f;
  params.stagePending = true;
  KorvaUpdateProgress* progress = KorvaUpdateProgress::Instance();

  UpdateDownloadProgressSink(0, 100);  // size not known yet
  UpdateDownloadProgressSink(1000, 0);
  EXPECT_EQ(0, progress->GetPercent());
  EXPECT_EQ(L"", progress->GetCaption());
  EXPECT_TRUE(params.stagePending);

  UpdateDownloadProgressSink(1000, 400);  // sets the stage, the amount is not kept
  EXPECT_FALSE(params.stagePending);
  EXPECT_EQ(kDownloadStageCaption, progress->GetCaption());
  EXPECT_EQ(20, progress->GetPercent());
  UpdateDownloadProgressSink(1000, 500);
  EXPECT_EQ(45, progress->GetPercent());

  // A whole download through the sink ends at base + weight.
  params.stagePending = true;
  params.base = 0.5f;
  params.weight = 0.25f;
  EXPECT_TRUE(DownloadFile(service_.PackageUrl("p.bin"), "C:\\p.bin", UpdateDownloadProgressSink));
  EXPECT_EQ(75, progress->GetPercent());
}

TEST_F(Download, WorkerStatuses) {
  updater_test::OwnerWindow owner;
  auto run = [&](const WorkerTask& task, bool unzip) {
    boost::shared_ptr<KorvaUpdateThreadWorker> worker;
    if (unzip) {
      worker = boost::make_shared<KorvaUpdateUnzipWorker>(task);
    } else {
      worker = boost::make_shared<KorvaUpdateDownloadWorker>(task);
    }
    EXPECT_TRUE(worker->StartThread());
    EXPECT_TRUE(PumpUntilWorkerDone());
    return GetWorkerStatus();
  };
  WorkerTask task;
  task.source = service_.PackageUrl("p.bin");
  task.target = "C:\\deep\\er\\p.bin";  // missing folders are made
  task.reportProgress = true;
  task.base = 0;
  task.weight = 0.5f;
  GetDownloadStageParams().base = task.base;
  GetDownloadStageParams().weight = task.weight;
  EXPECT_EQ(kWorkerOk, run(task, false));
  EXPECT_EQ(ReadHostFile(machine_.dir() + "/packages/p.bin"), ReadHostFile(Host("deep/er/p.bin")));
  EXPECT_EQ(50, KorvaUpdateProgress::Instance()->GetPercent());

  task.source = service_.PackageUrl("missing.bin");
  EXPECT_EQ(kWorkerDownloadFailed, run(task, false));

  task.source.clear();
  EXPECT_EQ(kWorkerPathMissing, run(task, false));
  EXPECT_NE(std::string::npos, Log().find("download directory is not exists in download worker: C:\\deep\\er\\ ."));

  // A target below a file: its folder cannot be made.
  task.source = service_.PackageUrl("p.bin");
  task.target = "C:\\deep\\er\\p.bin\\x.bin";
  EXPECT_EQ(kWorkerPathMissing, run(task, false));

  WorkerTask unzip;
  unzip.source = "C:\\none.7z";
  unzip.target = "C:\\deep";
  EXPECT_EQ(kWorkerPathMissing, run(unzip, true));
  EXPECT_NE(std::string::npos, Log().find("download package is not exists: C:\\none.7z ."));
  unzip.source = "C:\\deep\\er\\p.bin";
  unzip.target = "C:\\nowhere";
  EXPECT_EQ(kWorkerPathMissing, run(unzip, true));
  EXPECT_NE(std::string::npos, Log().find("extract directory is not exists: C:\\nowhere ."));
  EXPECT_EQ(6, CountOf(Log(), "out of thread"));
}

}  // namespace
