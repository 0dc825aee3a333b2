// Shared state of the window module: windows, classes, thread queues.
// Window fields are guarded by State::mutex, queue fields by the queue's own
// mutex; when both are taken, State::mutex comes first. No window procedure
// is ever called with either held.
#pragma once
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "internal/window_station.h"

namespace win32 {
namespace user {

using Clock = std::chrono::steady_clock;

struct WindowClass {
  std::wstring name;
  ATOM atom = 0;
  WNDCLASSEXW wc{};  // as registered; lpszClassName and lpszMenuName are not kept
  bool system = false;
};

struct ThreadQueue;

struct Window {
  HWND handle = nullptr;
  DWORD tid = 0;
  std::shared_ptr<ThreadQueue> queue;
  std::shared_ptr<WindowClass> cls;
  WNDPROC proc = nullptr;
  std::wstring title;
  DWORD style = 0;
  DWORD exStyle = 0;
  HWND parent = nullptr;
  HWND owner = nullptr;
  bool messageOnly = false;
  HINSTANCE instance = nullptr;
  LONG_PTR id = 0;
  LONG_PTR userData = 0;
  RECT rect{};        // screen coordinates; a child's are relative to its parent's client area
  RECT normalRect{};  // where a maximised window goes back to
  bool restoreMaximized = false;  // a minimised window that was maximised
  std::vector<std::pair<std::wstring, HANDLE>> props;
  std::vector<HWND> children;  // top of the z-order first
  int64_t z = 0;               // z stamp of a top-level window (higher is nearer the top)
  HICON iconBig = nullptr;
  HICON iconSmall = nullptr;
  bool dirty = false;           // needs WM_PAINT
  uint64_t paintGeneration = 0; // bumped by every invalidation
  bool destroying = false;

  bool topLevel() const { return !(style & WS_CHILD) && !messageOnly; }
};

struct SentMessage {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  LRESULT result = 0;
  bool done = false;
  std::shared_ptr<ThreadQueue> sender;
};

struct QueueEntry {
  MSG msg{};
  std::function<void()> task;  // when set, runs inside the pumping call and is not returned
};

struct Timer {
  HWND hwnd = nullptr;
  UINT_PTR id = 0;
  UINT period = 0;
  TIMERPROC proc = nullptr;
  Clock::time_point due;
};

struct ThreadQueue {
  DWORD tid = 0;
  std::mutex mutex;
  std::condition_variable cv;
  uint64_t generation = 0;  // bumped on every change a waiting pump must see
  bool alive = true;
  std::deque<QueueEntry> posted;
  std::deque<std::shared_ptr<SentMessage>> sent;
  bool quit = false;
  int quitCode = 0;
  std::vector<Timer> timers;
  // Touched by the owning thread only.
  HWND focus = nullptr;
  HWND active = nullptr;
  HWND capture = nullptr;
  int inSend = 0;

  // Caller holds mutex.
  void Wake() {
    ++generation;
    cv.notify_all();
  }
};

struct State {
  std::mutex mutex;
  std::unordered_map<HWND, std::shared_ptr<Window>> windows;
  std::vector<std::shared_ptr<WindowClass>> classes;
  std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> queues;
  uint32_t nextHandle = 1;
  ATOM nextAtom = 0xC000;
  UINT_PTR nextTimerId = 1;
};

State& S();

// The calling thread's queue, created on first use; it ends with the thread.
std::shared_ptr<ThreadQueue> CurrentQueue();
std::shared_ptr<ThreadQueue> QueueOfThread(DWORD tid);

// Handles carry the owning process id: pid << kPidShift | counter.
constexpr int kPidShift = 20;
DWORD PidOfHandle(HWND hwnd);
bool IsLocalHandle(HWND hwnd);
HWND NewHandleLocked();  // State::mutex held
HWND DesktopHandle();

// A window of this process (nullptr when unknown or gone). Locked variant
// expects State::mutex held.
std::shared_ptr<Window> FindLocked(HWND hwnd);
std::shared_ptr<Window> Find(HWND hwnd);
// Same, setting ERROR_INVALID_WINDOW_HANDLE when missing.
std::shared_ptr<Window> FindOrFail(HWND hwnd);

// Calls the window's procedure; 0 when the window is gone.
LRESULT CallProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Z stamps: strictly increasing per process, comparable across processes.
int64_t NewTopZ();
int64_t NewBottomZ();

// Top-level windows of this process as station records (State::mutex held).
std::vector<station::WindowRecord> LocalRecordsLocked();
// Rewrites this process's station record.
void Publish();

// Queue operations used across files.
void PostEntry(const std::shared_ptr<ThreadQueue>& q, QueueEntry entry);
void WakeQueue(const std::shared_ptr<ThreadQueue>& q);
void RemoveTimersOf(HWND hwnd);
bool LocalPost(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Z-order change of a local top-level window without messages (also used for
// requests of other processes). insertAfter: HWND_TOP/BOTTOM/TOPMOST/NOTOPMOST
// or a window.
bool ApplyZOrder(HWND hwnd, HWND insertAfter);

// Records hwnd as the machine's foreground window.
void StoreForeground(HWND hwnd);

// Requests served for other processes (called on the station's thread).
bool ServePost(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, DWORD* error);
using CommandReply = std::function<void(station::CommandStatus, const std::string&)>;
void ServeCommand(HWND hwnd, const std::string& command, const std::vector<std::string>& args,
                  CommandReply reply);

// Station transport (window_station.cpp).
bool RemotePost(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, DWORD* error);
bool RemoteZOrder(HWND hwnd, HWND insertAfter);
std::string StationDir();

// Screen size of the machine.
void ScreenSize(int* width, int* height);

// Built-in automation commands of the folder browser (shell_browse.cpp).
bool BrowserCommand(HWND hwnd, const std::string& command, const std::vector<std::string>& args,
                    std::string* reply, bool* known);

}  // namespace user
}  // namespace win32
