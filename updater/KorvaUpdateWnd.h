// The update window: shows the version being installed, its release text and
// the progress of the run; Close and Cancel end the program at any time. The
// whole update runs inside its "windowinit" notification (OnPrepare).
#pragma once
#include <string>

#include <duilib/UIlib.h>

class UpdateContext;
struct UpdateInfo;

// Filled with a package's versionName for LabelFeature.
extern const WCHAR kVersionTooLowFormat[];

class KorvaUpdateWnd : public DuiLib::WindowImplBase {
 public:
  KorvaUpdateWnd();
  ~KorvaUpdateWnd() override;

  void InitWindow() override;
  void Notify(DuiLib::TNotifyUI& msg) override;

 protected:
  LPCTSTR GetWindowClassName() const override;
  DuiLib::CDuiString GetSkinFolder() override;
  DuiLib::CDuiString GetSkinFile() override;
  LRESULT HandleCustomMessage(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled) override;

 private:
  void HandleClick(DuiLib::TNotifyUI& msg);
  LRESULT OnTimer(UINT msg, WPARAM timerId, LPARAM lParam, BOOL& handled);

  // One update run (update_flow.cpp).
  void OnPrepare();
  // Puts a package's version and release text into the window.
  void ShowPackage(const std::wstring& versionName, const std::wstring* releaseText);
  // Message box "提示" over this window, then the end of the run.
  void FailRun(const char* logLine, const WCHAR* text, int mode);
  void EndRun();
  // Applies the main or the delta package with its statistics record; on
  // failure shows the box with the launcher and the official site, stops the
  // progress timer and ends the run (false).
  bool ApplyPackage(const UpdateInfo& info, int updateObj, int (UpdateContext::*apply)(), const char* failLog,
                    const WCHAR* failText);

  DuiLib::CControlUI* ButtonClose = nullptr;
  DuiLib::CControlUI* ButtonCancel = nullptr;
  DuiLib::CControlUI* LabelFeature = nullptr;
  DuiLib::CProgressUI* ProgressUpdate = nullptr;
  DuiLib::CControlUI* TextUpdateDetail = nullptr;
  // Set by the flow once the last package step has succeeded; the timer then
  // shows 100 and completes the run.
  bool updateDone = false;
};
