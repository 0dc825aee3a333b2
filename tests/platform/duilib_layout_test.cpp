// Control trees built from layouts, without a window: layout of fixed and
// stretched sizes, look-up by name and point, notifications and delegates,
// and clean failures for bad layouts and missing skin files.
#include <gtest/gtest.h>

#include <windows.h>
#include <duilib/UIlib.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "internal/machine.h"
#include "support/temp_machine.h"
#include "duilib_test_zip.h"

using namespace DuiLib;
using testing_support::TempMachine;

namespace {

const wchar_t kLayout[] =
    L"<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    L"<Window size=\"300,200\" caption=\"0,0,0,30\" sizebox=\"4,4,4,4\">"
    L"  <Font id=\"1\" name=\"微软雅黑\" size=\"13\" bold=\"true\"/>"
    L"  <Default name=\"Label\" value=\"text=&quot;default&quot; textcolor=&quot;#FF010203&quot;\"/>"
    L"  <VerticalLayout name=\"root\" inset=\"10,10,10,10\">"
    L"    <HorizontalLayout name=\"top\" height=\"30\" childpadding=\"5\">"
    L"      <Button name=\"a\" width=\"50\" text=\"A&amp;B\"/>"
    L"      <Control name=\"stretch\"/>"
    L"      <Button name=\"b\" width=\"40\" padding=\"0,5,0,5\"/>"
    L"    </HorizontalLayout>"
    L"    <Label name=\"fill\"/>"
    L"    <!-- a comment between controls -->"
    L"    <Edit name=\"bottom\" height=\"20\" padding=\"0,4,0,0\" readonly=\"true\"/>"
    L"    <CheckBox name=\"floater\" float=\"true\" pos=\"100,100,120,130\" selected=\"true\"/>"
    L"  </VerticalLayout>"
    L"</Window>";

RECT Rect(LONG l, LONG t, LONG r, LONG b) { return RECT{l, t, r, b}; }

::testing::AssertionResult PosIs(CControlUI* c, RECT want) {
  if (!c) return ::testing::AssertionFailure() << "no control";
  const RECT& r = c->GetPos();
  if (r.left == want.left && r.top == want.top && r.right == want.right && r.bottom == want.bottom) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "pos " << r.left << "," << r.top << "," << r.right << "," << r.bottom;
}

class Recorder : public INotifyUI {
 public:
  void Notify(TNotifyUI& msg) override {
    seen.push_back(std::wstring(msg.sType.GetData()) + L":" + msg.pSender->GetName().GetData());
  }
  std::vector<std::wstring> seen;
};

class DelegateTarget {
 public:
  bool OnEvent(void* param) {
    auto* msg = static_cast<TNotifyUI*>(param);
    seen.push_back(msg->sType.GetData());
    return true;
  }
  std::vector<std::wstring> seen;
};

}  // namespace

