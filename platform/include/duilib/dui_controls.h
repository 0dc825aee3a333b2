// The leaf controls: labels, texts, buttons, options and check boxes,
// edits, progress bars and scroll bars.
#pragma once
#include <duilib/dui_control.h>

namespace DuiLib {

class UILIB_API CLabelUI : public CControlUI {
 public:
  LPCTSTR GetClass() const override;
  LPVOID GetInterface(LPCTSTR name) override;
  void SetTextColor(DWORD color);
  DWORD GetTextColor() const;
  void SetFont(int index);
  int GetFont() const;
  RECT GetTextPadding() const;
  void SetTextPadding(RECT rc);
  void SetAttribute(LPCTSTR name, LPCTSTR value) override;

 protected:
  TTextStyle textStyle_;
};

// Multi-line text.
class UILIB_API CTextUI : public CLabelUI {
 public:
  LPCTSTR GetClass() const override;
  LPVOID GetInterface(LPCTSTR name) override;
};

class UILIB_API CButtonUI : public CLabelUI {
 public:
  LPCTSTR GetClass() const override;
  LPVOID GetInterface(LPCTSTR name) override;
  // Sends "click".
  bool Activate() override;
  LPCTSTR GetNormalImage() const;
  void SetNormalImage(LPCTSTR image);
  void SetAttribute(LPCTSTR name, LPCTSTR value) override;

 protected:
  CDuiString normalImage_;
};

// A button with a selected state that each click toggles.
class UILIB_API COptionUI : public CButtonUI {
 public:
  LPCTSTR GetClass() const override;
  LPVOID GetInterface(LPCTSTR name) override;
  // Sends "click", then toggles the state.
  bool Activate() override;
  bool IsSelected() const;
  // Sends "selectchanged" when the state changes and triggerEvent is set.
  virtual void Selected(bool selected, bool triggerEvent = true);
  void SetAttribute(LPCTSTR name, LPCTSTR value) override;

 protected:
  bool selected_ = false;
};

class UILIB_API CCheckBoxUI : public COptionUI {
 public:
  LPCTSTR GetClass() const override;
  LPVOID GetInterface(LPCTSTR name) override;
  bool GetCheck() const;
  void SetCheck(bool check, bool triggerEvent = true);
};

class UILIB_API CEditUI : public CLabelUI {
 public:
  LPCTSTR GetClass() const override;
  LPVOID GetInterface(LPCTSTR name) override;
  void SetReadOnly(bool readOnly);
  bool IsReadOnly() const;
  // 0 = no limit; longer texts are cut.
  void SetMaxChar(UINT max);
  UINT GetMaxChar() const;
  void SetText(LPCTSTR text) override;
  void SetAttribute(LPCTSTR name, LPCTSTR value) override;

 protected:
  bool readOnly_ = false;
  UINT maxChar_ = 255;
};

class UILIB_API CProgressUI : public CLabelUI {
 public:
  LPCTSTR GetClass() const override;
  LPVOID GetInterface(LPCTSTR name) override;
  bool IsHorizontal() const;
  void SetHorizontal(bool horizontal = true);
  int GetMinValue() const;
  void SetMinValue(int min);
  int GetMaxValue() const;
  void SetMaxValue(int max);
  int GetValue() const;
  // Kept within [min, max].
  void SetValue(int value);
  void SetAttribute(LPCTSTR name, LPCTSTR value) override;

 protected:
  bool horizontal_ = true;
  int min_ = 0;
  int max_ = 100;
  int value_ = 0;
};

class UILIB_API CScrollBarUI : public CControlUI {
 public:
  CScrollBarUI();
  LPCTSTR GetClass() const override;
  LPVOID GetInterface(LPCTSTR name) override;
  CContainerUI* GetOwner() const;
  void SetOwner(CContainerUI* owner);
  bool IsHorizontal() const;
  void SetHorizontal(bool horizontal = true);

 protected:
  CContainerUI* owner_ = nullptr;
  bool horizontal_ = false;
};

}  // namespace DuiLib
