// The paint manager: one per window. It holds the window's control tree,
// its layout attributes (size box, caption, fonts), delivers notifications
// and, statically, the resource location and the message loop.
#pragma once
#include <string>
#include <vector>
#include <duilib/dui_control.h>

namespace DuiLib {

struct TNotifyUI {
  CDuiString sType;
  CDuiString sVirtualWnd;
  CControlUI* pSender;
  DWORD dwTimestamp;
  POINT ptMouse;
  WPARAM wParam;
  LPARAM lParam;
};

class UILIB_API INotifyUI {
 public:
  virtual void Notify(TNotifyUI& msg) = 0;

 protected:
  ~INotifyUI() = default;
};

class UILIB_API IMessageFilterUI {
 public:
  virtual LRESULT MessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) = 0;

 protected:
  ~IMessageFilterUI() = default;
};

// Lets a window create controls of classes the library does not know.
class UILIB_API IDialogBuilderCallback {
 public:
  virtual CControlUI* CreateControl(LPCTSTR className) = 0;

 protected:
  ~IDialogBuilderCallback() = default;
};

class UILIB_API CNotifyPump {
 public:
  virtual ~CNotifyPump() = default;
};

struct TFontInfo {
  CDuiString sFontName;
  int iSize;
  bool bBold;
  bool bUnderline;
  bool bItalic;
};

class UILIB_API CPaintManagerUI {
 public:
  CPaintManagerUI();
  CPaintManagerUI(const CPaintManagerUI&) = delete;
  CPaintManagerUI& operator=(const CPaintManagerUI&) = delete;
  ~CPaintManagerUI();

  void Init(HWND window);
  HWND GetPaintWindow() const;

  static HINSTANCE GetInstance();
  static void SetInstance(HINSTANCE instance);
  // Directory of the program, with a trailing backslash.
  static CDuiString GetInstancePath();
  static CDuiString GetResourcePath();
  // Stored with a trailing backslash.
  static void SetResourcePath(LPCTSTR path);
  static CDuiString GetResourceZip();
  // zip: a file name inside the resource path, or a full path; empty = none.
  static void SetResourceZip(LPCTSTR zip, bool cached = false);
  static bool IsCachedResourceZip();
  // Reads a skin file: from the resource archive when one is set, else from
  // the resource path. On failure returns false with the reason in *error.
  static bool LoadResource(LPCTSTR name, std::string* data, CDuiString* error);

  SIZE GetInitSize() const;
  // Sizes the window when it is already attached.
  void SetInitSize(int cx, int cy);
  RECT& GetSizeBox();
  void SetSizeBox(RECT& rc);
  RECT& GetCaptionRect();
  void SetCaptionRect(RECT& rc);
  SIZE GetRoundCorner() const;
  void SetRoundCorner(int cx, int cy);
  SIZE GetMinInfo() const;
  void SetMinInfo(int cx, int cy);
  SIZE GetMaxInfo() const;
  void SetMaxInfo(int cx, int cy);

  // The layout's font table.
  void AddFont(int id, LPCTSTR name, int size, bool bold, bool underline, bool italic);
  const TFontInfo* GetFontInfo(int id) const;
  // Attribute lists applied to every control of a class before its own.
  void AddDefaultAttributeList(LPCTSTR className, LPCTSTR list);
  LPCTSTR GetDefaultAttributeList(LPCTSTR className) const;

  // Takes ownership of the tree.
  bool AttachDialog(CControlUI* root);
  bool InitControls(CControlUI* control, CControlUI* parent = nullptr);
  // A control leaves the window (removed or deleted): forget it everywhere.
  void ReapObjects(CControlUI* control);
  CControlUI* GetRoot() const;
  // Null when no control has that name.
  CControlUI* FindControl(LPCTSTR name) const;
  // The topmost visible control at a client point, or null.
  CControlUI* FindControl(POINT pt);

  bool AddNotifier(INotifyUI* notifier);
  bool RemoveNotifier(INotifyUI* notifier);
  // Synchronous: the sender's OnNotify, then every notifier. Asynchronous:
  // queued and delivered from the window's message queue.
  void SendNotify(TNotifyUI& msg, bool async = false);
  void SendNotify(CControlUI* control, LPCTSTR type, WPARAM wParam = 0, LPARAM lParam = 0,
                  bool async = false);

  bool AddPreMessageFilter(IMessageFilterUI* filter);
  bool RemovePreMessageFilter(IMessageFilterUI* filter);
  bool AddMessageFilter(IMessageFilterUI* filter);
  bool RemoveMessageFilter(IMessageFilterUI* filter);

  // The layout is computed again before it is next looked at.
  void NeedUpdate();
  void UpdateLayout();

  // Queues "windowinit" the first time it is called for this window.
  void RequestWindowInit();

  bool PreMessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result);
  bool MessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result);

  // The paint manager of a window of this process, or null.
  static CPaintManagerUI* FromWindow(HWND window);
  // GetMessageW / TranslateMessage / DispatchMessageW until WM_QUIT.
  static void MessageLoop();
  // Offers a message to the pre-message filters of its window; true when taken.
  static bool TranslateMessage(const LPMSG msg);

 private:
  void DeliverQueuedNotifications();

  HWND window_ = nullptr;
  CControlUI* root_ = nullptr;
  bool updateNeeded_ = false;
  bool windowInitQueued_ = false;
  CControlUI* pressed_ = nullptr;
  SIZE initSize_ = {0, 0};
  RECT sizeBox_ = {0, 0, 0, 0};
  RECT caption_ = {0, 0, 0, 0};
  SIZE roundCorner_ = {0, 0};
  SIZE minInfo_ = {0, 0};
  SIZE maxInfo_ = {0, 0};
  std::vector<std::pair<int, TFontInfo>> fonts_;
  std::vector<std::pair<CDuiString, CDuiString>> defaultAttributes_;
  std::vector<INotifyUI*> notifiers_;
  std::vector<IMessageFilterUI*> preFilters_;
  std::vector<IMessageFilterUI*> filters_;
  std::vector<TNotifyUI> queued_;
};

}  // namespace DuiLib
