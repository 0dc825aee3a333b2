// Windows of the library: CWindowWnd wraps one Win32 window; WindowImplBase
// is a skinned window whose controls come from an XML layout.
#pragma once
#include <duilib/dui_builder.h>
#include <duilib/dui_manager.h>

namespace DuiLib {

class UILIB_API CWindowWnd {
 public:
  CWindowWnd();
  CWindowWnd(const CWindowWnd&) = delete;
  CWindowWnd& operator=(const CWindowWnd&) = delete;

  HWND GetHWND() const;
  operator HWND() const;

  bool RegisterWindowClass();
  HWND Create(HWND parent, LPCTSTR name, DWORD style, DWORD exStyle, const RECT rc, HMENU menu = nullptr);
  HWND Create(HWND parent, LPCTSTR name, DWORD style, DWORD exStyle, int x = CW_USEDEFAULT,
              int y = CW_USEDEFAULT, int cx = CW_USEDEFAULT, int cy = CW_USEDEFAULT, HMENU menu = nullptr);

  void ShowWindow(bool show = true, bool takeFocus = true);
  // Runs a nested loop until this window is gone; the owner is disabled
  // meanwhile. Returns the code given to Close. A WM_QUIT that ends the loop
  // is posted again for the loop outside.
  UINT ShowModal();
  // Posts WM_CLOSE with the code that ShowModal returns.
  void Close(UINT ret = IDOK);
  // Centres on the owner, or on the screen when there is none.
  void CenterWindow();
  void SetIcon(UINT res);
  LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
  LRESULT PostMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
  // Sets the size of the client area; -1 keeps a dimension.
  void ResizeClient(int cx = -1, int cy = -1);

 protected:
  virtual LPCTSTR GetWindowClassName() const = 0;
  virtual LPCTSTR GetSuperClassName() const;
  virtual UINT GetClassStyle() const;
  virtual LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  virtual void OnFinalMessage(HWND window);

 public:
  virtual ~CWindowWnd();

 protected:
  static LRESULT CALLBACK WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);

  HWND m_hWnd = nullptr;
  UINT modalResult_ = 0;
};

class UILIB_API WindowImplBase : public CWindowWnd,
                                 public CNotifyPump,
                                 public INotifyUI,
                                 public IMessageFilterUI,
                                 public IDialogBuilderCallback {
 public:
  WindowImplBase();
  ~WindowImplBase() override;

  // Called once the controls of the layout are built.
  virtual void InitWindow();
  // "click" notifications that reach WindowImplBase::Notify.
  virtual void OnClick(TNotifyUI& msg);
  void Notify(TNotifyUI& msg) override;
  CControlUI* CreateControl(LPCTSTR className) override;

 protected:
  virtual CDuiString GetSkinFolder() = 0;
  virtual CDuiString GetSkinFile() = 0;
  virtual LRESULT ResponseDefaultKeyEvent(WPARAM wParam);
  virtual UILIB_RESOURCETYPE GetResourceType() const;
  virtual CDuiString GetZIPFileName() const;
  virtual LPCTSTR GetResourceID() const;
  virtual LRESULT OnClose(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  virtual LRESULT OnDestroy(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  virtual LRESULT OnNcActivate(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  virtual LRESULT OnNcCalcSize(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  virtual LRESULT OnNcPaint(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  // Size box edges and the caption (outside buttons and the like) as the layout gives them.
  virtual LRESULT OnNcHitTest(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  virtual LRESULT OnGetMinMaxInfo(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  virtual LRESULT OnMouseWheel(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  virtual LRESULT OnMouseHover(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  virtual LRESULT OnSize(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  virtual LRESULT OnChar(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  virtual LRESULT OnSysCommand(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  // Builds the controls from the layout; -1 (creation fails) when it cannot.
  virtual LRESULT OnCreate(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  virtual LRESULT OnKeyDown(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  virtual LRESULT OnKillFocus(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  virtual LRESULT OnSetFocus(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  virtual LRESULT OnLButtonDown(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  virtual LRESULT OnLButtonUp(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  virtual LRESULT OnMouseMove(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  // Every message without a handler above comes here first; handled false
  // lets the paint manager and the default window procedure have it.
  virtual LRESULT HandleCustomMessage(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  virtual LONG GetStyle();

  LPCTSTR GetSuperClassName() const override;
  UINT GetClassStyle() const override;
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;
  void OnFinalMessage(HWND window) override;
  LRESULT MessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) override;

  CPaintManagerUI m_PaintManager;
};

// Window shadows are not drawn on this machine.
class UILIB_API CWndShadow {
 public:
  static bool Initialize(HINSTANCE instance);
};

}  // namespace DuiLib
