// Per-thread message queues: posting, sending across threads, the message
// loop calls and timers.
#include <algorithm>
#include <unordered_set>

#include "win32/user/user_state.h"

namespace win32 {
namespace user {
namespace {

// Ends the calling thread's queue: pending sends are answered with 0 and the
// thread's windows disappear without messages (their procedures may belong
// to objects that are already gone).
struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue;
  ~QueueHolder() {
    if (!queue) return;
    std::vector<std::shared_ptr<Window>> dropped;
    {
      std::lock_guard<std::mutex> lock(S().mutex);
      for (auto it = S().windows.begin(); it != S().windows.end();) {
        if (it->second->tid == queue->tid) {
          dropped.push_back(it->second);
          it = S().windows.erase(it);
        } else {
          ++it;
        }
      }
      for (auto& w : S().windows) {
        auto& kids = w.second->children;
        kids.erase(std::remove_if(kids.begin(), kids.end(),
                                  [&](HWND h) { return !S().windows.count(h); }),
                   kids.end());
      }
      auto it = S().queues.find(queue->tid);
      if (it != S().queues.end() && it->second == queue) S().queues.erase(it);
    }
    std::deque<std::shared_ptr<SentMessage>> pending;
    std::deque<QueueEntry> posted;
    {
      std::lock_guard<std::mutex> lock(queue->mutex);
      queue->alive = false;
      pending.swap(queue->sent);
      posted.swap(queue->posted);  // tasks answer their callers when destroyed
      queue->timers.clear();
    }
    for (auto& sent : pending) {
      std::lock_guard<std::mutex> lock(sent->sender->mutex);
      sent->done = true;
      sent->sender->Wake();
    }
    if (!dropped.empty()) Publish();
  }
};

thread_local QueueHolder t_queue;

// Windows a window filter accepts: the window and its descendants.
std::unordered_set<HWND> FilterSet(HWND filter) {
  std::unordered_set<HWND> set;
  if (!filter || filter == reinterpret_cast<HWND>(-1)) return set;
  std::lock_guard<std::mutex> lock(S().mutex);
  std::vector<HWND> todo{filter};
  while (!todo.empty()) {
    HWND h = todo.back();
    todo.pop_back();
    if (!set.insert(h).second) continue;
    if (auto w = FindLocked(h))
      for (HWND c : w->children) todo.push_back(c);
  }
  return set;
}

struct Filter {
  HWND hwnd;
  UINT min;
  UINT max;
  std::unordered_set<HWND> windows;

