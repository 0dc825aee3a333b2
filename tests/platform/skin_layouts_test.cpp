// The layouts of the built skin archive: each loads and holds the controls
// its window looks up, with the classes the window code expects, and every
// image it names is in the archive.
#include <gtest/gtest.h>

#include <windows.h>
#include <duilib/UIlib.h>

#include <memory>
#include <string>
#include <vector>

#include "internal/machine.h"
#include "support/temp_machine.h"

using namespace DuiLib;

namespace {

CControlUI* CALLBACK CollectAll(CControlUI* control, LPVOID data) {
  static_cast<std::vector<CControlUI*>*>(data)->push_back(control);
  return nullptr;
}

bool IsPng(const std::string& data) { return data.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0; }

class SkinLayout : public ::testing::Test {
 protected:
  void SetUp() override {
    CPaintManagerUI::SetResourcePath(win32::ToWindowsPath(std::string(KORVA_DIST_DIR) + "/skin").c_str());
    CPaintManagerUI::SetResourceZip(L"skin.zip");
  }
  void TearDown() override {
    CPaintManagerUI::SetResourceZip(L"");
    CPaintManagerUI::SetResourcePath(L"");
  }

  // Builds the layout into manager_ and lays it out at the layout's size.
  void Load(const wchar_t* file) {
    CDialogBuilder builder;
    CControlUI* root = builder.Create(file, nullptr, nullptr, &manager_);
    ASSERT_NE(nullptr, root) << std::string(builder.GetLastErrorMessage().GetData(),
                                            builder.GetLastErrorMessage().GetData() + builder.GetLastErrorMessage().GetLength());
    manager_.AttachDialog(root);
    manager_.UpdateLayout();
    EXPECT_GT(manager_.GetInitSize().cx, 0);
    EXPECT_GT(manager_.GetCaptionRect().bottom, 0) << "the window can be dragged by its caption";
  }

  // The control exists, is unique and answers to the class.
  template <class T>
  T* Need(const wchar_t* name, const wchar_t* cls) {
    std::vector<CControlUI*> all;
    manager_.GetRoot()->FindControl(CollectAll, &all, UIFIND_ALL);
    int count = 0;
    for (CControlUI* c : all) count += c->GetName() == name;
    EXPECT_EQ(1, count) << "controls named " << std::string(name, name + wcslen(name));
    CControlUI* c = manager_.FindControl(name);
    T* typed = c ? static_cast<T*>(c->GetInterface(cls)) : nullptr;
    EXPECT_NE(nullptr, typed) << std::string(name, name + wcslen(name)) << " as " << std::string(cls, cls + wcslen(cls));
    return typed;
  }

  // Every image named by a control is a PNG of the archive.
  void ExpectImagesPresent(std::vector<std::wstring> extra = {}) {
    std::vector<CControlUI*> all;
    manager_.GetRoot()->FindControl(CollectAll, &all, UIFIND_ALL);
    std::vector<std::wstring> images = extra;
    for (CControlUI* c : all) {
      if (*c->GetBkImage()) images.push_back(c->GetBkImage());
      if (auto* b = static_cast<CButtonUI*>(c->GetInterface(L"Button"))) {
        if (*b->GetNormalImage()) images.push_back(b->GetNormalImage());
      }
    }
    for (const auto& image : images) {
      std::string data;
      CDuiString why;
      EXPECT_TRUE(CPaintManagerUI::LoadResource(image.c_str(), &data, &why) && IsPng(data))
          << std::string(image.begin(), image.end());
    }
  }

  // Inside the client area and not empty, as the last layout placed it.
  void ExpectOnScreen(CControlUI* c, LONG width, LONG height) {
    ASSERT_NE(nullptr, c);
    const RECT& r = c->GetPos();
    EXPECT_TRUE(c->IsVisible());
    EXPECT_LT(r.left, r.right) << std::string(c->GetName().GetData(), c->GetName().GetData() + c->GetName().GetLength());
    EXPECT_LT(r.top, r.bottom);
    EXPECT_GE(r.left, 0);
    EXPECT_GE(r.top, 0);
    EXPECT_LE(r.right, width);
    EXPECT_LE(r.bottom, height) << std::string(c->GetName().GetData(), c->GetName().GetData() + c->GetName().GetLength());
  }

