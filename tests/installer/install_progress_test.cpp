// The progress model: percentages at the stage boundaries and consistency
// under concurrent writers.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "installer/install_progress.h"

namespace {

TEST(InstallProgressTest, StartsInitialisingAtZero) {
  KorvaInstallProgress progress;
  EXPECT_EQ(0, progress.GetPercent());
  EXPECT_EQ(std::wstring(L"正在初始化，请稍等……"), progress.GetStatusText());
  EXPECT_FALSE(progress.IsDownloadFinished());
  EXPECT_EQ(0.0, progress.GetTotalMB());
  EXPECT_EQ(0.0, progress.GetDownloadedMB());
}

TEST(InstallProgressTest, PercentagesAtStageBoundaries) {
  KorvaInstallProgress progress;
  ASSERT_TRUE(progress.BeginDownloadStage(10000));
  EXPECT_EQ(0, progress.GetPercent());
  progress.SetDone(9998);  // 49.99 truncates
  EXPECT_EQ(49, progress.GetPercent());
  progress.SetDone(10000);
  EXPECT_EQ(50, progress.GetPercent());

  progress.SetStage(kProgressUnzipText, 0.5, 0.45, 200);
  EXPECT_EQ(50, progress.GetPercent());
  EXPECT_EQ(std::wstring(L"正在解压，请稍等……"), progress.GetStatusText());
  progress.SetDone(100);
  EXPECT_EQ(72, progress.GetPercent());  // 50 + 22.5
  progress.SetDone(200);
  EXPECT_EQ(95, progress.GetPercent());

  progress.SetComplete();
  EXPECT_EQ(100, progress.GetPercent());
  progress.SetStage(kProgressUnzipText, 0.5, 0.45, 200);
  EXPECT_EQ(100, progress.GetPercent());
}

TEST(InstallProgressTest, ZeroTotalReadsZero) {
  KorvaInstallProgress progress;
  progress.SetDone(5);
  EXPECT_EQ(0, progress.GetPercent());
  // An extraction that announces nothing to do.
  progress.SetStage(kProgressUnzipText, 0.5, 0.45, 0);
  EXPECT_EQ(0, progress.GetPercent());
  progress.SetDone(3);
  EXPECT_EQ(0, progress.GetPercent());
}

TEST(InstallProgressTest, DownloadStageKeepsFirstTotal) {
  KorvaInstallProgress progress;
  EXPECT_TRUE(progress.BeginDownloadStage(2 * 1048576.0));
  EXPECT_EQ(std::wstring(L"正在下载安装包，请稍等……"), progress.GetStatusText());
  EXPECT_FALSE(progress.BeginDownloadStage(4 * 1048576.0));
  EXPECT_DOUBLE_EQ(2.0, progress.GetTotalMB());
  progress.SetDownloadedBytes(1048576.0 / 2);
  EXPECT_DOUBLE_EQ(0.5, progress.GetDownloadedMB());
  progress.SetDownloadFinished();
  EXPECT_TRUE(progress.IsDownloadFinished());
}

// Writers switch between two stages while readers check that text, base and
// span always belong to the same stage.
TEST(InstallProgressTest, ReaderNeverSeesHalfSetStage) {
  KorvaInstallProgress progress;
  const std::wstring textA(400, L'a');
  const std::wstring textB(400, L'b');
  std::atomic<bool> stop(false);
  std::atomic<int> mismatches(0);
  std::atomic<long> reads(0);

  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([&, w] {
      // A loaded machine may not schedule the readers before the writers end.
      while (reads.load() < 3) std::this_thread::yield();
      for (int i = 0; i < 20000; ++i) {
        if ((i + w) % 2 == 0) {
          progress.SetStage(textA, 0.0, 0.5, 100);  // with done = total: 50
        } else {
          progress.SetStage(textB, 0.5, 0.45, 100);  // with done = total: 95
        }
        progress.SetDone(100);
      }
    });
  }
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        std::wstring text = progress.GetStatusText();
        if (text != textA && text != textB && text != L"正在初始化，请稍等……") ++mismatches;
        int percent = progress.GetPercent();
        // done is either 0 (stage just set) or 100.
        if (percent != 0 && percent != 50 && percent != 95) ++mismatches;
        ++reads;
      }
    });
  }
  for (auto& t : writers) t.join();
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(0, mismatches.load());
}

TEST(InstallProgressTest, InstanceIsOneObjectAcrossThreads) {
  KorvaInstallProgress::DestroyInstance();
  std::vector<KorvaInstallProgress*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&seen, i] { seen[i] = KorvaInstallProgress::Instance(); });
  }
  for (auto& t : threads) t.join();
  for (KorvaInstallProgress* p : seen) EXPECT_EQ(seen[0], p);
  KorvaInstallProgress::DestroyInstance();
}

}  // namespace
