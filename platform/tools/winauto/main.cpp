// winauto: drives the windows of the machine named by WIN32_MACHINE as a
// user would. See --help.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "winauto.h"

namespace winauto {

std::vector<Command>& Commands() {
  static std::vector<Command> commands;
  return commands;
}

Registration::Registration(std::vector<Command> commands) {
  for (auto& c : commands) Commands().push_back(std::move(c));
}

bool TakeOption(std::vector<std::string>& args, const std::string& name, std::string* value) {
  for (size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == name) {
      *value = args[i + 1];
      args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
      return true;
    }
  return false;
}

bool TakeFlag(std::vector<std::string>& args, const std::string& name) {
  for (size_t i = 0; i < args.size(); ++i)
    if (args[i] == name) {
      args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
  return false;
}

bool TakeTimeout(std::vector<std::string>& args, double fallback, double* seconds) {
  std::string text;
  *seconds = fallback;
  if (!TakeOption(args, "--timeout", &text)) return true;
  char* end = nullptr;
  double value = strtod(text.c_str(), &end);
  if (text.empty() || *end || value < 0) return false;
  *seconds = value;
  return true;
}

int Fail(int code, const std::string& message) {
  std::cerr << "winauto: " << message << std::endl;
  return code;
}

bool ParseHwnd(const std::string& text, HWND* hwnd) {
  return win32::station::ParseHandle(text, hwnd) && *hwnd;
}

bool ParseNumber(const std::string& text, long long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  *value = strtoll(text.c_str(), &end, 0);
  if (!errno && !*end) return true;
  errno = 0;  // a full 64-bit unsigned value
  unsigned long long u = strtoull(text.c_str(), &end, 0);
  *value = static_cast<long long>(u);
  return !errno && !*end && text[0] != '-';
}

int Report(win32::station::CommandStatus status, const std::string& reply) {
  using win32::station::CommandStatus;
  switch (status) {
    case CommandStatus::kOk:
      if (!reply.empty()) std::cout << reply << (reply.back() == '\n' ? "" : "\n");
      return kOk;
    case CommandStatus::kNotFound: return Fail(kMissing, reply);
    case CommandStatus::kTimeout: return Fail(kTimeout, reply);
    default: return Fail(kError, reply);
  }
}

int Forward(HWND hwnd, const std::string& command, const std::vector<std::string>& args,
            double repeatSeconds) {
  using win32::station::CommandStatus;
  constexpr int kReplyTimeoutMs = 30000;
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long long>(repeatSeconds * 1000));
  for (;;) {
    std::string reply;
    CommandStatus status = win32::station::SendCommand(hwnd, command, args, kReplyTimeoutMs, &reply);
    bool retry = repeatSeconds > 0 && status != CommandStatus::kOk && IsWindow(hwnd);
    if (!retry) return Report(status, reply);
    if (std::chrono::steady_clock::now() >= deadline) {
      std::string what = command;
      for (auto& a : args) what += " " + a;
      return Fail(kTimeout, "timed out after " + std::to_string(repeatSeconds) + " s waiting for \"" +
                                what + "\" to succeed on " + win32::station::FormatHandle(hwnd) +
                                " (last reply: " + reply + ")");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

namespace {

void PrintHelp() {
  std::cout <<
      "usage: winauto COMMAND [ARGS...]\n"
      "Drives the top-level windows of every process of the machine named by\n"
      "WIN32_MACHINE. HWND is a handle as printed by list/wait (0x...).\n"
      "\n"
      "commands:\n";
  for (auto& c : Commands()) std::cout << "  " << c.usage << "\n";
  std::cout <<
      "  HWND-COMMAND HWND [ARGS...]   any other command is forwarded like ctl\n"
      "\n"
      "Window filters (list, wait, wait-gone): --class C, --title T (both compared\n"
      "without case), --prop NAME (window property present), --pid P, --visible\n"
      "(shown and not minimised). Timeouts are in seconds (default 10).\n"
      "\n"
      "Commands sent to a window run on its owning thread, in order with the\n"
      "messages posted to it, inside whatever message loop it is running.\n"
      "\n"
      "exit codes: 0 done; 1 error or bad usage; 2 no such window, control or\n"
      "folder; 3 timed out (the message says what was awaited).\n";
}

}  // namespace
}  // namespace winauto

int main(int argc, char** argv) {
  using namespace winauto;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    PrintHelp();
    return args.empty() ? kError : kOk;
  }
  std::string name = args[0];
  args.erase(args.begin());
  for (auto& c : Commands())
    if (c.name == name) return c.run(args);
  HWND hwnd;
  if (!args.empty() && ParseHwnd(args[0], &hwnd)) {
    args.erase(args.begin());
    return Forward(hwnd, name, args, 0);
  }
  return Fail(kError, "unknown command \"" + name + "\" (see winauto --help)");
}