TEST(DuiLayout, FixedAndStretchedSizesAndLookUps) {
  CPaintManagerUI manager;
  CDialogBuilder builder;
  CControlUI* root = builder.Create(kLayout, nullptr, nullptr, &manager);
  ASSERT_NE(nullptr, root) << builder.GetLastErrorMessage().GetData();
  ASSERT_TRUE(manager.AttachDialog(root));
  EXPECT_EQ(300, manager.GetInitSize().cx);
  EXPECT_EQ(30, manager.GetCaptionRect().bottom);
  EXPECT_EQ(4, manager.GetSizeBox().left);
  ASSERT_NE(nullptr, manager.GetFontInfo(1));
  EXPECT_TRUE(manager.GetFontInfo(1)->bBold);
  EXPECT_EQ(nullptr, manager.GetFontInfo(7));

  manager.UpdateLayout();
  EXPECT_TRUE(PosIs(manager.FindControl(L"top"), Rect(10, 10, 290, 40)));
  EXPECT_TRUE(PosIs(manager.FindControl(L"a"), Rect(10, 10, 60, 40)));
  EXPECT_TRUE(PosIs(manager.FindControl(L"stretch"), Rect(65, 10, 245, 40)));
  EXPECT_TRUE(PosIs(manager.FindControl(L"b"), Rect(250, 15, 290, 35)));
  EXPECT_TRUE(PosIs(manager.FindControl(L"fill"), Rect(10, 40, 290, 166)));
  EXPECT_TRUE(PosIs(manager.FindControl(L"bottom"), Rect(10, 170, 290, 190)));
  EXPECT_TRUE(PosIs(manager.FindControl(L"floater"), Rect(100, 100, 120, 130)));

  // Attributes: entities, defaults of the class, then the control's own.
  EXPECT_STREQ(L"A&B", manager.FindControl(L"a")->GetText().GetData());
  auto* fill = static_cast<CLabelUI*>(manager.FindControl(L"fill")->GetInterface(L"Label"));
  ASSERT_NE(nullptr, fill);
  EXPECT_STREQ(L"default", fill->GetText().GetData());
  EXPECT_EQ(0xFF010203u, fill->GetTextColor());
  EXPECT_TRUE(static_cast<CEditUI*>(manager.FindControl(L"bottom"))->IsReadOnly());
  EXPECT_TRUE(static_cast<CCheckBoxUI*>(manager.FindControl(L"floater"))->GetCheck());
  EXPECT_EQ(nullptr, manager.FindControl(L"missing"));
  EXPECT_EQ(nullptr, manager.FindControl(L"fill")->GetInterface(L"Button"));

  // By point: the topmost visible control; floating controls lie above.
  EXPECT_EQ(manager.FindControl(L"a"), manager.FindControl(POINT{20, 20}));
  EXPECT_EQ(manager.FindControl(L"stretch"), manager.FindControl(POINT{150, 20}));
  EXPECT_EQ(manager.FindControl(L"floater"), manager.FindControl(POINT{110, 110}));
  EXPECT_EQ(manager.FindControl(L"fill"), manager.FindControl(POINT{150, 60}));
  EXPECT_EQ(root, manager.FindControl(POINT{5, 5}));
  EXPECT_EQ(nullptr, manager.FindControl(POINT{300, 10}));

  // Hidden controls (and the children of hidden containers) are not hit,
  // and the layout gives their room to the others.
  manager.FindControl(L"top")->SetVisible(false);
  EXPECT_FALSE(manager.FindControl(L"a")->IsVisible());
  EXPECT_EQ(manager.FindControl(L"fill"), manager.FindControl(POINT{20, 20}));
  EXPECT_TRUE(PosIs(manager.FindControl(L"fill"), Rect(10, 10, 290, 166)));
  manager.FindControl(L"top")->SetVisible(true);
  EXPECT_TRUE(manager.FindControl(L"a")->IsVisible());

  // A new fixed height takes effect at the next layout.
  manager.FindControl(L"top")->SetFixedHeight(60);
  EXPECT_EQ(manager.FindControl(L"a"), manager.FindControl(POINT{20, 65}));
  EXPECT_TRUE(PosIs(manager.FindControl(L"fill"), Rect(10, 70, 290, 166)));
}

TEST(DuiLayout, NotificationsReachDelegatesAndNotifiers) {
  CPaintManagerUI manager;
  CDialogBuilder builder;
  ASSERT_TRUE(manager.AttachDialog(builder.Create(kLayout, nullptr, nullptr, &manager)));
  Recorder recorder;
  manager.AddNotifier(&recorder);
  auto* box = static_cast<CCheckBoxUI*>(manager.FindControl(L"floater"));
  DelegateTarget target;
  box->OnNotify += MakeDelegate(&target, &DelegateTarget::OnEvent);
  box->OnNotify += MakeDelegate(&target, &DelegateTarget::OnEvent);  // added once only

  box->SetCheck(false);
  box->SetCheck(false);        // no change, no notification
  box->SetCheck(true, false);  // no event wanted
  EXPECT_TRUE(box->GetCheck());
  EXPECT_EQ(std::vector<std::wstring>({L"selectchanged"}), target.seen);
  EXPECT_EQ(std::vector<std::wstring>({L"selectchanged:floater"}), recorder.seen);

  // A click on a check box: "click", then the change of state.
  target.seen.clear();
  recorder.seen.clear();
  EXPECT_TRUE(box->Activate());
  EXPECT_FALSE(box->GetCheck());
  EXPECT_EQ(std::vector<std::wstring>({L"click", L"selectchanged"}), target.seen);

  // Disabled or hidden controls cannot be clicked.
  CControlUI* a = manager.FindControl(L"a");
  a->SetEnabled(false);
  EXPECT_FALSE(a->Activate());
  a->SetEnabled(true);
  manager.FindControl(L"top")->SetVisible(false);
  EXPECT_FALSE(a->Activate());
  manager.FindControl(L"top")->SetVisible(true);
  recorder.seen.clear();
  EXPECT_TRUE(a->Activate());
  EXPECT_EQ(std::vector<std::wstring>({L"click:a"}), recorder.seen);

  box->OnNotify -= MakeDelegate(&target, &DelegateTarget::OnEvent);
  target.seen.clear();
  box->SetCheck(true);
  EXPECT_TRUE(target.seen.empty());
  manager.RemoveNotifier(&recorder);
}