  testing_support::TempMachine machine_;
  CPaintManagerUI manager_;
};

}  // namespace

TEST_F(SkinLayout, InstallMainWindowHasBothViews) {
  Load(L"KorvaInstallMainWnd.xml");
  auto* overall = Need<CContainerUI>(L"VerticalLayoutOverall", L"VerticalLayout");
  auto* byDefault = Need<CContainerUI>(L"VerticalLayoutDefault", L"VerticalLayout");
  auto* custom = Need<CContainerUI>(L"VerticalLayoutCustom", L"VerticalLayout");
  auto* directory = Need<CContainerUI>(L"HorizontalLayoutDirectory", L"HorizontalLayout");
  CControlUI* buttons[] = {Need<CButtonUI>(L"ButtonClose", L"Button"), Need<CButtonUI>(L"ButtonInstall", L"Button"),
                           Need<CButtonUI>(L"ButtonCustom", L"Button"), Need<CButtonUI>(L"ButtonChangeStyle", L"Button"),
                           Need<CButtonUI>(L"ButtonAgreeProtocal", L"Button"), Need<CButtonUI>(L"ButtonProtocal", L"Button")};
  auto* browser = Need<CButtonUI>(L"ButtonBrowser", L"Button");
  auto* edit = Need<CEditUI>(L"EditDirectory", L"Edit");
  auto* agree = Need<CCheckBoxUI>(L"CheckBoxAgreeProtocal", L"CheckBox");
  auto* needed = Need<CLabelUI>(L"LabelNeededSpace", L"Label");
  auto* avail = Need<CLabelUI>(L"LabelAvailSpace", L"Label");
  ExpectImagesPresent({L"customStyle.png", L"defaultStyle.png", L"directory_noSplit.png"});
  ASSERT_TRUE(overall && byDefault && custom && directory && browser && edit && agree && needed && avail);
  // The install button follows the check box: they start in agreement.
  EXPECT_EQ(agree->GetCheck(), buttons[1]->IsEnabled());

  // Compact view, as the window sets it up.
  manager_.SetInitSize(740, 460);
  overall->SetFixedHeight(460);
  custom->SetFixedHeight(0);
  byDefault->SetFixedHeight(550);
  custom->SetVisible(false);
  manager_.UpdateLayout();
  for (CControlUI* b : buttons) ExpectOnScreen(b, 740, 460);
  ExpectOnScreen(agree, 740, 460);
  EXPECT_FALSE(edit->IsVisible());
  // The caption drags the window except over its close button.
  EXPECT_EQ(buttons[0], manager_.FindControl(POINT{buttons[0]->GetPos().left + 2, 20}));
  CControlUI* captionHit = manager_.FindControl(POINT{300, 20});
  ASSERT_NE(nullptr, captionHit);
  EXPECT_STRNE(L"Button", captionHit->GetClass());

  // Custom view: the directory panel below the default part.
  RECT installBefore = buttons[1]->GetPos();
  manager_.SetInitSize(740, 550);
  overall->SetFixedHeight(550);
  custom->SetFixedHeight(90);
  byDefault->SetFixedHeight(460);
  custom->SetVisible(true);
  manager_.UpdateLayout();
  for (CControlUI* c : std::vector<CControlUI*>{edit, browser, needed, avail}) {
    ExpectOnScreen(c, 740, 550);
    EXPECT_GE(c->GetPos().top, 460);
  }
  EXPECT_EQ(installBefore.top, buttons[1]->GetPos().top) << "the default part does not move";
  EXPECT_EQ(browser, manager_.FindControl(POINT{browser->GetPos().left + 1, browser->GetPos().top + 1}));
}

