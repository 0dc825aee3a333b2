// The licence window: License.rtf beside the installer, streamed into a
// rich edit. Closes on either button; dragged by its caption.
#pragma once
#include <duilib/UIlib.h>

class KorvaInstallProtocalWnd : public DuiLib::WindowImplBase {
 public:
  KorvaInstallProtocalWnd();
  ~KorvaInstallProtocalWnd() override;

  void Notify(DuiLib::TNotifyUI& msg) override;

 protected:
  LPCTSTR GetWindowClassName() const override;
  void InitWindow() override;
  DuiLib::CDuiString GetSkinFolder() override;
  DuiLib::CDuiString GetSkinFile() override;
  LRESULT OnNcHitTest(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled) override;

 private:
  void LoadLicenseText();
  static DWORD CALLBACK ReadLicenseChunk(DWORD_PTR cookie, LPBYTE buffer, LONG wanted, LONG* got);

  DuiLib::CControlUI* ButtonClose = nullptr;
  DuiLib::CControlUI* ButtonConfirm = nullptr;
  DuiLib::CRichEditUI* RichEditProtocal = nullptr;
  // Open while the window lives; INVALID_HANDLE_VALUE when it could not open.
  HANDLE licenceFile;
};
