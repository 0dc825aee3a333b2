#include "support/e2e_windows.h"

#include <chrono>
#include <map>
#include <sstream>
#include <thread>

#include "internal/unicode.h"
#include "internal/window_station.h"
#include "support/stub_program.h"

namespace testing_support {

namespace station = win32::station;

namespace {

const int kReplyTimeoutMs = 20000;

// Reads key=value pairs; a value in quotes may hold blanks and escapes.
bool ParseFields(const std::string& line, size_t at, std::map<std::string, std::string>* fields) {
  while (at < line.size()) {
    while (at < line.size() && line[at] == ' ') ++at;
    if (at >= line.size()) break;
    size_t eq = line.find('=', at);
    if (eq == std::string::npos) return false;
    std::string key = line.substr(at, eq - at);
    std::string value;
    at = eq + 1;
    if (at < line.size() && line[at] == '"') {
      for (++at; at < line.size() && line[at] != '"'; ++at) {
        if (line[at] == '\\' && at + 1 < line.size()) {
          char c = line[++at];
          value += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
        } else {
          value += line[at];
        }
      }
      if (at >= line.size()) return false;
      ++at;
    } else {
      size_t end = line.find(' ', at);
      if (end == std::string::npos) end = line.size();
      value = line.substr(at, end - at);
      at = end;
    }
    (*fields)[key] = value;
  }
  return true;
}

WindowState ToState(const station::WindowRecord& r) {
  WindowState s;
  s.hwnd = r.hwnd;
  s.pid = r.pid;
  s.className = win32::WideToUtf8(r.className);
  s.title = win32::WideToUtf8(r.title);
  s.visible = r.visible();
  s.minimized = r.minimized();
  s.enabled = r.enabled();
  s.owner = r.owner;
  s.marked = r.prop(L"KorvaTool") != nullptr;
  return s;
}

}  // namespace

bool ParseControls(const std::string& listing, std::vector<ControlState>* controls) {
  controls->clear();
  std::istringstream lines(listing);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    size_t at = line.find_first_not_of(' ');
    size_t end = line.find(' ', at);
    if (at == std::string::npos || end == std::string::npos) return false;
    std::map<std::string, std::string> fields;
    if (!ParseFields(line, end, &fields)) return false;
    ControlState c;
    c.name = line.substr(at, end - at);
    c.className = fields["class"];
    c.text = fields["text"];
    c.visible = fields["visible"] == "yes";
    c.enabled = fields["enabled"] == "yes";
    c.checked = fields["checked"];
    c.value = fields["value"];
    c.bkimage = fields["bkimage"];
    const std::string& fixed = fields["fixed"];
    size_t x = fixed.find('x');
    if (x == std::string::npos) return false;
    c.fixedWidth = std::stoi(fixed.substr(0, x));
    c.fixedHeight = std::stoi(fixed.substr(x + 1));
    controls->push_back(c);
  }
  return true;
}

std::vector<WindowState> TopLevelWindows(pid_t pid) {
  std::vector<WindowState> out;
  for (const station::WindowRecord& r : station::Snapshot()) {
    if (pid == 0 || r.pid == static_cast<DWORD>(pid)) out.push_back(ToState(r));
  }
  return out;
}

bool GetWindowState(HWND hwnd, WindowState* state) {
  station::WindowRecord record;
  if (!station::Find(hwnd, &record)) return false;
  *state = ToState(record);
  return true;
}

HWND WaitForWindow(const std::string& className, pid_t pid, int timeoutMs, bool visibleOnly) {
  HWND found = nullptr;
  WaitUntil(
      [&] {
        for (const WindowState& w : TopLevelWindows(pid)) {
          if (w.className != className) continue;
          if (visibleOnly && (!w.visible || w.minimized)) continue;
          found = w.hwnd;
          return true;
        }
        return false;
      },
      timeoutMs);
  return found;
}

bool WaitForNoWindow(const std::string& className, pid_t pid, int timeoutMs) {
  return WaitUntil(
      [&] {
        for (const WindowState& w : TopLevelWindows(pid))
          if (w.className == className) return false;
        return true;
      },
      timeoutMs);
}

bool WaitUntilShown(HWND hwnd, int timeoutMs) {
  return WaitUntil(
      [&] {
        WindowState s;
        return GetWindowState(hwnd, &s) && s.visible && !s.minimized;
      },
      timeoutMs);
}

bool WaitUntilEnabled(HWND hwnd, int timeoutMs) {
  return WaitUntil(
      [&] {
        WindowState s;
        return GetWindowState(hwnd, &s) && s.enabled;
      },
      timeoutMs);
}

bool WindowCommand(HWND hwnd, const std::string& command, const std::vector<std::string>& args,
                   std::string* reply) {
  std::string text;
  bool ok = station::SendCommand(hwnd, command, args, kReplyTimeoutMs, &text) == station::CommandStatus::kOk;
  if (reply) *reply = text;
  return ok;
}

bool Controls(HWND hwnd, std::vector<ControlState>* controls) {
  std::string listing;
  return WindowCommand(hwnd, "controls", {}, &listing) && ParseControls(listing, controls);
}

bool FindControlState(HWND hwnd, const std::string& name, ControlState* state) {
  std::vector<ControlState> controls;
  if (!Controls(hwnd, &controls)) return false;
  for (const ControlState& c : controls) {
    if (c.name != name) continue;
    *state = c;
    return true;
  }
  return false;
}

std::string ControlText(HWND hwnd, const std::string& name) {
  std::string text;
  return WindowCommand(hwnd, "text", {name}, &text) ? text : std::string();
}

bool Click(HWND hwnd, const std::string& name, std::string* why) {
  return WindowCommand(hwnd, "click", {name}, why);
}

bool WaitForControlText(HWND hwnd, const std::string& name, const std::string& part, int timeoutMs) {
  return WaitUntil([&] { return WindowCommand(hwnd, "wait-text", {name, part}); }, timeoutMs);
}

bool AnswerFolderBrowser(const std::string& windowsPath, int timeoutMs) {
  HWND browser = nullptr;
  WaitUntil(
      [&] {
        for (const station::WindowRecord& r : station::Snapshot()) {
          if (!r.prop(L"BrowseForFolder")) continue;
          browser = r.hwnd;
          return true;
        }
        return false;
      },
      timeoutMs);
  return browser && WindowCommand(browser, "browse-answer", {windowsPath});
}

}  // namespace testing_support
