// The installer's skinned message box: a notice, the quit confirmation or
// the confirmation that a running copy of the product may be ended before
// installing over it. Its confirmations act by posting to the main window.
#pragma once
#include <duilib/UIlib.h>

class KorvaInstallMainWnd;

enum InstallMessageBoxMode {
  kBoxNotice = 1,
  kBoxQuitConfirm = 2,
  kBoxOverwriteConfirm = 3,
};

class KorvaInstallMessageWnd : public DuiLib::WindowImplBase {
 public:
  KorvaInstallMessageWnd(KorvaInstallMainWnd* owner, const DuiLib::CDuiString& title,
                         const DuiLib::CDuiString& text, int mode);
  ~KorvaInstallMessageWnd() override;

  void Notify(DuiLib::TNotifyUI& msg) override;

 protected:
  LPCTSTR GetWindowClassName() const override;
  void InitWindow() override;
  DuiLib::CDuiString GetSkinFolder() override;
  DuiLib::CDuiString GetSkinFile() override;

 private:
  void SetButtonTexts();
  void OnButtonYes();
  void OnButtonNo();
  void PostToOwner(UINT msg);

  KorvaInstallMainWnd* owner;
  int mode;
  DuiLib::CControlUI* ButtonClose = nullptr;
  DuiLib::CControlUI* ButtonYes = nullptr;
  DuiLib::CControlUI* ButtonNo = nullptr;
  DuiLib::CControlUI* LabelTitle = nullptr;
  DuiLib::CControlUI* TextContent = nullptr;
  DuiLib::CDuiString title;
  DuiLib::CDuiString text;
};

// Shows the box modally; returns when it has closed.
void ShowMessageBox(KorvaInstallMainWnd* owner, DuiLib::CDuiString title, DuiLib::CDuiString text, int mode);