TEST_F(SkinLayout, InstallProgressWindow) {
  Load(L"KorvaInstallProgressWnd.xml");
  auto* progress = Need<CProgressUI>(L"Progress", L"Progress");
  auto* text = Need<CLabelUI>(L"LabelInstallText", L"Label");
  ExpectImagesPresent();
  ASSERT_TRUE(progress && text);
  EXPECT_EQ(0, progress->GetMinValue());
  EXPECT_EQ(100, progress->GetMaxValue());
  ExpectOnScreen(progress, 740, 460);
  ExpectOnScreen(text, 740, 460);
}

TEST_F(SkinLayout, InstallCompleteWindow) {
  Load(L"KorvaInstallCompleteWnd.xml");
  auto* close = Need<CButtonUI>(L"ButtonClose", L"Button");
  auto* start = Need<CButtonUI>(L"ButtonQuickStart", L"Button");
  ExpectImagesPresent();
  ExpectOnScreen(close, 740, 460);
  ExpectOnScreen(start, 740, 460);
}

TEST_F(SkinLayout, LicenceWindowAndLicenceText) {
  Load(L"KorvaInstallProtocal.xml");
  auto* close = Need<CButtonUI>(L"ButtonClose", L"Button");
  auto* confirm = Need<CButtonUI>(L"ButtonConfirm", L"Button");
  auto* rich = Need<CRichEditUI>(L"RichEditProtocal", L"RichEdit");
  ExpectImagesPresent();
  ASSERT_TRUE(close && confirm && rich);
  EXPECT_NE(nullptr, rich->GetVerticalScrollBar());
  EXPECT_NE(nullptr, manager_.GetFontInfo(1)) << "the licence text uses font 1";
  ExpectOnScreen(rich, 600, 460);
  ExpectOnScreen(confirm, 600, 460);

  std::string rtf = testing_support::ReadHostFile(std::string(KORVA_DIST_DIR) + "/License.rtf");
  std::wstring text = RtfToText(rtf);
  EXPECT_EQ(0u, text.find(L"Korva 软件许可及服务协议\n"));
  EXPECT_NE(std::wstring::npos, text.find(L"五、其他"));
  EXPECT_EQ(std::wstring::npos, text.find_first_of(L"\\{}?"));
}

TEST_F(SkinLayout, MessageBox) {
  Load(L"KorvaMessageWnd.xml");
  CControlUI* controls[] = {Need<CButtonUI>(L"ButtonClose", L"Button"), Need<CButtonUI>(L"ButtonYes", L"Button"),
                            Need<CButtonUI>(L"ButtonNo", L"Button"), Need<CLabelUI>(L"LabelTitle", L"Label"),
                            Need<CTextUI>(L"TextContent", L"Text")};
  ExpectImagesPresent();
  for (CControlUI* c : controls) ExpectOnScreen(c, 500, 250);
}

TEST_F(SkinLayout, UpdateWindow) {
  Load(L"KorvaUpdateWnd.xml");
  auto* close = Need<CButtonUI>(L"ButtonClose", L"Button");
  auto* cancel = Need<CButtonUI>(L"ButtonCancel", L"Button");
  auto* feature = Need<CLabelUI>(L"LabelFeature", L"Label");
  auto* progress = Need<CProgressUI>(L"ProgressUpdate", L"Progress");
  auto* detail = Need<CTextUI>(L"TextUpdateDetail", L"Text");
  ExpectImagesPresent();
  ASSERT_TRUE(close && cancel && feature && progress && detail);
  EXPECT_FALSE(cancel->IsEnabled()) << "Cancel waits for a download";
  EXPECT_EQ(100, progress->GetMaxValue());
  for (CControlUI* c : std::vector<CControlUI*>{close, cancel, feature, progress, detail}) ExpectOnScreen(c, 520, 320);
}
