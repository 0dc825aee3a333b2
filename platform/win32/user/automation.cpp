// Automation commands sent by the winauto tool: run on the window's owning
// thread from its message loop, in order with its posted messages.
#include "internal/automation.h"

#include "win32/user/user_state.h"

namespace win32 {
namespace {

std::mutex g_handlerMutex;
AutomationHandler& Handler() {
  static auto* handler = new AutomationHandler();
  return *handler;
}

using station::CommandStatus;

CommandStatus RunCommand(HWND hwnd, const std::string& command,
                         const std::vector<std::string>& args, std::string* reply) {
  if (!IsWindow(hwnd)) {
    *reply = "not found: no window " + station::FormatHandle(hwnd);
    return CommandStatus::kNotFound;
  }
  static const struct {
    const char* name;
    int show;
  } kShowCommands[] = {
      {"show", SW_SHOW}, {"hide", SW_HIDE}, {"minimize", SW_MINIMIZE}, {"restore", SW_RESTORE}};
  for (const auto& c : kShowCommands)
    if (command == c.name) {
      ShowWindow(hwnd, c.show);
      return CommandStatus::kOk;
    }
  bool known = false;
  bool ok = user::BrowserCommand(hwnd, command, args, reply, &known);
  if (!known) {
    AutomationHandler handler;
    {
      std::lock_guard<std::mutex> lock(g_handlerMutex);
      handler = Handler();
    }
    ok = handler && handler(hwnd, command, args, reply);
    if (!ok && reply->empty()) *reply = "unknown command: " + command;
  }
  if (ok) return CommandStatus::kOk;
  return reply->compare(0, 10, "not found:") == 0 ? CommandStatus::kNotFound : CommandStatus::kFailed;
}

}  // namespace

void SetAutomationHandler(AutomationHandler handler) {
  std::lock_guard<std::mutex> lock(g_handlerMutex);
  Handler() = std::move(handler);
}

bool PostAutomationTask(HWND hwnd, std::function<void()> task) {
  auto w = user::Find(hwnd);
  if (!w || !task) return false;
  std::shared_ptr<user::ThreadQueue> queue;
  {
    std::lock_guard<std::mutex> lock(user::S().mutex);
    queue = w->queue;
  }
  user::QueueEntry entry;
  entry.task = std::move(task);
  user::PostEntry(queue, std::move(entry));
  return true;
}

namespace user {

void ServeCommand(HWND hwnd, const std::string& command, const std::vector<std::string>& args,
                  CommandReply reply) {
  auto task = [hwnd, command, args, reply] {
    std::string text;
    CommandStatus status = RunCommand(hwnd, command, args, &text);
    reply(status, text);
  };
  if (!PostAutomationTask(hwnd, task))
    reply(CommandStatus::kNotFound, "not found: no window " + station::FormatHandle(hwnd));
}

}  // namespace user
}  // namespace win32
