// Automation of the windows of this process by the winauto tool.
// Platform-internal.
//
// winauto sends a command addressed to a window (HWND, command, arguments)
// to the process that owns the window. The command runs ON THE WINDOW'S
// OWNING THREAD, from inside whatever message loop that thread is pumping
// (GetMessageW/PeekMessageW, nested loops included), in order with the
// messages posted to that thread before it. Built-in window commands
// (show, hide, minimize, restore, browse-answer, browse-cancel) are handled
// here; any other command goes to the registered handler.
//
// Handler contract:
// - returns true when the command succeeded; *reply is printed by winauto on
//   standard output and it exits with 0;
// - returns false when it failed or does not know the command; *reply (if
//   not empty) is printed on standard error. winauto exits with 2 when the
//   reply begins with "not found:" (a control or item that does not exist),
//   otherwise with 1; an empty reply reads "unknown command: <command>".
// - must not block: a command that waits (for a text to appear, say) is
//   repeated by the tool (winauto ctl --timeout S ...) until it succeeds.
// - may run nested message loops, but the reply is only sent when it returns:
//   an action that opens a modal window (a click on a button that shows a
//   dialog) should reply at once and do the action through
//   PostAutomationTask, so that the tool can go on driving the dialog.
#pragma once
#include <functional>
#include <string>
#include <vector>
#include <win32/wintypes.h>

namespace win32 {

using AutomationHandler = std::function<bool(HWND hwnd, const std::string& command,
                                             const std::vector<std::string>& args,
                                             std::string* reply)>;

// Replaces the process's handler (an empty function removes it).
void SetAutomationHandler(AutomationHandler handler);

// Runs task on the owning thread of hwnd, from its message loop, after the
// messages already posted to that thread. False when hwnd is not a window of
// this process.
bool PostAutomationTask(HWND hwnd, std::function<void()> task);

}  // namespace win32