TEST(DuiLayout, MalformedLayoutsFailWithAReason) {
  struct Case {
    const wchar_t* xml;
    const wchar_t* reason;
  } cases[] = {
      {L"<Window size=\"10,10\">\n<VerticalLayout>\n<Button name=\"x\">\n</VerticalLayout></Window>",
       L"line 4: </VerticalLayout> closes <Button>"},
      {L"<Window><VerticalLayout><Slider/></VerticalLayout></Window>", L"unknown control <Slider>"},
      {L"<Window><Label/><Label/></Window>", L"one root control"},
      {L"<Window><Label><Button/></Label></Window>", L"<Label> cannot hold controls"},
      {L"<Window size=\"wide\"><Label/></Window>", L"bad value \"wide\" of window attribute size"},
      {L"<Window><Font id=\"1\" name=\"f\"/></Window>", L"no root control"},
      {L"<Window><Label text=\"a\" text=\"b\"/></Window>", L"given twice"},
      {L"<Window><Label text=\"&nope;\"/></Window>", L"unknown entity"},
      {L"<Window><Label></Window>", L"closes <Label>"},
      {L"<Window", L"unterminated element"},
  };
  for (const Case& c : cases) {
    CPaintManagerUI manager;
    CDialogBuilder builder;
    EXPECT_EQ(nullptr, builder.Create(c.xml, nullptr, nullptr, &manager)) << c.xml;
    std::wstring error = builder.GetLastErrorMessage().GetData();
    EXPECT_NE(std::wstring::npos, error.find(c.reason)) << "got: " << std::string(error.begin(), error.end());
    EXPECT_EQ(nullptr, manager.FindControl(L"x"));
    EXPECT_EQ(nullptr, manager.FindControl(POINT{1, 1}));
  }
}

TEST(DuiLayout, SkinFilesComeFromTheArchiveOrTheFolder) {
  TempMachine machine;
  // The program's own folder, as a Windows path ending in a backslash.
  char exe[4096] = {0};
  ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  ASSERT_GT(n, 0);
  std::string exeDir(exe, static_cast<size_t>(n));
  exeDir.erase(exeDir.rfind('/'));
  EXPECT_EQ(win32::ToWindowsPath(exeDir) + L"\\", std::wstring(CPaintManagerUI::GetInstancePath().GetData()));

  std::string folder = machine.c() + "/skin";
  testing_support::MakeHostDirs(folder);
  CPaintManagerUI::SetResourcePath(win32::ToWindowsPath(folder).c_str());
  EXPECT_EQ(L'\\', CPaintManagerUI::GetResourcePath().GetData()[CPaintManagerUI::GetResourcePath().GetLength() - 1]);

  // From the folder, while no archive is set.
  CPaintManagerUI::SetResourceZip(L"");
  testing_support::WriteHostFile(folder + "/Loose.xml", "<Window><Label name=\"loose\"/></Window>");
  CPaintManagerUI manager;
  CDialogBuilder builder;
  CControlUI* root = builder.Create(L"Loose.xml", nullptr, nullptr, &manager);
  ASSERT_NE(nullptr, root);
  delete root;

  // A missing archive, then an archive without the layout.
  CPaintManagerUI::SetResourceZip(L"skin.zip");
  EXPECT_EQ(nullptr, builder.Create(L"Main.xml", nullptr, nullptr, &manager));
  EXPECT_NE(std::wstring::npos, std::wstring(builder.GetLastErrorMessage().GetData()).find(L"cannot open skin archive"));
  duilib_test::WriteZip(folder + "/skin.zip", {{"Other.xml", "<Window><Label/></Window>"}});
  EXPECT_EQ(nullptr, builder.Create(L"Main.xml", nullptr, nullptr, &manager));
  EXPECT_NE(std::wstring::npos, std::wstring(builder.GetLastErrorMessage().GetData()).find(L"Main.xml is not in skin archive"));

  // Names inside the archive are found whatever their case and separators.
  duilib_test::WriteZip(folder + "/skin.zip", {{"sub/Main.xml", "<Window><Label name=\"zipped\"/></Window>"}});
  root = builder.Create(L"SUB\\main.xml", nullptr, nullptr, &manager);
  ASSERT_NE(nullptr, root) << builder.GetLastErrorMessage().GetData();
  EXPECT_STREQ(L"zipped", root->GetName().GetData());
  delete root;

  // A file that is not an archive.
  testing_support::WriteHostFile(folder + "/skin.zip", "not a zip");
  EXPECT_EQ(nullptr, builder.Create(L"Main.xml", nullptr, nullptr, &manager));
  EXPECT_NE(std::wstring::npos, std::wstring(builder.GetLastErrorMessage().GetData()).find(L"cannot open skin archive"));
  CPaintManagerUI::SetResourceZip(L"");
  CPaintManagerUI::SetResourcePath(L"");
}
