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
     "ctl [--timeout S] HWND COMMAND [ARGS...]\n"
     "                               a command answered by the window library of the\n"
     "                               owning process: controls, click NAME, check NAME on|off,\n"
     "                               type NAME TEXT, text NAME, wait-text NAME TEXT. With\n"
     "                               --timeout it is repeated until it succeeds, e.g.\n"
     "                               ctl --timeout 30 HWND wait-text LabelInstallText 100",
     Ctl},
});

}  // namespace
}  // namespace winauto
