// Shown after a successful installation: its buttons tell the main window
// whether to start the installed program; the main window then ends.
#pragma once
#include <duilib/UIlib.h>

class KorvaInstallMainWnd;

class KorvaInstallCompleteWnd : public DuiLib::WindowImplBase {
 public:
  explicit KorvaInstallCompleteWnd(KorvaInstallMainWnd* owner);
  ~KorvaInstallCompleteWnd() override;

  void Notify(DuiLib::TNotifyUI& msg) override;

 protected:
  LPCTSTR GetWindowClassName() const override;
  void InitWindow() override;
  DuiLib::CDuiString GetSkinFolder() override;
  DuiLib::CDuiString GetSkinFile() override;

 private:
  KorvaInstallMainWnd* owner;
  DuiLib::CControlUI* ButtonClose = nullptr;
  DuiLib::CControlUI* ButtonQuickStart = nullptr;
};