  bool InRange(UINT message) const {
    if (min == 0 && max == 0) return true;
    return message >= min && message <= max;
  }
  bool Accepts(HWND h, UINT message) const {
    if (!InRange(message)) return false;
    if (!hwnd) return true;
    if (hwnd == reinterpret_cast<HWND>(-1)) return h == nullptr;
    return windows.count(h) != 0;
  }
};

void AnswerSent(const std::shared_ptr<SentMessage>& sent, LRESULT result) {
  std::lock_guard<std::mutex> lock(sent->sender->mutex);
  sent->result = result;
  sent->done = true;
  sent->sender->Wake();
}

// Runs the messages other threads have sent to this one.
void DispatchSent(const std::shared_ptr<ThreadQueue>& q) {
  for (;;) {
    std::shared_ptr<SentMessage> sent;
    {
      std::lock_guard<std::mutex> lock(q->mutex);
      if (q->sent.empty()) return;
      sent = q->sent.front();
      q->sent.pop_front();
    }
    ++q->inSend;
    LRESULT result = CallProc(sent->hwnd, sent->message, sent->wParam, sent->lParam);
    --q->inSend;
    AnswerSent(sent, result);
  }
}

// A visible, invalid window of this thread that the filter accepts.
HWND FindDirty(DWORD tid, const Filter& filter) {
  if (!filter.InRange(WM_PAINT)) return nullptr;
  std::lock_guard<std::mutex> lock(S().mutex);
  for (auto& entry : S().windows) {
    const Window& w = *entry.second;
    if (w.tid != tid || !w.dirty || w.destroying) continue;
    if (!filter.Accepts(w.handle, WM_PAINT)) continue;
    if (w.style & WS_MINIMIZE) continue;
    bool visible = true;
    for (const Window* p = &w; p; ) {
      if (!(p->style & WS_VISIBLE)) { visible = false; break; }
      auto parent = p->parent ? FindLocked(p->parent) : nullptr;
      p = parent.get();
    }
    if (visible) return w.handle;
  }
  return nullptr;
}

void FillMessage(MSG* out, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  out->hwnd = hwnd;
  out->message = message;
  out->wParam = wParam;
  out->lParam = lParam;
  out->time = GetTickCount();
  out->pt = POINT{0, 0};
  GetCursorPos(&out->pt);
}

// The heart of GetMessageW/PeekMessageW. Returns false only when nothing
// matched and wait is false.
bool Fetch(MSG* out, HWND hwnd, UINT min, UINT max, UINT flags, bool wait) {
  auto q = CurrentQueue();
  Filter filter{hwnd, min, max, FilterSet(hwnd)};
  const bool remove = (flags & PM_REMOVE) != 0;
  for (;;) {
    DispatchSent(q);
    std::unique_lock<std::mutex> lock(q->mutex);
    if (!q->sent.empty()) continue;
    const uint64_t generation = q->generation;

    bool ranTask = false;
    for (auto it = q->posted.begin(); it != q->posted.end(); ++it) {
      if (it->task) {
        auto task = std::move(it->task);
        q->posted.erase(it);
        lock.unlock();
        task();
        ranTask = true;
        break;
      }
      if (filter.Accepts(it->msg.hwnd, it->msg.message)) {
        *out = it->msg;
        if (remove) q->posted.erase(it);
        return true;
      }
    }
    if (ranTask) continue;

    if (q->quit) {
      FillMessage(out, nullptr, WM_QUIT, static_cast<WPARAM>(q->quitCode), 0);
      if (remove) q->quit = false;
      return true;
    }
    lock.unlock();

    if (HWND dirty = FindDirty(q->tid, filter)) {
      FillMessage(out, dirty, WM_PAINT, 0, 0);
      return true;
    }

    lock.lock();
    if (q->generation != generation) continue;
    const auto now = Clock::now();
    Timer* due = nullptr;
    Clock::time_point next = Clock::time_point::max();
    for (auto& t : q->timers) {
      if (!filter.Accepts(t.hwnd, WM_TIMER)) continue;
      if (t.due <= now && (!due || t.due < due->due)) due = &t;
      next = std::min(next, t.due);
    }
    if (due) {
      FillMessage(out, due->hwnd, WM_TIMER, due->id, reinterpret_cast<LPARAM>(due->proc));
      // Re-armed from now: a late pump gets one tick, never a backlog.
      if (remove) due->due = now + std::chrono::milliseconds(due->period);
      return true;
    }
    if (!wait) return false;
    auto changed = [&] { return q->generation != generation; };
    if (next == Clock::time_point::max())
      q->cv.wait(lock, changed);
    else
      q->cv.wait_until(lock, next, changed);
  }
}

// False when the queue's thread has ended.
bool Enqueue(const std::shared_ptr<ThreadQueue>& q, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  QueueEntry entry;
  FillMessage(&entry.msg, hwnd, msg, wParam, lParam);
  std::lock_guard<std::mutex> lock(q->mutex);
  if (!q->alive) return false;
  q->posted.push_back(std::move(entry));
  q->Wake();
  return true;
}

bool ValidFilter(HWND hwnd) {
  if (!hwnd || hwnd == reinterpret_cast<HWND>(-1)) return true;
  return Find(hwnd) != nullptr;
}

}  // namespace

std::shared_ptr<ThreadQueue> CurrentQueue() {
  if (!t_queue.queue) {
    auto q = std::make_shared<ThreadQueue>();
    q->tid = GetCurrentThreadId();
    std::lock_guard<std::mutex> lock(S().mutex);
    S().queues[q->tid] = q;
    t_queue.queue = q;
  }
  return t_queue.queue;
}

std::shared_ptr<ThreadQueue> QueueOfThread(DWORD tid) {
  std::lock_guard<std::mutex> lock(S().mutex);
  auto it = S().queues.find(tid);
  return it == S().queues.end() ? nullptr : it->second;
}

void PostEntry(const std::shared_ptr<ThreadQueue>& q, QueueEntry entry) {
  std::lock_guard<std::mutex> lock(q->mutex);
  if (!q->alive) return;
  q->posted.push_back(std::move(entry));
  q->Wake();
}

void WakeQueue(const std::shared_ptr<ThreadQueue>& q) {
  std::lock_guard<std::mutex> lock(q->mutex);
  q->Wake();
}

bool LocalPost(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto w = FindOrFail(hwnd);
  if (!w) return false;
  std::shared_ptr<ThreadQueue> q;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    q = w->queue;
  }
  if (Enqueue(q, hwnd, msg, wParam, lParam)) return true;
  SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return false;
}

bool ServePost(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, DWORD* error) {
  if (LocalPost(hwnd, msg, wParam, lParam)) return true;
  *error = GetLastError();
  return false;
}

