#include "duilib/automation_commands.h"

#include <mutex>

#include <duilib/UIlib.h>

#include "internal/automation.h"
#include "internal/unicode.h"

namespace DuiLib {

namespace {

std::string Quote(const CDuiString& text) {
  std::string out = "\"";
  for (char c : win32::WideToUtf8(text.GetData())) {
    if (c == '"' || c == '\\') out += '\\', out += c;
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else out += c;
  }
  return out + "\"";
}

CControlUI* CALLBACK Collect(CControlUI* control, LPVOID data) {
  static_cast<std::vector<CControlUI*>*>(data)->push_back(control);
  return nullptr;
}

int Depth(CControlUI* control) {
  int depth = 0;
  for (CControlUI* p = control->GetParent(); p; p = p->GetParent()) ++depth;
  return depth;
}

std::string Describe(CControlUI* c) {
  std::string line(static_cast<size_t>(Depth(c)) * 2, ' ');
  CDuiString name = c->GetName();
  line += name.IsEmpty() ? "-" : win32::WideToUtf8(name.GetData());
  line += " class=" + win32::WideToUtf8(c->GetClass());
  line += " text=" + Quote(c->GetText());
  line += std::string(" visible=") + (c->IsVisible() ? "yes" : "no");
  bool enabled = true;
  for (CControlUI* p = c; p; p = p->GetParent()) enabled = enabled && p->IsEnabled();
  line += std::string(" enabled=") + (enabled ? "yes" : "no");
  auto* option = static_cast<COptionUI*>(c->GetInterface(L"Option"));
  line += std::string(" checked=") + (option ? (option->IsSelected() ? "yes" : "no") : "-");
  auto* progress = static_cast<CProgressUI*>(c->GetInterface(L"Progress"));
  line += " value=" + (progress ? std::to_string(progress->GetValue()) + "/" + std::to_string(progress->GetMinValue()) +
                                      "-" + std::to_string(progress->GetMaxValue())
                                : std::string("-"));
  line += " bkimage=" + Quote(c->GetBkImage());
  line += " fixed=" + std::to_string(c->GetFixedWidth()) + "x" + std::to_string(c->GetFixedHeight());
  const RECT& rc = c->GetPos();
  line += " pos=" + std::to_string(rc.left) + "," + std::to_string(rc.top) + "," + std::to_string(rc.right) + "," +
          std::to_string(rc.bottom);
  return line;
}

// Looks the control up again when a posted action runs: the window may have
// changed (or gone) since the command was accepted.
void PostControlAction(HWND hwnd, const std::wstring& name, std::function<void(CControlUI*)> action) {
  win32::PostAutomationTask(hwnd, [hwnd, name, action]() {
    CPaintManagerUI* manager = CPaintManagerUI::FromWindow(hwnd);
    CControlUI* control = manager ? manager->FindControl(name.c_str()) : nullptr;
    if (control && WhyUnreachable(control).empty()) action(control);
  });
}

bool Fail(std::string* reply, const std::string& text) {
  *reply = text;
  return false;
}

bool HandleCommand(HWND hwnd, const std::string& command, const std::vector<std::string>& args,
                   std::string* reply) {
  static const char* const kCommands[] = {"controls", "click", "check", "type", "text", "wait-text"};
  bool known = false;
  for (const char* k : kCommands) known = known || command == k;
  if (!known) return false;

  CPaintManagerUI* manager = CPaintManagerUI::FromWindow(hwnd);
  if (!manager || !manager->GetRoot()) return Fail(reply, "not found: the window has no controls");
  if (command == "controls") {
    manager->UpdateLayout();
    *reply = DescribeControls(manager->GetRoot());
    return true;
  }

  const size_t wanted = command == "click" || command == "text" ? 1 : 2;
  if (args.size() != wanted) {
    return Fail(reply, "usage: " + command + (wanted == 1 ? " NAME" : command == "check" ? " NAME on|off" : " NAME TEXT"));
  }
  std::wstring name = win32::Utf8ToWide(args[0]);
  CControlUI* control = manager->FindControl(name.c_str());
  if (!control) return Fail(reply, "not found: control " + args[0]);

  if (command == "text") {
    *reply = win32::WideToUtf8(control->GetText().GetData());
    return true;
  }
  if (command == "wait-text") {
    std::wstring text = control->GetText().GetData();
    if (text.find(win32::Utf8ToWide(args[1])) != std::wstring::npos) {
      *reply = win32::WideToUtf8(text);
      return true;
    }
    return Fail(reply, "waiting: " + args[0] + " reads " + Quote(text.c_str()));
  }

  std::wstring why = WhyUnreachable(control);
  if (!why.empty()) return Fail(reply, "refused: " + args[0] + " " + win32::WideToUtf8(why));

  if (command == "click") {
    PostControlAction(hwnd, name, [](CControlUI* c) { c->Activate(); });
    *reply = "clicked " + args[0];
    return true;
  }
  if (command == "check") {
    auto* option = static_cast<COptionUI*>(control->GetInterface(L"Option"));
    if (!option) return Fail(reply, "refused: " + args[0] + " is a " + win32::WideToUtf8(control->GetClass()) + ", not a check box");
    if (args[1] != "on" && args[1] != "off") return Fail(reply, "usage: check NAME on|off");
    bool on = args[1] == "on";
    // A user can only click: clicking toggles, so click when the state differs.
    if (option->IsSelected() != on) {
      PostControlAction(hwnd, name, [on](CControlUI* c) {
        auto* o = static_cast<COptionUI*>(c->GetInterface(L"Option"));
        if (o && o->IsSelected() != on) o->Activate();
      });
    }
    *reply = args[0] + (on ? " checked" : " unchecked");
    return true;
  }
  // type
  auto* edit = static_cast<CEditUI*>(control->GetInterface(L"Edit"));
  if (!edit) return Fail(reply, "refused: " + args[0] + " is a " + win32::WideToUtf8(control->GetClass()) + ", not an edit");
  if (edit->IsReadOnly()) return Fail(reply, "refused: " + args[0] + " is read-only");
  std::wstring text = win32::Utf8ToWide(args[1]);
  PostControlAction(hwnd, name, [text](CControlUI* c) {
    c->SetText(text.c_str());
    if (CPaintManagerUI* m = c->GetManager()) m->SendNotify(c, L"textchanged");
  });
  *reply = "typed into " + args[0];
  return true;
}

}  // namespace

std::wstring WhyUnreachable(CControlUI* control) {
  // Hiding passes down to the children: name the outermost hidden control.
  CControlUI* hidden = nullptr;
  CControlUI* disabled = nullptr;
  for (CControlUI* c = control; c; c = c->GetParent()) {
    if (!c->IsVisible()) hidden = c;
    if (!c->IsEnabled() && !disabled) disabled = c;
  }
  CControlUI* cause = hidden ? hidden : disabled;
  if (!cause) return L"";
  std::wstring why = hidden ? L"is hidden" : L"is disabled";
  if (cause != control) {
    why += L" (inside " + std::wstring(cause->GetName().IsEmpty() ? cause->GetClass() : cause->GetName().GetData()) + L")";
  }
  return why;
}

std::string DescribeControls(CControlUI* root) {
  std::vector<CControlUI*> all;
  if (root) root->FindControl(Collect, &all, UIFIND_ALL | UIFIND_ME_FIRST);
  std::string out;
  for (CControlUI* c : all) out += Describe(c) + "\n";
  return out;
}

void RegisterControlCommands() {
  static std::once_flag once;
  std::call_once(once, [] { win32::SetAutomationHandler(HandleCommand); });
}

}  // namespace DuiLib
