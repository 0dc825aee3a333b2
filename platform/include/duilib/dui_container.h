// Containers and layouts. A vertical layout stacks its children: children
// with a fixed height keep it, the others share what is left; widths fill
// the layout unless fixed. The horizontal layout does the same across.
#pragma once
#include <vector>
#include <duilib/dui_control.h>

namespace DuiLib {

class UILIB_API CContainerUI : public CControlUI {
 public:
  CContainerUI();
  ~CContainerUI() override;
  LPCTSTR GetClass() const override;
  LPVOID GetInterface(LPCTSTR name) override;

  CControlUI* GetItemAt(int index) const;
  int GetItemIndex(CControlUI* control) const;
  int GetCount() const;
  // The container owns its items: Remove deletes them.
  virtual bool Add(CControlUI* control);
  virtual bool AddAt(CControlUI* control, int index);
  virtual bool Remove(CControlUI* control);
  virtual bool RemoveAt(int index);
  virtual void RemoveAll();

  virtual RECT GetInset() const;
  virtual void SetInset(RECT rc);
  virtual int GetChildPadding() const;
  virtual void SetChildPadding(int padding);

  virtual void EnableScrollBar(bool vertical = true, bool horizontal = false);
  virtual CScrollBarUI* GetVerticalScrollBar() const;
  virtual CScrollBarUI* GetHorizontalScrollBar() const;

  void SetVisible(bool visible = true) override;
  void SetInternVisible(bool visible = true) override;
  void SetManager(CPaintManagerUI* manager, CControlUI* parent, bool init = true) override;
  CControlUI* FindControl(FINDCONTROLPROC proc, LPVOID data, UINT flags) override;
  void SetPos(RECT rc, bool needInvalidate = true) override;
  void SetAttribute(LPCTSTR name, LPCTSTR value) override;

 protected:
  // The inner rectangle: position less inset and visible scroll bars.
  RECT InnerRect() const;
  void PlaceFloat(CControlUI* child);
  void PlaceScrollBars();
  // Lays the children out one after the other: downwards, or across.
  void Stack(RECT rc, bool across);

  std::vector<CControlUI*> items_;
  RECT inset_ = {0, 0, 0, 0};
  int childPadding_ = 0;
  CScrollBarUI* verticalScrollBar_ = nullptr;
  CScrollBarUI* horizontalScrollBar_ = nullptr;
};

class UILIB_API CVerticalLayoutUI : public CContainerUI {
 public:
  LPCTSTR GetClass() const override;
  LPVOID GetInterface(LPCTSTR name) override;
  void SetPos(RECT rc, bool needInvalidate = true) override;
};

class UILIB_API CHorizontalLayoutUI : public CContainerUI {
 public:
  LPCTSTR GetClass() const override;
  LPVOID GetInterface(LPCTSTR name) override;
  void SetPos(RECT rc, bool needInvalidate = true) override;
};

}  // namespace DuiLib
