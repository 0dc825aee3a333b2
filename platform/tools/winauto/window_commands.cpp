// Window commands: list, wait, wait-gone, show/hide/minimize/restore, post
// and the folder browser's answers.
#include <chrono>
#include <iostream>
#include <sstream>
#include <thread>

#include "internal/machine.h"
#include "internal/unicode.h"
#include "winauto.h"

namespace winauto {
namespace {

using win32::station::WindowRecord;

struct Filter {
  std::string className, title, prop;
  long long pid = 0;
  bool visibleOnly = false;

  bool Matches(const WindowRecord& r) const {
    if (!className.empty() && !win32::EqualsNoCase(r.className, win32::Utf8ToWide(className))) return false;
    if (!title.empty() && !win32::EqualsNoCase(r.title, win32::Utf8ToWide(title))) return false;
    if (!prop.empty() && !r.prop(win32::Utf8ToWide(prop))) return false;
    if (pid && r.pid != static_cast<DWORD>(pid)) return false;
    if (visibleOnly && (!r.visible() || r.minimized())) return false;
    return true;
  }

  std::string Describe() const {
    std::string text = "a window";
    if (!className.empty()) text += " of class \"" + className + "\"";
    if (!title.empty()) text += " titled \"" + title + "\"";
    if (!prop.empty()) text += " with property " + prop;
    if (pid) text += " of process " + std::to_string(pid);
    if (visibleOnly) text += " (visible)";
    return text;
  }
};

// Takes the filter options; false on a malformed one.
bool TakeFilter(std::vector<std::string>& args, Filter* filter) {
  TakeOption(args, "--class", &filter->className);
  TakeOption(args, "--title", &filter->title);
  TakeOption(args, "--prop", &filter->prop);
  std::string pid;
  if (TakeOption(args, "--pid", &pid) && !ParseNumber(pid, &filter->pid)) return false;
  filter->visibleOnly = TakeFlag(args, "--visible");
  return true;
}

std::string Quote(const std::wstring& text) {
  std::string out = "\"";
  for (char c : win32::WideToUtf8(text)) {
    if (c == '\n') {
      out += "\\n";  // one window per line, whatever its title
      continue;
    }
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string Describe(const WindowRecord& r) {
  std::ostringstream line;
  line << win32::station::FormatHandle(r.hwnd) << " pid=" << r.pid << " class=" << Quote(r.className)
       << " title=" << Quote(r.title) << " visible=" << r.visible() << " minimized=" << r.minimized()
       << " maximized=" << r.maximized() << " topmost=" << r.topmost() << " enabled=" << r.enabled()
       << " rect=" << r.rect.left << "," << r.rect.top << "," << r.rect.right << "," << r.rect.bottom
       << " owner=" << win32::station::FormatHandle(r.owner) << " props=";
  for (size_t i = 0; i < r.props.size(); ++i)
    line << (i ? "," : "") << win32::WideToUtf8(r.props[i].first) << "=" << r.props[i].second;
  return line.str();
}

int List(std::vector<std::string>& args) {
  Filter filter;
  if (!TakeFilter(args, &filter) || !args.empty()) return Fail(kError, "usage: winauto list [filters]");
  for (const auto& r : win32::station::Snapshot())
    if (filter.Matches(r)) std::cout << Describe(r) << "\n";
  return kOk;
}

// Polls the station until present() says so, or the time is up.
int Await(std::vector<std::string>& args, bool gone) {
  Filter filter;
  double seconds;
  if (!TakeFilter(args, &filter) || !TakeTimeout(args, 10, &seconds) || !args.empty())
    return Fail(kError, std::string("usage: winauto ") + (gone ? "wait-gone" : "wait") +
                            " [filters] [--timeout S]");
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
  for (;;) {
    HWND found = nullptr;
    for (const auto& r : win32::station::Snapshot())
      if (filter.Matches(r)) {
        found = r.hwnd;
        break;
      }
    if (!gone && found) {
      std::cout << win32::station::FormatHandle(found) << "\n";
      return kOk;
    }
    if (gone && !found) return kOk;
    if (std::chrono::steady_clock::now() >= deadline) {
      std::ostringstream text;
      text << "timed out after " << seconds << " s waiting for " << filter.Describe()
           << (gone ? " to go away" : " to appear");
      return Fail(kTimeout, text.str());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// show / hide / minimize / restore: run by the window's own thread.
Command ShowCommand(const std::string& name, const std::string& what) {
  std::string usage = name + " HWND";
  usage.resize(31, ' ');
  return Command{name, usage + what, [name](std::vector<std::string>& args) {
                   HWND hwnd;
                   if (args.size() != 1 || !ParseHwnd(args[0], &hwnd))
                     return Fail(kError, "usage: winauto " + name + " HWND");
                   return Forward(hwnd, name, {}, 0);
                 }};
}

bool ParseMessage(const std::string& text, UINT* msg) {
  static const struct {
    const char* name;
    UINT value;
  } kNames[] = {{"WM_USER", WM_USER}, {"WM_APP", WM_APP},       {"WM_CLOSE", WM_CLOSE},
                {"WM_QUIT", WM_QUIT}, {"WM_NULL", WM_NULL},     {"WM_TIMER", WM_TIMER},
                {"WM_COMMAND", WM_COMMAND}, {"WM_SYSCOMMAND", WM_SYSCOMMAND}};
  std::string base = text, offset;
  size_t plus = text.find('+');
  if (plus != std::string::npos) {
    base = text.substr(0, plus);
    offset = text.substr(plus + 1);
  }
  long long value = 0, add = 0;
  bool named = false;
  for (auto& n : kNames)
    if (base == n.name) {
      value = n.value;
      named = true;
    }
  if (!named && (!offset.empty() || !ParseNumber(base, &value))) return false;
  if (!offset.empty() && !ParseNumber(offset, &add)) return false;
  if (value + add < 0 || value + add > 0xFFFFFFFFll) return false;
  *msg = static_cast<UINT>(value + add);
  return true;
}

int Post(std::vector<std::string>& args) {
  HWND hwnd;
  UINT msg;
  long long wParam = 0, lParam = 0;
  if (args.size() != 4 || !ParseHwnd(args[0], &hwnd) || !ParseMessage(args[1], &msg) ||
      !ParseNumber(args[2], &wParam) || !ParseNumber(args[3], &lParam))
    return Fail(kError, "usage: winauto post HWND MSG WPARAM LPARAM");
  if (!IsWindow(hwnd)) return Fail(kMissing, "no window " + args[0]);
  if (!PostMessageW(hwnd, msg, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam))) {
    DWORD error = GetLastError();
    if (error == ERROR_INVALID_WINDOW_HANDLE) return Fail(kMissing, "no window " + args[0]);
    if (error == ERROR_TIMEOUT) return Fail(kTimeout, "the process owning " + args[0] + " did not answer");
    return Fail(kError, "posting to " + args[0] + " failed (error " + std::to_string(error) + ")");
  }
  return kOk;
}

// The folder browser appears some time after the click that opens it.
int Browse(std::vector<std::string>& args, bool answer) {
  double seconds;
  if (!TakeTimeout(args, 10, &seconds) || args.size() != (answer ? 1u : 0u))
    return Fail(kError, answer ? "usage: winauto browse-answer PATH [--timeout S]"
                               : "usage: winauto browse-cancel [--timeout S]");
  std::vector<std::string> wait{"--prop", "BrowseForFolder", "--timeout", std::to_string(seconds)};
  std::ostringstream ignored;
  auto* saved = std::cout.rdbuf(ignored.rdbuf());
  int waited = Await(wait, false);
  std::cout.rdbuf(saved);
  if (waited != kOk) return waited;
  HWND hwnd;
  std::string handle = ignored.str();
  while (!handle.empty() && handle.back() == '\n') handle.pop_back();
  ParseHwnd(handle, &hwnd);
  return Forward(hwnd, answer ? "browse-answer" : "browse-cancel", args, 0);
}

Registration commands({
    {"list", "list [filters]                 top-level windows, top of the z-order first",
     List},
    {"wait", "wait [filters] [--timeout S]   prints the first matching window",
     [](std::vector<std::string>& args) { return Await(args, false); }},
    {"wait-gone", "wait-gone [filters] [--timeout S]  until no window matches",
     [](std::vector<std::string>& args) { return Await(args, true); }},
    ShowCommand("show", "shows the window as the program would (SW_SHOW)"),
    ShowCommand("hide", "hides it (SW_HIDE)"),
    ShowCommand("minimize", "minimises it (SW_MINIMIZE)"),
    ShowCommand("restore", "restores it (SW_RESTORE)"),
    {"post", "post HWND MSG WPARAM LPARAM    MSG: number, WM_USER+N, WM_APP+N, WM_CLOSE...",
     Post},
    {"browse-answer", "browse-answer PATH [--timeout S]  chooses PATH in the folder browser",
     [](std::vector<std::string>& args) { return Browse(args, true); }},
    {"browse-cancel", "browse-cancel [--timeout S]    cancels the folder browser",
     [](std::vector<std::string>& args) { return Browse(args, false); }},
});

}  // namespace
}  // namespace winauto
