// Message loops, nested loops, cross-thread posts and sends, timers.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include "helpers/window_class.h"
#include "support/temp_machine.h"

using testing_support::TempMachine;

namespace {

constexpr UINT kMsgWork = WM_USER + 1;
constexpr UINT kMsgTick = WM_USER + 2;
constexpr UINT kMsgQuit = WM_USER + 3;

struct LoopState {
  std::atomic<bool> workerDone{false};
  int nestedTimers = 0;
  int nestedPosts = 0;
  bool nestedEndedOnQuit = false;
  bool reachedWork = false;
  bool repostQuit = true;
};
LoopState* g_state = nullptr;

// Runs like a window whose "long work" handler waits for a worker in a
// nested loop, as both programs do.
LRESULT CALLBACK WorkProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case kMsgWork: {
      g_state->reachedWork = true;
      SetTimer(hwnd, 7, 15, nullptr);
      MSG m;
      while (!g_state->workerDone.load()) {
        if (!GetMessageW(&m, nullptr, 0, 0)) {
          g_state->nestedEndedOnQuit = true;
          // A modal loop hands WM_QUIT on to the loop around it.
          if (g_state->repostQuit) PostQuitMessage(static_cast<int>(m.wParam));
          break;
        }
        if (m.message == WM_TIMER && m.hwnd == hwnd) ++g_state->nestedTimers;
        if (m.message == kMsgTick) ++g_state->nestedPosts;
        TranslateMessage(&m);
        DispatchMessageW(&m);
      }
      KillTimer(hwnd, 7);
      return 0;
    }
    case kMsgQuit:
      PostQuitMessage(static_cast<int>(wParam));
      return 0;
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

HWND MakeWindow(WNDPROC proc, const wchar_t* cls) {
  window_test::RegisterWindowClass(cls, proc);
  return CreateWindowExW(0, cls, L"loop", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
}

// Runs an outer GetMessageW loop; returns the WM_QUIT code.
int RunOuterLoop() {
  MSG m;
  while (GetMessageW(&m, nullptr, 0, 0) > 0) {
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
  return static_cast<int>(m.wParam);
}

}  // namespace

TEST(MessageLoop, NestedLoopKeepsTimersAndPostsFlowingAndQuitEndsBothLoops) {
  TempMachine machine;
  LoopState state;
  g_state = &state;
  HWND hwnd = MakeWindow(WorkProc, L"NestedLoopWnd");
  ASSERT_TRUE(hwnd);
  PostMessageW(hwnd, kMsgWork, 0, 0);
  // The worker never finishes: only posts ticks, then asks to quit.
  std::thread worker([hwnd] {
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      PostMessageW(hwnd, kMsgTick, i, 0);
    }
    PostMessageW(hwnd, kMsgQuit, 42, 0);
  });
  int code = RunOuterLoop();
  worker.join();
  EXPECT_TRUE(state.reachedWork);
  EXPECT_TRUE(state.nestedEndedOnQuit);
  EXPECT_EQ(5, state.nestedPosts);
  EXPECT_GE(state.nestedTimers, 2);
  EXPECT_EQ(42, code);
  MSG m;
  EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) << "the quit was consumed by the outer loop";
  DestroyWindow(hwnd);
  g_state = nullptr;
}

TEST(MessageLoop, NestedWaitEndsOnSignalAndQuitNotRepostedKeepsOuterLoopRunning) {
  TempMachine machine;
  LoopState state;
  state.repostQuit = false;
  g_state = &state;
  HWND hwnd = MakeWindow(WorkProc, L"NestedWaitWnd");
  ASSERT_TRUE(hwnd);

  // A worker that signals through a flag and posts nothing: the timer wakes
  // the wait so that the flag is seen.
  PostMessageW(hwnd, kMsgWork, 0, 0);
  std::thread worker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    state.workerDone = true;
  });
  MSG m;
  ASSERT_EQ(TRUE, GetMessageW(&m, nullptr, 0, 0));
  auto start = std::chrono::steady_clock::now();
  DispatchMessageW(&m);  // returns once the nested wait saw the flag
  worker.join();
  EXPECT_FALSE(state.nestedEndedOnQuit);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

  // A wait that consumes WM_QUIT leaves the outer loop running.
  state.workerDone = false;
  PostMessageW(hwnd, kMsgWork, 0, 0);
  PostQuitMessage(3);
  ASSERT_EQ(TRUE, GetMessageW(&m, nullptr, 0, 0));
  EXPECT_EQ(kMsgWork, m.message) << "posted messages come before WM_QUIT";
  DispatchMessageW(&m);
  EXPECT_TRUE(state.nestedEndedOnQuit);
  PostMessageW(hwnd, kMsgTick, 0, 0);
  ASSERT_EQ(TRUE, GetMessageW(&m, nullptr, 0, 0));
  EXPECT_EQ(kMsgTick, m.message);
  DestroyWindow(hwnd);
  g_state = nullptr;
}