void RemoveTimersOf(HWND hwnd) {
  std::vector<std::shared_ptr<ThreadQueue>> queues;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    for (auto& q : S().queues) queues.push_back(q.second);
  }
  for (auto& q : queues) {
    std::lock_guard<std::mutex> lock(q->mutex);
    q->timers.erase(std::remove_if(q->timers.begin(), q->timers.end(),
                                   [&](const Timer& t) { return t.hwnd == hwnd; }),
                    q->timers.end());
  }
}

}  // namespace user
}  // namespace win32

using namespace win32::user;

BOOL WINAPI PostMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (!hwnd) return PostThreadMessageW(GetCurrentThreadId(), msg, wParam, lParam);
  if (hwnd == HWND_BROADCAST) {
    for (const auto& record : win32::station::Snapshot())
      PostMessageW(record.hwnd, msg, wParam, lParam);
    return TRUE;
  }
  if (IsLocalHandle(hwnd)) return LocalPost(hwnd, msg, wParam, lParam) ? TRUE : FALSE;
  DWORD error = 0;
  if (RemotePost(hwnd, msg, wParam, lParam, &error)) return TRUE;
  SetLastError(error);
  return FALSE;
}

BOOL WINAPI SendNotifyMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto w = Find(hwnd);
  if (w && w->tid == GetCurrentThreadId()) {
    CallProc(hwnd, msg, wParam, lParam);
    return TRUE;
  }
  return PostMessageW(hwnd, msg, wParam, lParam);
}

BOOL WINAPI PostThreadMessageW(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto q = QueueOfThread(threadId);
  if (!q) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  if (Enqueue(q, nullptr, msg, wParam, lParam)) return TRUE;
  SetLastError(ERROR_INVALID_THREAD_ID);
  return FALSE;
}

LRESULT WINAPI SendMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto w = Find(hwnd);
  if (!w) {
    SetLastError(IsWindow(hwnd) ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  std::shared_ptr<ThreadQueue> target;
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    target = w->queue;
  }
  auto me = CurrentQueue();
  if (target == me) return CallProc(hwnd, msg, wParam, lParam);

  // Another thread of this process owns the window: hand the call to it and
  // serve calls sent to this thread while waiting, so two threads sending to
  // each other do not deadlock.
  auto sent = std::make_shared<SentMessage>();
  sent->hwnd = hwnd;
  sent->message = msg;
  sent->wParam = wParam;
  sent->lParam = lParam;
  sent->sender = me;
  {
    std::lock_guard<std::mutex> lock(target->mutex);
    if (!target->alive) return 0;
    target->sent.push_back(sent);
    target->Wake();
  }
  std::unique_lock<std::mutex> lock(me->mutex);
  while (!sent->done) {
    if (!me->sent.empty()) {
      lock.unlock();
      DispatchSent(me);
      lock.lock();
      continue;
    }
    const uint64_t generation = me->generation;
    me->cv.wait(lock, [&] { return me->generation != generation; });
  }
  return sent->result;
}

BOOL WINAPI InSendMessage() { return CurrentQueue()->inSend > 0 ? TRUE : FALSE; }

