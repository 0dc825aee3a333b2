// The window station of the machine: top-level windows of every process,
// as the other processes and the automation tool see them.
// Platform-internal.
//
// Each process that has top-level windows keeps one record file
// <machine>/windows/<pid>.json (rewritten whenever one of them changes) and
// serves requests (posted messages, z-order changes, automation commands) on
// an abstract unix socket named after the machine directory and its pid.
// Records of processes that have ended are pruned by whoever walks them.
#pragma once
#include <string>
#include <utility>
#include <vector>
#include <windows.h>

namespace win32 {
namespace station {

struct WindowRecord {
  HWND hwnd = nullptr;
  DWORD pid = 0;
  DWORD tid = 0;
  std::wstring className;
  std::wstring title;
  DWORD style = 0;
  DWORD exStyle = 0;
  RECT rect{};
  HWND owner = nullptr;
  int64_t z = 0;
  std::vector<std::pair<std::wstring, ULONG_PTR>> props;

  bool visible() const { return (style & WS_VISIBLE) != 0; }
  bool minimized() const { return (style & WS_MINIMIZE) != 0; }
  bool maximized() const { return (style & WS_MAXIMIZE) != 0; }
  bool topmost() const { return (exStyle & WS_EX_TOPMOST) != 0; }
  bool enabled() const { return (style & WS_DISABLED) == 0; }
  const ULONG_PTR* prop(const std::wstring& name) const;
};

// Top-level windows of every live process of the machine (this one
// included), top of the z-order first: topmost windows, then the others.
std::vector<WindowRecord> Snapshot();

// The record of one top-level window; false when there is none.
bool Find(HWND hwnd, WindowRecord* record);

enum class CommandStatus { kOk = 0, kFailed = 1, kNotFound = 2, kTimeout = 3 };

// Sends an automation command to the process owning hwnd and waits up to
// timeoutMs for the reply (see internal/automation.h).
CommandStatus SendCommand(HWND hwnd, const std::string& command,
                          const std::vector<std::string>& args, int timeoutMs, std::string* reply);

// Handle text as the tool prints and reads it ("0x...").
std::string FormatHandle(HWND hwnd);
bool ParseHandle(const std::string& text, HWND* hwnd);

}  // namespace station
}  // namespace win32
