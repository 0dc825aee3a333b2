// The nested wait for a worker: real threads and the thread's real message
// queue.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "installer/install_workers.h"
#include "installer/process_objects.h"
#include "installer/thread_ui_control.h"
#include "installer_test_util.h"

namespace {

using installer_test::CountOf;
using installer_test::DrainMessages;

class Latch {
 public:
  void Open() {
    std::lock_guard<std::mutex> guard(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

std::atomic<int> g_workersDestroyed(0);

// Waits for its latch, then writes into its own data and completes.
class GatedWorker final : public KorvaInstallThreadWorker {
 public:
  GatedWorker(int status, std::shared_ptr<Latch> latch) : status_(status), latch_(latch) {}
  ~GatedWorker() { ++g_workersDestroyed; }
  std::atomic<bool> finished{false};

 protected:
  void ThreadMain() override {
    if (latch_) latch_->Wait();
    payload_.assign(4096, 'x');
    Complete(status_);
    finished = true;
  }

 private:
  int status_;
  std::shared_ptr<Latch> latch_;
  std::string payload_;
};

// Ends a wait that hangs, so that a broken wait fails instead of blocking.
class Watchdog {
 public:
  explicit Watchdog(IThreadUIControl* waiter)
      : thread_([this, waiter] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!cv_.wait_for(lock, std::chrono::seconds(10), [this] { return done_; })) {
            waiter->StopMessageLoop();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class ThreadUIControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    installer_test::ResetProcessObjects();
    g_workersDestroyed = 0;
    waiter = KorvaThreadUIControl::Instance();
    KorvaInstallKernel::Instance()->SetThreadUIControl(waiter);
    DrainMessages();
  }
  void TearDown() override { installer_test::ResetProcessObjects(); }

  installer_test::LoggedMachine machine;
  KorvaThreadUIControl* waiter = nullptr;
};

TEST_F(ThreadUIControlTest, WorkerDoneBeforeTheWaitEndsItAtOnce) {
  auto worker = boost::make_shared<GatedWorker>(kWorkerPathMissing, nullptr);
  unsigned long ticket = BeginStep();
  ASSERT_TRUE(worker->StartThread(ticket));
  while (!worker->finished) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // No message is waiting: only the signal itself may end the wait.
  DrainMessages();
  Watchdog watchdog(waiter);
  auto start = std::chrono::steady_clock::now();
  waiter->RunMessageLoop();
  EXPECT_LT(SecondsSince(start), 1.0);
  int status = -5;
  ASSERT_TRUE(EndStep(ticket, &status));
  EXPECT_EQ(kWorkerPathMissing, status);
  EXPECT_EQ(1, CountOf(machine.Log(), "out of thread"));
}

TEST_F(ThreadUIControlTest, WorkerFinishingDuringAnIdleWaitWakesIt) {
  auto latch = std::make_shared<Latch>();
  std::thread opener([latch] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    latch->Open();
  });
  Watchdog watchdog(waiter);
  auto start = std::chrono::steady_clock::now();
  int status = RunWorker(boost::make_shared<GatedWorker>(kWorkerDownloadFailed, latch));
  opener.join();
  EXPECT_EQ(kWorkerDownloadFailed, status);
  EXPECT_LT(SecondsSince(start), 5.0);
}

TEST_F(ThreadUIControlTest, QuitDuringWaitLeavesWorkerRunningAndNextWaitUnaffected) {
  auto firstLatch = std::make_shared<Latch>();
  auto first = boost::make_shared<GatedWorker>(kWorkerOk, firstLatch);
  GatedWorker* firstRaw = first.get();

  PostQuitMessage(0);
  int status = RunWorker(first);
  EXPECT_EQ(kWorkerNoResult, status);
  EXPECT_EQ(1, CountOf(machine.Log(), "out of thread"));
  // The step lets go of the worker; its thread still owns it.
  first.reset();
  EXPECT_EQ(0, g_workersDestroyed.load());
  EXPECT_FALSE(firstRaw->finished);

  // The next wait must end on its own worker only, not on the late
  // completion of the first.
  auto secondLatch = std::make_shared<Latch>();
  std::atomic<bool> secondWaitOver(false);
  std::atomic<bool> overEarly(false);
  std::thread driver([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    firstLatch->Open();
    while (g_workersDestroyed.load() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    overEarly = secondWaitOver.load();
    secondLatch->Open();
  });
  Watchdog watchdog(waiter);
  status = RunWorker(boost::make_shared<GatedWorker>(kWorkerExtractFailed, secondLatch));
  secondWaitOver = true;
  driver.join();
  EXPECT_FALSE(overEarly.load());
  EXPECT_EQ(kWorkerExtractFailed, status);
  while (g_workersDestroyed.load() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// A wait that must not leave its worker behind: after the quit it blocks
// until the worker is done, takes nothing more from the queue, and returns
// the worker's own status; the next wait still ends on its own worker only.
TEST_F(ThreadUIControlTest, QuitDuringAWaitThatFinishesItsWorker) {
  auto latch = std::make_shared<Latch>();
  const DWORD self = GetCurrentThreadId();
  std::thread driver([&] {
    while (CountOf(machine.Log(), "out of thread") == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Arrives while the UI thread waits without pumping; it must stay queued.
    PostThreadMessageW(self, WM_APP + 3, 0, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    latch->Open();
  });
  PostQuitMessage(0);
  Watchdog watchdog(waiter);
  int status = RunWorker(boost::make_shared<GatedWorker>(kWorkerExtractFailed, latch), kFinishWorker);
  driver.join();
  EXPECT_EQ(kWorkerExtractFailed, status);
  std::string log = machine.Log();
  EXPECT_EQ(1, CountOf(log, "out of thread"));
  EXPECT_EQ(1, CountOf(log, "wait for the worker thread to finish ."));
  EXPECT_EQ(0, CountOf(log, "the wait ended before the worker thread finished ."));
  MSG msg;
  EXPECT_TRUE(PeekMessageW(&msg, NULL, WM_APP + 3, WM_APP + 3, PM_REMOVE));
  EXPECT_FALSE(PeekMessageW(&msg, NULL, WM_QUIT, WM_QUIT, PM_NOREMOVE));

  auto secondLatch = std::make_shared<Latch>();
  std::thread opener([secondLatch] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    secondLatch->Open();
  });
  status = RunWorker(boost::make_shared<GatedWorker>(kWorkerPathMissing, secondLatch));
  opener.join();
  EXPECT_EQ(kWorkerPathMissing, status);
  EXPECT_EQ(1, CountOf(machine.Log(), "wait for the worker thread to finish ."));
}

TEST_F(ThreadUIControlTest, ThreadThatCannotStartFailsWithoutWaiting) {
  // A default stack no address space can hold makes every new thread fail.
  pthread_attr_t saved;
  ASSERT_EQ(0, pthread_getattr_default_np(&saved));
  pthread_attr_t huge;
  pthread_attr_init(&huge);
  ASSERT_EQ(0, pthread_attr_setstacksize(&huge, size_t(1) << 46));
  ASSERT_EQ(0, pthread_setattr_default_np(&huge));

  auto start = std::chrono::steady_clock::now();
  int status = RunWorker(boost::make_shared<GatedWorker>(kWorkerOk, nullptr));
  double seconds = SecondsSince(start);

  ASSERT_EQ(0, pthread_setattr_default_np(&saved));
  pthread_attr_destroy(&huge);
  pthread_attr_destroy(&saved);

  EXPECT_EQ(kWorkerNoResult, status);
  EXPECT_LT(seconds, 1.0);
  EXPECT_EQ(0, CountOf(machine.Log(), "out of thread"));
  EXPECT_EQ(1, CountOf(machine.Log(), "fail to start worker thread ."));
  // The worker was never run, and nothing waits for it.
  EXPECT_EQ(1, g_workersDestroyed.load());

  // Threads work again, and so does the next wait.
  EXPECT_EQ(kWorkerPathMissing, RunWorker(boost::make_shared<GatedWorker>(kWorkerPathMissing, nullptr)));
}

std::atomic<long> g_exitWorkerRounds(0);

// Runs after every exit hook: by then the worker must have stopped for good
// instead of going on with (or re-creating) the freed objects. A round that
// was past its last access when the gate closed may still count itself.
void CheckWorkerStoppedAtExit() {
  long rounds = g_exitWorkerRounds.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(70));
  if (g_exitWorkerRounds.load() > rounds + 1) _exit(4);
}

// The process ends while a worker keeps writing the progress model and the
// completion record: the exit hooks free both, and the worker must not touch
// them afterwards (the address sanitizer catches a use after free).
TEST(ProcessExitTest, WorkerStillRunningAtExitTouchesNothingFreed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::atexit(CheckWorkerStoppedAtExit);
        RegisterInstallerExitHooks();
        SetStepWaiter(KorvaThreadUIControl::Instance());
        unsigned long ticket = BeginStep();
        std::thread worker([ticket] {
          for (double amount = 1;; amount += 1) {
            DownloadProgressSink(1e9, amount);
            CompleteStep(ticket, kWorkerOk);
            ++g_exitWorkerRounds;
          }
        });
        worker.detach();
        while (g_exitWorkerRounds.load() < 100) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// Stands for a static object of the program, such as the log path, that is
// built after the exit hooks were registered but before any worker started.
struct StaticOfTheProgram {
  ~StaticOfTheProgram() {
    // A worker could still reach the process objects while this is destroyed.
    ProcessObjectsAccess access;
    if (access.granted()) _exit(3);
  }
};

TEST(ProcessExitTest, WorkersAreShutOutBeforeStaticObjectsGo) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        RegisterInstallerExitHooks();  // as early as static initialisation
        static StaticOfTheProgram program;
        SetStepWaiter(KorvaThreadUIControl::Instance());
        RunWorker(boost::make_shared<GatedWorker>(kWorkerOk, nullptr));
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