TEST(MessageLoop, PostsFromManyThreadsArriveCompleteAndInOrderPerThread) {
  TempMachine machine;
  HWND hwnd = MakeWindow(DefWindowProcW, L"PostTargetWnd");
  ASSERT_TRUE(hwnd);
  const DWORD self = GetCurrentThreadId();
  constexpr int kThreads = 4, kEach = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([=] {
      for (int i = 0; i < kEach; ++i) {
        // Half to the window, half to the thread.
        if (i % 2)
          PostMessageW(hwnd, WM_USER + 100 + t, i, 0);
        else
          PostThreadMessageW(self, WM_USER + 100 + t, i, 0);
      }
    });
  for (auto& t : threads) t.join();
  std::map<UINT, int> next;
  int total = 0;
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    if (m.message < WM_USER + 100 || m.message >= WM_USER + 100 + kThreads) continue;
    EXPECT_EQ(next[m.message], static_cast<int>(m.wParam));
    EXPECT_EQ((m.wParam % 2) ? hwnd : nullptr, m.hwnd);
    next[m.message] = static_cast<int>(m.wParam) + 1;
    ++total;
  }
  EXPECT_EQ(kThreads * kEach, total);

  // A thread that never made a queue, and a destroyed window, take nothing.
  std::thread idle([] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); });
  EXPECT_FALSE(PostThreadMessageW(0x7ffffff0, WM_USER, 0, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_THREAD_ID), GetLastError());
  idle.join();
  DestroyWindow(hwnd);
  EXPECT_FALSE(PostMessageW(hwnd, WM_USER, 0, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE), GetLastError());
}

namespace {
std::atomic<DWORD> g_procThread{0};
HWND g_workerWindow = nullptr;

LRESULT CALLBACK EchoProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_USER + 50) {
    g_procThread = GetCurrentThreadId();
    // Sends back to the sender's own window while the sender waits.
    LRESULT back = g_workerWindow ? SendMessageW(g_workerWindow, WM_USER + 51, wParam, 0) : 0;
    return static_cast<LRESULT>(wParam) * 2 + back;
  }
  if (msg == WM_USER + 51) return 1000;
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}
}  // namespace

TEST(MessageLoop, SendFromAnotherThreadRunsOnOwnerAndServesSendsBack) {
  TempMachine machine;
  HWND hwnd = MakeWindow(EchoProc, L"EchoWnd");
  ASSERT_TRUE(hwnd);
  std::atomic<LRESULT> result{0};
  std::atomic<bool> done{false};
  DWORD workerThread = 0;
  std::thread worker([&] {
    workerThread = GetCurrentThreadId();
    g_workerWindow = CreateWindowExW(0, L"EchoWnd", L"worker", WS_POPUP, 0, 0, 1, 1, nullptr,
                                     nullptr, nullptr, nullptr);
    result = SendMessageW(hwnd, WM_USER + 50, 21, 0);
    DestroyWindow(g_workerWindow);
    done = true;
    PostMessageW(hwnd, WM_NULL, 0, 0);  // wake the pump
  });
  MSG m;
  while (!done.load() && GetMessageW(&m, nullptr, 0, 0) > 0) DispatchMessageW(&m);
  worker.join();
  g_workerWindow = nullptr;
  EXPECT_EQ(1042, result.load());
  EXPECT_EQ(GetCurrentThreadId(), g_procThread.load());
  EXPECT_NE(workerThread, g_procThread.load());
  DestroyWindow(hwnd);
}

namespace {
int g_procTicks = 0;
void CALLBACK CountTick(HWND, UINT, UINT_PTR, DWORD) { ++g_procTicks; }
}  // namespace

