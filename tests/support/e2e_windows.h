// Drives the machine's windows from a test as the automation tool does:
// finds top-level windows, reads their controls, clicks and answers the
// folder browser. Every wait has a time limit.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

#include <windows.h>

namespace testing_support {

// One line of a window's control listing.
struct ControlState {
  std::string name;  // "-" for an unnamed control
  std::string className;
  std::string text;
  bool visible = false;
  bool enabled = false;
  std::string checked;  // "yes", "no", or "-" when not a check box
  std::string value;    // "N/min-max" for a progress bar, else "-"
  std::string bkimage;
  int fixedWidth = 0;
  int fixedHeight = 0;
};

// Parses the "controls" reply; false on a malformed line.
bool ParseControls(const std::string& listing, std::vector<ControlState>* controls);

// What a test sees of one top-level window.
struct WindowState {
  HWND hwnd = nullptr;
  DWORD pid = 0;
  std::string className;
  std::string title;
  bool visible = false;
  bool minimized = false;
  bool enabled = false;
  HWND owner = nullptr;
  bool marked = false;  // carries the installer's window property
};

std::vector<WindowState> TopLevelWindows(pid_t pid = 0);
bool GetWindowState(HWND hwnd, WindowState* state);

// The first window of the class (of the process, when pid is not 0), or
// null when none appeared within the time.
HWND WaitForWindow(const std::string& className, pid_t pid, int timeoutMs, bool visibleOnly = false);
// True once no window of the class (of the process) is left.
bool WaitForNoWindow(const std::string& className, pid_t pid, int timeoutMs);
// True once the window shows (visible and not minimised) / is enabled.
bool WaitUntilShown(HWND hwnd, int timeoutMs);
bool WaitUntilEnabled(HWND hwnd, int timeoutMs);

// Automation commands, run by the window's own thread. The reply (or the
// reason of a failure) goes to *reply.
bool WindowCommand(HWND hwnd, const std::string& command, const std::vector<std::string>& args,
                   std::string* reply = nullptr);
bool Controls(HWND hwnd, std::vector<ControlState>* controls);
// The named control's state; false when the window has no such control.
bool FindControlState(HWND hwnd, const std::string& name, ControlState* state);
std::string ControlText(HWND hwnd, const std::string& name);
// Clicks as a user would: refused (false) when the control is hidden or
// disabled.
bool Click(HWND hwnd, const std::string& name, std::string* why = nullptr);
// Waits until the control's text contains the part.
bool WaitForControlText(HWND hwnd, const std::string& name, const std::string& part, int timeoutMs);
// Answers the folder browser with a Windows path once it is open.
bool AnswerFolderBrowser(const std::string& windowsPath, int timeoutMs);

}  // namespace testing_support
