// ctl: commands for the controls of a window, answered by the window
// library inside the owning process.
#include "winauto.h"

namespace winauto {
namespace {

int Ctl(std::vector<std::string>& args) {
  double seconds = 0;
  // Options belong to ctl only before the handle; what follows is the command's.
  std::vector<std::string> options;
  while (!args.empty() && args[0].compare(0, 2, "--") == 0) {
    options.push_back(args[0]);
    args.erase(args.begin());
    if (!args.empty()) {
      options.push_back(args[0]);
      args.erase(args.begin());
    }
  }
  HWND hwnd;
  if (!TakeTimeout(options, 0, &seconds) || !options.empty() || args.size() < 2 ||
      !ParseHwnd(args[0], &hwnd))
    return Fail(kError, "usage: winauto ctl [--timeout S] HWND COMMAND [ARGS...]");
  std::string command = args[1];
  std::vector<std::string> rest(args.begin() + 2, args.end());
  return Forward(hwnd, command, rest, seconds);
}

Registration commands({
    {"ctl",
     "ctl [--timeout S] HWND COMMAND [ARGS...]  a command for the window's controls (print,\n"
     "                                 click, check, type ...); with --timeout it is repeated\n"
     "                                 until it succeeds (to wait for a text, say)",
     Ctl},
});

}  // namespace
}  // namespace winauto
