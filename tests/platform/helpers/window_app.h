// A small windowed program for tests that need a second process: the test
// binary starts itself again with WINDOW_TEST_APP set, and a static
// initializer runs the program instead of the tests.
//
// The program creates a window of class "TestAppWnd" titled "Test App" with
// the property "KorvaTool" = 1, shown, hidden or minimised as
// WINDOW_TEST_APP says ("shown", "hidden", "minimized"), and appends one line
// per event to the file WINDOW_TEST_APP_LOG:
//   ready 0x<hwnd>       the window exists
//   activate             WM_USER+4: it shows itself
//   value N              WM_USER+10 with wParam N
//   browse PATH|NAME     WM_USER+20 ran the folder browser; "browse cancelled"
//   ended                its message loop has ended (WM_USER+3 quits)
// Its automation handler answers "echo ARGS" (the arguments), "last" (the
// last value), "thread" ("owner" when run by the window's thread) and
// "missing" (a not-found failure).
#pragma once
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <windows.h>
#include <shlobj.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "internal/automation.h"
#include "internal/window_station.h"
#include "support/e2e_process.h"
#include "window_class.h"

namespace window_app {

constexpr UINT kMsgQuit = WM_USER + 3;
constexpr UINT kMsgActivate = WM_USER + 4;
constexpr UINT kMsgValue = WM_USER + 10;
constexpr UINT kMsgBrowse = WM_USER + 20;

inline std::string& LogPath() {
  static std::string path;
  return path;
}

inline void Log(const std::string& line) {
  FILE* f = fopen(LogPath().c_str(), "a");
  if (!f) return;
  fprintf(f, "%s\n", line.c_str());
  fclose(f);
}

inline WPARAM& LastValue() {
  static WPARAM value = 0;
  return value;
}

inline LRESULT CALLBACK AppProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case kMsgActivate:
      Log("activate");
      ShowWindow(hwnd, SW_SHOWNORMAL);
      return 0;
    case kMsgQuit:
      PostQuitMessage(0);
      return 0;
    case kMsgValue:
      LastValue() = wParam;
      Log("value " + std::to_string(wParam));
      return 0;
    case kMsgBrowse: {
      WCHAR name[MAX_PATH] = {0};
      BROWSEINFOW bi{};
      bi.hwndOwner = hwnd;
      bi.pszDisplayName = name;
      bi.lpszTitle = L"";
      bi.ulFlags = BIF_NEWDIALOGSTYLE;
      PIDLIST_ABSOLUTE pidl = SHBrowseForFolderW(&bi);
      WCHAR path[MAX_PATH] = {0};
      if (pidl && SHGetPathFromIDListW(pidl, path)) {
        std::wstring text = std::wstring(path) + L"|" + name;
        std::string narrow(text.begin(), text.end());  // test paths are ASCII
        Log("browse " + narrow);
      } else {
        Log("browse cancelled");
      }
      ILFree(pidl);
      return 0;
    }
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

inline int RunApp(const std::string& state) {
  window_test::RegisterWindowClass(L"TestAppWnd", AppProc);
  HWND hwnd = CreateWindowExW(0, L"TestAppWnd", L"Test App", WS_POPUP, 100, 100, 400, 300, nullptr,
                              nullptr, nullptr, nullptr);
  if (!hwnd) return 1;
  const DWORD owner = GetCurrentThreadId();
  win32::SetAutomationHandler([owner](HWND, const std::string& command,
                                      const std::vector<std::string>& args, std::string* reply) {
    if (command == "echo") {
      for (size_t i = 0; i < args.size(); ++i) *reply += (i ? " " : "") + args[i];
      return true;
    }
    if (command == "last") {
      *reply = std::to_string(LastValue());
      return true;
    }
    if (command == "thread") {
      *reply = GetCurrentThreadId() == owner ? "owner" : "other";
      return true;
    }
    if (command == "missing") {
      *reply = "not found: no control Missing";
      return false;
    }
    return false;
  });
  SetPropW(hwnd, L"KorvaTool", reinterpret_cast<HANDLE>(1));
  if (state == "shown") ShowWindow(hwnd, SW_SHOW);
  if (state == "minimized") ShowWindow(hwnd, SW_SHOWMINIMIZED);
  Log("ready " + win32::station::FormatHandle(hwnd));
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  Log("ended");
  return 0;
}

// Runs the program when this process was started as one.
struct Launcher {
  Launcher() {
    const char* state = getenv("WINDOW_TEST_APP");
    if (!state) return;
    const char* log = getenv("WINDOW_TEST_APP_LOG");
    LogPath() = log ? log : "/dev/null";
    exit(RunApp(state));
  }
};
inline Launcher launcher;

// ---- the test side ---------------------------------------------------------

inline std::string ReadLog(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Waits until the log holds a line starting with prefix; returns that line.
inline std::string AwaitLine(const std::string& path, const std::string& prefix,
                             std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    std::istringstream lines(ReadLog(path));
    std::string line;
    while (std::getline(lines, line))
      if (line.compare(0, prefix.size(), prefix) == 0) return line;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < deadline);
  return "";
}

// The app in another process, ended (killed if need be) with the object.
class App {
 public:
  App(const std::string& state, const std::string& log) : log_(log) {
    pid_ = testing_support::SpawnWithEnvironment({"/proc/self/exe"},
                                                 {"WINDOW_TEST_APP=" + state, "WINDOW_TEST_APP_LOG=" + log});
    std::string ready = AwaitLine(log, "ready ");
    if (ready.size() > 6) win32::station::ParseHandle(ready.substr(6), &hwnd_);
  }
  ~App() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      Wait();
    }
  }
  HWND hwnd() const { return hwnd_; }
  pid_t pid() const { return pid_; }
  const std::string& log() const { return log_; }
  // Exit status, or -1 after a signal.
  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  std::string log_;
  pid_t pid_ = -1;
  HWND hwnd_ = nullptr;
  bool reaped_ = false;
};

}  // namespace window_app