BOOL WINAPI GetMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax) {
  if (!msg || !ValidFilter(hwnd)) {
    SetLastError(msg ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
    return -1;
  }
  Fetch(msg, hwnd, filterMin, filterMax, PM_REMOVE, true);
  return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL WINAPI PeekMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMsg) {
  if (!msg || !ValidFilter(hwnd)) {
    SetLastError(msg ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return Fetch(msg, hwnd, filterMin, filterMax, removeMsg, false) ? TRUE : FALSE;
}

BOOL WINAPI WaitMessage() {
  MSG msg;
  Fetch(&msg, nullptr, 0, 0, PM_NOREMOVE, true);
  return TRUE;
}

DWORD WINAPI GetQueueStatus(UINT flags) {
  auto q = CurrentQueue();
  DWORD status = 0;
  {
    std::lock_guard<std::mutex> lock(q->mutex);
    if (!q->posted.empty() || q->quit) status |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
    if (!q->sent.empty()) status |= QS_SENDMESSAGE;
    auto now = Clock::now();
    for (auto& t : q->timers)
      if (t.due <= now) status |= QS_TIMER;
  }
  if (FindDirty(q->tid, Filter{nullptr, 0, 0, {}})) status |= QS_PAINT;
  status &= flags;
  return status << 16 | status;
}

void WINAPI PostQuitMessage(int exitCode) {
  auto q = CurrentQueue();
  std::lock_guard<std::mutex> lock(q->mutex);
  q->quit = true;
  q->quitCode = exitCode;
  q->Wake();
}

BOOL WINAPI TranslateMessage(const MSG* msg) {
  if (!msg || (msg->message != WM_KEYDOWN && msg->message != WM_SYSKEYDOWN)) return FALSE;
  // No keyboard layout: only keys that type the same character in every
  // layout become WM_CHAR.
  WPARAM vk = msg->wParam;
  wchar_t ch = 0;
  if (vk == VK_BACK || vk == VK_TAB || vk == VK_RETURN || vk == VK_ESCAPE || vk == VK_SPACE)
    ch = static_cast<wchar_t>(vk);
  else if (vk >= '0' && vk <= '9')
    ch = static_cast<wchar_t>(vk);
  else if (vk >= 'A' && vk <= 'Z')
    ch = static_cast<wchar_t>(vk - 'A' + 'a');
  if (ch && msg->message == WM_KEYDOWN) PostMessageW(msg->hwnd, WM_CHAR, ch, msg->lParam);
  return TRUE;
}

LRESULT WINAPI DispatchMessageW(const MSG* msg) {
  if (!msg) return 0;
  if (msg->message == WM_TIMER && msg->lParam) {
    // Only a procedure this thread registered is called: a posted WM_TIMER
    // must not make us jump to an arbitrary address.
    auto q = CurrentQueue();
    TIMERPROC proc = nullptr;
    {
      std::lock_guard<std::mutex> lock(q->mutex);
      for (auto& t : q->timers)
        if (t.hwnd == msg->hwnd && t.id == msg->wParam &&
            reinterpret_cast<LPARAM>(t.proc) == msg->lParam)
          proc = t.proc;
    }
    if (proc) {
      proc(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
      return 0;
    }
  }
  if (!msg->hwnd) return 0;
  if (msg->message != WM_PAINT) return CallProc(msg->hwnd, msg->message, msg->wParam, msg->lParam);

  // A procedure that ignores WM_PAINT would otherwise get it forever.
  uint64_t before = 0;
  if (auto w = Find(msg->hwnd)) {
    std::lock_guard<std::mutex> lock(S().mutex);
    before = w->paintGeneration;
  }
  LRESULT result = CallProc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
  if (auto w = Find(msg->hwnd)) {
    std::lock_guard<std::mutex> lock(S().mutex);
    if (w->paintGeneration == before) w->dirty = false;
  }
  return result;
}

LONG WINAPI GetMessageTime() { return static_cast<LONG>(GetTickCount()); }

DWORD WINAPI GetMessagePos() {
  POINT pt{0, 0};
  GetCursorPos(&pt);
  return static_cast<DWORD>(MAKELONG(pt.x, pt.y));
}

// ---- timers ------------------------------------------------------------------

UINT_PTR WINAPI SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
  std::shared_ptr<ThreadQueue> q;
  if (hwnd) {
    auto w = FindOrFail(hwnd);
    if (!w) return 0;
    std::lock_guard<std::mutex> lock(S().mutex);
    q = w->queue;
  } else {
    q = CurrentQueue();
  }
  if (elapse < USER_TIMER_MINIMUM) elapse = USER_TIMER_MINIMUM;
  if (elapse > USER_TIMER_MAXIMUM) elapse = USER_TIMER_MAXIMUM;
  UINT_PTR freshId = 0;
  if (!hwnd) {
    std::lock_guard<std::mutex> stateLock(S().mutex);
    freshId = S().nextTimerId++;
  }
  std::lock_guard<std::mutex> lock(q->mutex);
  if (!hwnd) {
    bool exists = false;
    for (auto& t : q->timers) exists |= (!t.hwnd && t.id == id && id != 0);
    if (!exists) id = freshId;
  }
  Timer timer{hwnd, id, elapse, proc, Clock::now() + std::chrono::milliseconds(elapse)};
  auto it = std::find_if(q->timers.begin(), q->timers.end(),
                         [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
  if (it != q->timers.end())
    *it = timer;
  else
    q->timers.push_back(timer);
  q->Wake();
  if (hwnd) return id ? id : 1;
  return id;
}

BOOL WINAPI KillTimer(HWND hwnd, UINT_PTR id) {
  std::shared_ptr<ThreadQueue> q;
  if (hwnd) {
    auto w = FindOrFail(hwnd);
    if (!w) return FALSE;
    std::lock_guard<std::mutex> lock(S().mutex);
    q = w->queue;
  } else {
    q = CurrentQueue();
  }
  std::lock_guard<std::mutex> lock(q->mutex);
  auto it = std::find_if(q->timers.begin(), q->timers.end(),
                         [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
  if (it == q->timers.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  q->timers.erase(it);
  q->Wake();
  return TRUE;
}
