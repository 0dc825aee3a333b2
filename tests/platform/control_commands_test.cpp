// The control commands of the automation tool, sent to a skinned window
// the way winauto sends them, while the window's thread runs a modal loop.
#include <gtest/gtest.h>

#include <thread>

#include "duilib_window_test.h"
#include "internal/window_station.h"

using namespace DuiLib;
using duilib_test::SkinMachine;
using duilib_test::TestWindow;
using win32::station::CommandStatus;

namespace {

struct Reply {
  CommandStatus status;
  std::string text;
};

// Runs the commands from another thread, as the tool would, then closes
// the window; the window's own thread pumps in ShowModal meanwhile.
std::vector<Reply> Drive(TestWindow& window, const std::vector<std::vector<std::string>>& commands) {
  std::vector<Reply> replies;
  std::thread driver;
  window.onNotify = [&](TNotifyUI& msg) {
    if (msg.sType != L"windowinit") return;
    HWND hwnd = window.GetHWND();
    driver = std::thread([hwnd, &commands, &replies] {
      for (const auto& c : commands) {
        std::vector<std::string> args(c.begin() + 1, c.end());
        Reply r;
        r.status = win32::station::SendCommand(hwnd, c[0], args, 5000, &r.text);
        replies.push_back(r);
      }
      PostMessageW(hwnd, WM_CLOSE, 0, 0);
    });
  };
  window.ShowModal();
  driver.join();
  return replies;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(ControlCommands, ClicksChecksAndTypingActAsAUserWould) {
  SkinMachine skin;
  TestWindow window;
  std::vector<std::wstring> agreeEvents;
  ASSERT_NE(nullptr, window.Create(nullptr, L"Commands", WS_POPUP | WS_VISIBLE, 0));
  auto* agree = static_cast<CCheckBoxUI*>(window.Find(L"agree"));
  struct Target {
    std::vector<std::wstring>* events;
    bool OnAgree(void* param) {
      events->push_back(static_cast<TNotifyUI*>(param)->sType.GetData());
      return true;
    }
  } target{&agreeEvents};
  agree->OnNotify += MakeDelegate(&target, &Target::OnAgree);

  std::vector<Reply> r = Drive(window, {{"click", "ok"},
                                        {"check", "agree", "on"},
                                        {"check", "agree", "on"},
                                        {"type", "path", "C:\\游戏"},
                                        {"text", "path"},
                                        {"wait-text", "path", "游戏"},
                                        {"wait-text", "path", "D:"},
                                        {"controls"}});
  ASSERT_EQ(8u, r.size());
  for (int i : {0, 1, 2, 3, 4, 5, 7}) EXPECT_EQ(CommandStatus::kOk, r[i].status) << i << ": " << r[i].text;
  EXPECT_EQ(1, window.Count(L"click:ok"));
  // Checking clicks the box once; checking it again changes nothing.
  EXPECT_TRUE(agree->GetCheck());
  EXPECT_EQ(std::vector<std::wstring>({L"click", L"selectchanged"}), agreeEvents);
  EXPECT_EQ(1, window.Count(L"textchanged:path"));
  EXPECT_EQ("C:\\游戏", r[4].text);
  EXPECT_EQ(CommandStatus::kFailed, r[6].status);
  EXPECT_TRUE(Contains(r[6].text, "waiting: path reads \"C:\\\\游戏\"")) << r[6].text;

  const std::string& listing = r[7].text;
  EXPECT_TRUE(Contains(listing, "root class=VerticalLayout")) << listing;
  EXPECT_TRUE(Contains(listing, "\n    title class=Label text=\"测试\" visible=yes enabled=yes checked=- value=-"))
      << listing;
  EXPECT_TRUE(Contains(listing, "\n  agree class=CheckBox text=\"\" visible=yes enabled=yes checked=yes"));
  EXPECT_TRUE(Contains(listing, "\n    inner class=Button text=\"\" visible=no"));
  EXPECT_TRUE(Contains(listing, "\n  off class=Button text=\"\" visible=yes enabled=no"));
  EXPECT_TRUE(Contains(listing, "\n  bar class=Progress text=\"\" visible=yes enabled=yes checked=- value=40/0-100 "
                                "bkimage=\"bar.png\" fixed=0x10 pos=0,158,400,168"))
      << listing;
}

TEST(ControlCommands, UnreachableAndUnknownControlsAreRefused) {
  SkinMachine skin;
  TestWindow window;
  ASSERT_NE(nullptr, window.Create(nullptr, L"Refusals", WS_POPUP | WS_VISIBLE, 0));
  std::vector<Reply> r = Drive(window, {{"click", "off"},
                                        {"click", "inner"},
                                        {"click", "nosuch"},
                                        {"type", "locked", "x"},
                                        {"type", "ok", "x"},
                                        {"check", "ok", "on"},
                                        {"check", "agree", "maybe"},
                                        {"click"},
                                        {"press", "ok"}});
  ASSERT_EQ(9u, r.size());
  EXPECT_EQ(CommandStatus::kFailed, r[0].status);
  EXPECT_EQ("refused: off is disabled", r[0].text);
  EXPECT_EQ("refused: inner is hidden (inside hiddenRow)", r[1].text);
  EXPECT_EQ(CommandStatus::kNotFound, r[2].status);
  EXPECT_EQ("not found: control nosuch", r[2].text);
  EXPECT_EQ("refused: locked is read-only", r[3].text);
  EXPECT_EQ("refused: ok is a Button, not an edit", r[4].text);
  EXPECT_EQ("refused: ok is a Button, not a check box", r[5].text);
  EXPECT_EQ("usage: check NAME on|off", r[6].text);
  EXPECT_EQ("usage: click NAME", r[7].text);
  EXPECT_EQ(CommandStatus::kFailed, r[8].status);
  EXPECT_TRUE(Contains(r[8].text, "unknown command")) << r[8].text;
  for (const Reply& reply : r) EXPECT_NE(CommandStatus::kOk, reply.status);
  // Nothing reached the window's notifications.
  for (const auto& entry : window.log) EXPECT_EQ(0u, entry.find(L"windowinit")) << std::string(entry.begin(), entry.end());
  EXPECT_FALSE(static_cast<CCheckBoxUI*>(window.Find(L"agree"))->GetCheck());
}
