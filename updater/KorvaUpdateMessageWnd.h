// The updater's skinned message box. Mode 1 only informs; mode 2 offers to
// start the product's launcher anyway or to open the official web site.
#pragma once
#include <duilib/UIlib.h>

class KorvaUpdateWnd;

enum UpdateMessageBoxMode {
  kUpdateBoxNotice = 1,
  kUpdateBoxLaunchOrSite = 2,
};

class KorvaUpdateMessageWnd : public DuiLib::WindowImplBase {
 public:
  KorvaUpdateMessageWnd(KorvaUpdateWnd* owner, const DuiLib::CDuiString& title, const DuiLib::CDuiString& text,
                        int mode);
  ~KorvaUpdateMessageWnd() override;

  void InitWindow() override;
  void Notify(DuiLib::TNotifyUI& msg) override;

 protected:
  LPCTSTR GetWindowClassName() const override;
  DuiLib::CDuiString GetSkinFolder() override;
  DuiLib::CDuiString GetSkinFile() override;

 private:
  void OnButtonYes();
  void OnButtonNo();

  KorvaUpdateWnd* owner;
  int mode;
  DuiLib::CControlUI* buttonClose = nullptr;
  DuiLib::CControlUI* buttonYes = nullptr;
  DuiLib::CControlUI* buttonNo = nullptr;
  DuiLib::CControlUI* labelTitle = nullptr;
  DuiLib::CControlUI* textContent = nullptr;
  DuiLib::CDuiString title;
  DuiLib::CDuiString text;
};

// Shows the box modally over owner (which may be hidden) and returns once it
// has been closed.
void ShowUpdateMessageBox(KorvaUpdateWnd* owner, DuiLib::CDuiString title, DuiLib::CDuiString text, int mode);
