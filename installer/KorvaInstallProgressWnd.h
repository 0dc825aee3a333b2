// The window in which the whole installation runs: its "windowinit" runs
// the install kernel, a 500 ms timer shows the progress model.
#pragma once
#include <duilib/UIlib.h>

class KorvaInstallMainWnd;

const UINT_PTR kInstallProgressTimer = 3025;
const UINT kInstallProgressTimerPeriodMs = 500;

class KorvaInstallProgressWnd : public DuiLib::WindowImplBase {
 public:
  explicit KorvaInstallProgressWnd(KorvaInstallMainWnd* owner);
  ~KorvaInstallProgressWnd() override;

  void Notify(DuiLib::TNotifyUI& msg) override;

 protected:
  LPCTSTR GetWindowClassName() const override;
  void InitWindow() override;
  DuiLib::CDuiString GetSkinFolder() override;
  DuiLib::CDuiString GetSkinFile() override;
  LRESULT HandleCustomMessage(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled) override;

 private:
  void RunInstall();
  LRESULT OnTimer(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);

  KorvaInstallMainWnd* owner;
  DuiLib::CProgressUI* Progress = nullptr;
  DuiLib::CControlUI* LabelInstallText = nullptr;
};