TEST(Timers, StaleTicksCoalesceAndComeAfterPostedMessages) {
  TempMachine machine;
  HWND hwnd = MakeWindow(DefWindowProcW, L"TimerWnd");
  ASSERT_TRUE(hwnd);
  ASSERT_TRUE(SetTimer(hwnd, 3025, 10, nullptr));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // ~15 periods without pumping
  PostMessageW(hwnd, WM_USER, 1, 0);
  PostMessageW(hwnd, WM_USER, 2, 0);

  std::vector<UINT> order;
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    if (m.message == WM_PAINT) {
      DispatchMessageW(&m);
      continue;
    }
    order.push_back(m.message);
    if (m.message == WM_TIMER) {
      EXPECT_EQ(3025u, m.wParam);
    }
  }
  ASSERT_EQ((std::vector<UINT>{WM_USER, WM_USER, WM_TIMER}), order);

  // The next tick is a full period away, and there is only ever one.
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  int ticks = 0;
  while (PeekMessageW(&m, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE)) ++ticks;
  EXPECT_EQ(1, ticks);

  // Setting the same id again replaces the timer; killing it stops the ticks.
  ASSERT_TRUE(SetTimer(hwnd, 3025, 10, nullptr));
  ASSERT_TRUE(KillTimer(hwnd, 3025));
  EXPECT_FALSE(KillTimer(hwnd, 3025));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(PeekMessageW(&m, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE));
  DestroyWindow(hwnd);
}

TEST(Timers, TimerProcsRunOnlyForRegisteredTimersAndGetMessageBlocksUntilATick) {
  TempMachine machine;
  g_procTicks = 0;
  UINT_PTR id = SetTimer(nullptr, 0, 20, CountTick);
  ASSERT_NE(0u, id);
  auto start = std::chrono::steady_clock::now();
  MSG m;
  ASSERT_EQ(TRUE, GetMessageW(&m, nullptr, 0, 0));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(15));
  EXPECT_EQ(static_cast<UINT>(WM_TIMER), m.message);
  EXPECT_EQ(id, m.wParam);
  DispatchMessageW(&m);
  EXPECT_EQ(1, g_procTicks);

  // A WM_TIMER posted by anyone with a made-up procedure address is not called.
  PostThreadMessageW(GetCurrentThreadId(), WM_TIMER, id, 0x1234);
  ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(0, DispatchMessageW(&m));
  EXPECT_EQ(1, g_procTicks);
  EXPECT_TRUE(KillTimer(nullptr, id));
}

namespace {
int g_paints = 0;
LRESULT CALLBACK LazyPaintProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_PAINT) {
    ++g_paints;  // never validates
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}
}  // namespace

TEST(MessageLoop, PaintComesForShownInvalidWindowsOnceAndAfterPosts) {
  TempMachine machine;
  g_paints = 0;
  HWND hwnd = MakeWindow(LazyPaintProc, L"PaintWnd");
  ASSERT_TRUE(hwnd);
  MSG m;
  EXPECT_FALSE(PeekMessageW(&m, nullptr, WM_PAINT, WM_PAINT, PM_NOREMOVE)) << "hidden windows get no WM_PAINT";
  ShowWindow(hwnd, SW_SHOW);
  PostMessageW(hwnd, WM_USER, 0, 0);
  ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(static_cast<UINT>(WM_USER), m.message);
  ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(static_cast<UINT>(WM_PAINT), m.message);
  DispatchMessageW(&m);
  EXPECT_EQ(1, g_paints);
  EXPECT_FALSE(PeekMessageW(&m, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE));
  InvalidateRect(hwnd, nullptr, TRUE);
  ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(static_cast<UINT>(WM_PAINT), m.message);
  DestroyWindow(hwnd);
}

TEST(MessageLoop, WindowsOfAnEndedThreadAreGoneAndSendsToItDoNotHang) {
  TempMachine machine;
  window_test::RegisterWindowClass(L"ThreadWnd", DefWindowProcW);
  HWND fromThread = nullptr;
  std::atomic<bool> created{false}, release{false};
  std::thread owner([&] {
    fromThread = CreateWindowExW(0, L"ThreadWnd", L"t", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                 nullptr, nullptr);
    created = true;
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // ends without pumping: the pending send must be answered anyway
  });
  while (!created.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(IsWindow(fromThread));
  EXPECT_FALSE(DestroyWindow(fromThread)) << "only the owning thread destroys a window";
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    release = true;
  });
  EXPECT_EQ(0, SendMessageW(fromThread, WM_GETTEXTLENGTH, 0, 0));
  owner.join();
  releaser.join();
  EXPECT_FALSE(IsWindow(fromThread));
  EXPECT_FALSE(PostMessageW(fromThread, WM_USER, 0, 0));
}
