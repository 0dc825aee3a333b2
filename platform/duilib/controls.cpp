#include <duilib/dui_controls.h>

#include <duilib/dui_manager.h>

namespace DuiLib {

// Each class answers to its own name and to every base's.
#define DUI_INTERFACE(Class, Name, Base)                   \
  LPCTSTR Class::GetClass() const { return Name; }         \
  LPVOID Class::GetInterface(LPCTSTR name) {               \
    if (CompareNoCase(name, Name) == 0) return this;       \
    return Base::GetInterface(name);                       \
  }

DUI_INTERFACE(CLabelUI, L"Label", CControlUI)
DUI_INTERFACE(CTextUI, L"Text", CLabelUI)
DUI_INTERFACE(CButtonUI, L"Button", CLabelUI)
DUI_INTERFACE(COptionUI, L"Option", CButtonUI)
DUI_INTERFACE(CCheckBoxUI, L"CheckBox", COptionUI)
DUI_INTERFACE(CEditUI, L"Edit", CLabelUI)
DUI_INTERFACE(CProgressUI, L"Progress", CLabelUI)
DUI_INTERFACE(CScrollBarUI, L"ScrollBar", CControlUI)

void CLabelUI::SetTextColor(DWORD color) { textStyle_.color = color; }
DWORD CLabelUI::GetTextColor() const { return textStyle_.color; }
void CLabelUI::SetFont(int index) { textStyle_.font = index; }
int CLabelUI::GetFont() const { return textStyle_.font; }
RECT CLabelUI::GetTextPadding() const { return textStyle_.padding; }
void CLabelUI::SetTextPadding(RECT rc) { textStyle_.padding = rc; }

void CLabelUI::SetAttribute(LPCTSTR name, LPCTSTR value) {
  if (!textStyle_.SetAttribute(name, value)) CControlUI::SetAttribute(name, value);
}

bool CButtonUI::Activate() {
  if (!CControlUI::Activate()) return false;
  if (manager_) manager_->SendNotify(this, L"click");
  return true;
}

LPCTSTR CButtonUI::GetNormalImage() const { return normalImage_; }
void CButtonUI::SetNormalImage(LPCTSTR image) { normalImage_ = image; }

void CButtonUI::SetAttribute(LPCTSTR name, LPCTSTR value) {
  if (CDuiString(name) == L"normalimage") SetNormalImage(value);
  else CLabelUI::SetAttribute(name, value);
}

bool COptionUI::Activate() {
  if (!CButtonUI::Activate()) return false;
  Selected(!selected_);
  return true;
}

bool COptionUI::IsSelected() const { return selected_; }

void COptionUI::Selected(bool selected, bool triggerEvent) {
  if (selected_ == selected) return;
  selected_ = selected;
  if (triggerEvent && manager_) manager_->SendNotify(this, L"selectchanged");
}

void COptionUI::SetAttribute(LPCTSTR name, LPCTSTR value) {
  if (CDuiString(name) == L"selected") selected_ = ParseBool(value);
  else CButtonUI::SetAttribute(name, value);
}

bool CCheckBoxUI::GetCheck() const { return IsSelected(); }
void CCheckBoxUI::SetCheck(bool check, bool triggerEvent) { Selected(check, triggerEvent); }

void CEditUI::SetReadOnly(bool readOnly) { readOnly_ = readOnly; }
bool CEditUI::IsReadOnly() const { return readOnly_; }
UINT CEditUI::GetMaxChar() const { return maxChar_; }

void CEditUI::SetMaxChar(UINT max) {
  maxChar_ = max;
  if (max > 0 && static_cast<UINT>(text_.GetLength()) > max) text_ = text_.Left(static_cast<int>(max));
}

void CEditUI::SetText(LPCTSTR text) {
  CDuiString t(text);
  if (maxChar_ > 0 && static_cast<UINT>(t.GetLength()) > maxChar_) t = t.Left(static_cast<int>(maxChar_));
  CLabelUI::SetText(t);
}

void CEditUI::SetAttribute(LPCTSTR name, LPCTSTR value) {
  CDuiString n(name);
  if (n == L"readonly") SetReadOnly(ParseBool(value));
  else if (n == L"maxchar") SetMaxChar(static_cast<UINT>(ParseInt(value)));
  else CLabelUI::SetAttribute(name, value);
}

bool CProgressUI::IsHorizontal() const { return horizontal_; }
void CProgressUI::SetHorizontal(bool horizontal) { horizontal_ = horizontal; }
int CProgressUI::GetMinValue() const { return min_; }
int CProgressUI::GetMaxValue() const { return max_; }
int CProgressUI::GetValue() const { return value_; }

void CProgressUI::SetMinValue(int min) {
  min_ = min;
  if (max_ < min_) max_ = min_;
  SetValue(value_);
}

void CProgressUI::SetMaxValue(int max) {
  max_ = max;
  if (min_ > max_) min_ = max_;
  SetValue(value_);
}

void CProgressUI::SetValue(int value) {
  value_ = value < min_ ? min_ : (value > max_ ? max_ : value);
}

void CProgressUI::SetAttribute(LPCTSTR name, LPCTSTR value) {
  CDuiString n(name);
  if (n == L"hor") SetHorizontal(ParseBool(value));
  else if (n == L"min") SetMinValue(ParseInt(value));
  else if (n == L"max") SetMaxValue(ParseInt(value));
  else if (n == L"value") SetValue(ParseInt(value));
  else CLabelUI::SetAttribute(name, value);
}

CScrollBarUI::CScrollBarUI() { fixedSize_ = SIZE{8, 0}; }
CContainerUI* CScrollBarUI::GetOwner() const { return owner_; }
void CScrollBarUI::SetOwner(CContainerUI* owner) { owner_ = owner; }
bool CScrollBarUI::IsHorizontal() const { return horizontal_; }

void CScrollBarUI::SetHorizontal(bool horizontal) {
  horizontal_ = horizontal;
  fixedSize_ = horizontal ? SIZE{0, 8} : SIZE{8, 0};
}

}  // namespace DuiLib
