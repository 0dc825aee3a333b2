// The installer's first window and the hub of its messages: install
// directory, space labels, licence agreement, the compact and the custom
// view. Every other window reports to it through install_messages.h.
#pragma once
#include <duilib/UIlib.h>

class KorvaInstallMainWnd : public DuiLib::WindowImplBase {
 public:
  KorvaInstallMainWnd();
  ~KorvaInstallMainWnd() override;

  // Non-zero once InitWindow has run to its end; message boxes opened
  // before then have no parent window.
  int IsInitialised() const { return initialised; }

  void Notify(DuiLib::TNotifyUI& msg) override;

 protected:
  LPCTSTR GetWindowClassName() const override;
  void InitWindow() override;
  DuiLib::CDuiString GetSkinFolder() override;
  DuiLib::CDuiString GetSkinFile() override;
  LRESULT OnNcHitTest(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled) override;
  LRESULT HandleCustomMessage(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled) override;

 private:
  void HandleClick(DuiLib::TNotifyUI& msg);
  bool OnAgreeChanged(void* param);

  void StartInstallCheck();
  void LoadPreviousLocation();
  void UpdateSpaceLabels();
  void ToggleView();
  void BrowseInstallDir();
  void ShowLicence();

  LRESULT OnInstallDone(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnCompleteChoice(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnQuit(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnActivate(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnStartInstall(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnInstallFailed(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);

  DuiLib::CControlUI* VerticalLayoutOverall = nullptr;
  DuiLib::CControlUI* VerticalLayoutDefault = nullptr;
  DuiLib::CControlUI* VerticalLayoutCustom = nullptr;
  DuiLib::CControlUI* HorizontalLayoutDirectory = nullptr;
  DuiLib::CControlUI* ButtonClose = nullptr;
  DuiLib::CControlUI* ButtonInstall = nullptr;
  DuiLib::CControlUI* ButtonCustom = nullptr;
  DuiLib::CControlUI* ButtonChangeStyle = nullptr;
  DuiLib::CControlUI* ButtonBrowser = nullptr;
  DuiLib::CControlUI* ButtonAgreeProtocal = nullptr;
  DuiLib::CControlUI* ButtonProtocal = nullptr;
  DuiLib::CControlUI* LabelNeededSpace = nullptr;
  DuiLib::CControlUI* LabelAvailSpace = nullptr;
  DuiLib::CControlUI* EditDirectory = nullptr;
  DuiLib::CCheckBoxUI* CheckBoxAgreeProtocal = nullptr;
  // Selects the view the next ToggleView shows: 0 compact, else custom.
  int viewToggle;
  int initialised;
  // Set by the first kMsgStartInstall: one process runs one installation.
  bool installStarted;
};
