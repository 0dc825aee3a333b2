// A skinned test window and its skin archive, shared by the window and the
// control-command tests.
#pragma once
#include <windows.h>
#include <duilib/UIlib.h>

#include <functional>
#include <string>
#include <vector>

#include "duilib_test_zip.h"
#include "internal/machine.h"
#include "internal/unicode.h"
#include "support/temp_machine.h"

namespace duilib_test {

// 400x300; rows from the top: caption 0-30, ok 30-70, agree 70-90,
// path 90-114, locked 114-138, off 138-158, bar 158-168.
const char kTestLayout[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<Window size=\"400,300\" caption=\"0,0,0,30\" sizebox=\"4,4,4,4\">\n"
    "  <VerticalLayout name=\"root\">\n"
    "    <HorizontalLayout name=\"caption\" height=\"30\">\n"
    "      <Label name=\"title\" text=\"测试\"/>\n"
    "      <Button name=\"close\" width=\"30\"/>\n"
    "    </HorizontalLayout>\n"
    "    <Button name=\"ok\" height=\"40\" text=\"OK\"/>\n"
    "    <CheckBox name=\"agree\" height=\"20\"/>\n"
    "    <Edit name=\"path\" height=\"24\"/>\n"
    "    <Edit name=\"locked\" height=\"24\" readonly=\"true\"/>\n"
    "    <HorizontalLayout name=\"hiddenRow\" height=\"20\" visible=\"false\"><Button name=\"inner\"/></HorizontalLayout>\n"
    "    <Button name=\"off\" height=\"20\" enabled=\"false\"/>\n"
    "    <Progress name=\"bar\" height=\"10\" value=\"40\" bkimage=\"bar.png\"/>\n"
    "    <Control/>\n"
    "  </VerticalLayout>\n"
    "</Window>\n";

class TestWindow : public DuiLib::WindowImplBase {
 public:
  explicit TestWindow(const wchar_t* skinFile = L"Test.xml") : skinFile_(skinFile) {}

  LPCTSTR GetWindowClassName() const override { return L"DuiTestWindow"; }
  DuiLib::CDuiString GetSkinFolder() override { return L""; }
  DuiLib::CDuiString GetSkinFile() override { return skinFile_.c_str(); }

  void InitWindow() override {
    ++inits;
    controlsAtInit = m_PaintManager.FindControl(L"ok") != nullptr;
    if (onInit) onInit();
  }

  void Notify(DuiLib::TNotifyUI& msg) override {
    std::wstring sender = msg.pSender ? msg.pSender->GetName().GetData() : L"";
    log.push_back(std::wstring(msg.sType.GetData()) + L":" + sender);
    if (onNotify) onNotify(msg);
    WindowImplBase::Notify(msg);
  }

  LRESULT HandleCustomMessage(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled) override {
    if (msg == WM_TIMER && onTimer) onTimer(wParam);
    handled = FALSE;
    return WindowImplBase::HandleCustomMessage(msg, wParam, lParam, handled);
  }

  DuiLib::CPaintManagerUI& manager() { return m_PaintManager; }
  DuiLib::CControlUI* Find(const wchar_t* name) { return m_PaintManager.FindControl(name); }
  int Count(const std::wstring& entry) const {
    int n = 0;
    for (const auto& e : log) n += e == entry;
    return n;
  }

  int inits = 0;
  bool controlsAtInit = false;
  std::vector<std::wstring> log;
  std::function<void()> onInit;
  std::function<void(DuiLib::TNotifyUI&)> onNotify;
  std::function<void(WPARAM)> onTimer;

 private:
  std::wstring skinFile_;
};

// A machine with C:\app\skin\skin.zip holding Test.xml, set up as the
// process's resource archive.
class SkinMachine {
 public:
  SkinMachine() {
    skinDir_ = machine_.c() + "/app/skin";
    testing_support::MakeHostDirs(skinDir_);
    WriteSkin({{"Test.xml", kTestLayout}, {"bar.png", "\x89PNG\r\n\x1a\n"}});
    DuiLib::CPaintManagerUI::SetResourcePath(L"C:\\app\\skin");
    DuiLib::CPaintManagerUI::SetResourceZip(L"skin.zip", false);
  }
  ~SkinMachine() {
    DuiLib::CPaintManagerUI::SetResourceZip(L"");
    DuiLib::CPaintManagerUI::SetResourcePath(L"");
  }
  void WriteSkin(const std::map<std::string, std::string>& files) { WriteZip(skinDir_ + "/skin.zip", files); }
  const std::string& skinDir() const { return skinDir_; }

 private:
  testing_support::TempMachine machine_;
  std::string skinDir_;
};

// Handles what is queued for this thread, without waiting.
inline void PumpPending() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (!DuiLib::CPaintManagerUI::TranslateMessage(&msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
}

}  // namespace duilib_test
