// The base of every control: name, text, state, fixed size and position,
// background image and the notification event source.
#pragma once
#include <duilib/dui_delegate.h>
#include <duilib/dui_string.h>

namespace DuiLib {

// FindControl flags.
#define UIFIND_ALL 0x00000000
#define UIFIND_VISIBLE 0x00000001
#define UIFIND_ENABLED 0x00000002
#define UIFIND_HITTEST 0x00000004
#define UIFIND_TOP_FIRST 0x00000008
#define UIFIND_ME_FIRST 0x80000000

typedef CControlUI*(CALLBACK* FINDCONTROLPROC)(CControlUI* control, LPVOID data);

class UILIB_API CControlUI {
 public:
  CControlUI();
  CControlUI(const CControlUI&) = delete;
  CControlUI& operator=(const CControlUI&) = delete;
  virtual ~CControlUI();

  virtual CDuiString GetName() const;
  virtual void SetName(LPCTSTR name);
  // The class name of the layout ("Button", "Label" ...).
  virtual LPCTSTR GetClass() const;
  // This control as the named class, or null ("Control", "Button" ...).
  virtual LPVOID GetInterface(LPCTSTR name);

  // What a click on the control does; false when it is disabled or hidden.
  virtual bool Activate();

  virtual CControlUI* GetParent() const;
  CPaintManagerUI* GetManager() const;
  virtual void SetManager(CPaintManagerUI* manager, CControlUI* parent, bool init = true);

  virtual CDuiString GetText() const;
  virtual void SetText(LPCTSTR text);
  virtual CDuiString GetToolTip() const;
  virtual void SetToolTip(LPCTSTR text);

  LPCTSTR GetBkImage() const;
  void SetBkImage(LPCTSTR image);
  DWORD GetBkColor() const;
  void SetBkColor(DWORD color);

  // Position inside the window's client area, as the last layout gave it.
  virtual const RECT& GetPos() const;
  virtual void SetPos(RECT rc, bool needInvalidate = true);
  virtual int GetWidth() const;
  virtual int GetHeight() const;
  virtual RECT GetPadding() const;
  virtual void SetPadding(RECT padding);
  // Offset inside the parent of a floating control.
  virtual SIZE GetFixedXY() const;
  virtual void SetFixedXY(SIZE xy);
  // 0 means: the layout decides.
  virtual int GetFixedWidth() const;
  virtual void SetFixedWidth(int cx);
  virtual int GetFixedHeight() const;
  virtual void SetFixedHeight(int cy);

  // Visible and enabled are the control's own flags; IsVisible also goes
  // false when a parent is hidden.
  virtual bool IsVisible() const;
  virtual void SetVisible(bool visible = true);
  virtual void SetInternVisible(bool visible = true);
  virtual bool IsEnabled() const;
  virtual void SetEnabled(bool enabled = true);
  virtual bool IsMouseEnabled() const;
  virtual void SetMouseEnabled(bool enabled = true);
  virtual bool IsFloat() const;
  virtual void SetFloat(bool isFloat = true);

  virtual CControlUI* FindControl(FINDCONTROLPROC proc, LPVOID data, UINT flags);

  // Tells the window that the layout must be computed again.
  void NeedUpdate();
  void NeedParentUpdate();

  virtual void Init();
  virtual void DoInit();
  // Desired size for the layout: the fixed size, or the available one.
  virtual SIZE EstimateSize(SIZE available);

  virtual void SetAttribute(LPCTSTR name, LPCTSTR value);
  CControlUI* ApplyAttributeList(LPCTSTR list);

  // Every notification sent on behalf of this control, before the window's notifiers.
  CEventSource OnNotify;

 protected:
  CPaintManagerUI* manager_ = nullptr;
  CControlUI* parent_ = nullptr;
  CDuiString name_;
  CDuiString text_;
  CDuiString toolTip_;
  CDuiString bkImage_;
  DWORD bkColor_ = 0;
  RECT pos_ = {0, 0, 0, 0};
  RECT padding_ = {0, 0, 0, 0};
  SIZE fixedXY_ = {0, 0};
  SIZE fixedSize_ = {0, 0};
  bool visible_ = true;
  bool internVisible_ = true;
  bool enabled_ = true;
  bool mouseEnabled_ = true;
  bool float_ = false;
};

// Colour, font and padding of a control's text.
struct UILIB_API TTextStyle {
  DWORD color = 0;
  int font = -1;  // index into the window's font table; -1 is the default font
  RECT padding = {0, 0, 0, 0};
  // Takes "textcolor", "font" and "textpadding"; false for any other attribute.
  bool SetAttribute(LPCTSTR name, LPCTSTR value);
};

// Attribute value helpers shared by the controls ("1,2,3,4", "true", "#FF112233").
bool ParseRect(LPCTSTR value, RECT* rc);
bool ParseSize(LPCTSTR value, SIZE* size);
bool ParseBool(LPCTSTR value);
DWORD ParseColor(LPCTSTR value);
int ParseInt(LPCTSTR value);

}  // namespace DuiLib
