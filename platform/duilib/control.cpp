#include <duilib/dui_control.h>

#include <cwchar>
#include <cwctype>

#include <duilib/dui_manager.h>

namespace DuiLib {

namespace {

// Reads up to n comma-separated integers.
int ParseInts(LPCTSTR value, LONG* out, int n) {
  if (!value) return 0;
  int count = 0;
  const wchar_t* p = value;
  while (count < n) {
    while (*p == L' ') ++p;
    wchar_t* end = nullptr;
    LONG v = static_cast<LONG>(wcstol(p, &end, 10));
    if (end == p) break;
    out[count++] = v;
    p = end;
    while (*p == L' ') ++p;
    if (*p != L',') break;
    ++p;
  }
  return count;
}

bool PointIn(const RECT& rc, const POINT& pt) {
  return pt.x >= rc.left && pt.x < rc.right && pt.y >= rc.top && pt.y < rc.bottom;
}

}  // namespace

bool ParseRect(LPCTSTR value, RECT* rc) {
  LONG v[4] = {0, 0, 0, 0};
  if (ParseInts(value, v, 4) != 4) return false;
  *rc = RECT{v[0], v[1], v[2], v[3]};
  return true;
}

bool ParseSize(LPCTSTR value, SIZE* size) {
  LONG v[2] = {0, 0};
  if (ParseInts(value, v, 2) != 2) return false;
  *size = SIZE{v[0], v[1]};
  return true;
}

bool ParseBool(LPCTSTR value) { return value && CompareNoCase(value, L"true") == 0; }

DWORD ParseColor(LPCTSTR value) {
  if (!value) return 0;
  while (*value == L'#' || *value == L' ') ++value;
  return static_cast<DWORD>(wcstoul(value, nullptr, 16));
}

int ParseInt(LPCTSTR value) { return value ? static_cast<int>(wcstol(value, nullptr, 10)) : 0; }

bool TTextStyle::SetAttribute(LPCTSTR name, LPCTSTR value) {
  CDuiString n(name);
  RECT rc;
  if (n == L"textcolor") color = ParseColor(value);
  else if (n == L"font") font = ParseInt(value);
  else if (n == L"textpadding") padding = ParseRect(value, &rc) ? rc : padding;
  else return false;
  return true;
}

CControlUI::CControlUI() = default;

CControlUI::~CControlUI() {
  if (manager_) manager_->ReapObjects(this);
}

CDuiString CControlUI::GetName() const { return name_; }
void CControlUI::SetName(LPCTSTR name) { name_ = name; }
LPCTSTR CControlUI::GetClass() const { return L"Control"; }

LPVOID CControlUI::GetInterface(LPCTSTR name) {
  return CompareNoCase(name, L"Control") == 0 ? this : nullptr;
}

bool CControlUI::Activate() { return IsVisible() && IsEnabled(); }

CControlUI* CControlUI::GetParent() const { return parent_; }
CPaintManagerUI* CControlUI::GetManager() const { return manager_; }

void CControlUI::SetManager(CPaintManagerUI* manager, CControlUI* parent, bool init) {
  manager_ = manager;
  parent_ = parent;
  if (init && parent) Init();
}

CDuiString CControlUI::GetText() const { return text_; }

void CControlUI::SetText(LPCTSTR text) {
  text_ = text;
  NeedUpdate();
}

CDuiString CControlUI::GetToolTip() const { return toolTip_; }
void CControlUI::SetToolTip(LPCTSTR text) { toolTip_ = text; }
LPCTSTR CControlUI::GetBkImage() const { return bkImage_; }
void CControlUI::SetBkImage(LPCTSTR image) { bkImage_ = image; }
DWORD CControlUI::GetBkColor() const { return bkColor_; }
void CControlUI::SetBkColor(DWORD color) { bkColor_ = color; }

const RECT& CControlUI::GetPos() const { return pos_; }
void CControlUI::SetPos(RECT rc, bool) { pos_ = rc; }
int CControlUI::GetWidth() const { return pos_.right - pos_.left; }
int CControlUI::GetHeight() const { return pos_.bottom - pos_.top; }
RECT CControlUI::GetPadding() const { return padding_; }

void CControlUI::SetPadding(RECT padding) {
  padding_ = padding;
  NeedParentUpdate();
}

SIZE CControlUI::GetFixedXY() const { return fixedXY_; }

void CControlUI::SetFixedXY(SIZE xy) {
  fixedXY_ = xy;
  NeedParentUpdate();
}

int CControlUI::GetFixedWidth() const { return fixedSize_.cx; }

void CControlUI::SetFixedWidth(int cx) {
  if (cx < 0) return;
  fixedSize_.cx = cx;
  NeedParentUpdate();
}

int CControlUI::GetFixedHeight() const { return fixedSize_.cy; }

void CControlUI::SetFixedHeight(int cy) {
  if (cy < 0) return;
  fixedSize_.cy = cy;
  NeedParentUpdate();
}

bool CControlUI::IsVisible() const { return visible_ && internVisible_; }

void CControlUI::SetVisible(bool visible) {
  if (visible_ == visible) return;
  visible_ = visible;
  NeedParentUpdate();
}

void CControlUI::SetInternVisible(bool visible) { internVisible_ = visible; }
bool CControlUI::IsEnabled() const { return enabled_; }
void CControlUI::SetEnabled(bool enabled) { enabled_ = enabled; }
bool CControlUI::IsMouseEnabled() const { return mouseEnabled_; }
void CControlUI::SetMouseEnabled(bool enabled) { mouseEnabled_ = enabled; }
bool CControlUI::IsFloat() const { return float_; }

void CControlUI::SetFloat(bool isFloat) {
  float_ = isFloat;
  NeedParentUpdate();
}

CControlUI* CControlUI::FindControl(FINDCONTROLPROC proc, LPVOID data, UINT flags) {
  if ((flags & UIFIND_VISIBLE) && !IsVisible()) return nullptr;
  if ((flags & UIFIND_ENABLED) && !IsEnabled()) return nullptr;
  if ((flags & UIFIND_HITTEST) && (!mouseEnabled_ || !PointIn(pos_, *static_cast<POINT*>(data)))) return nullptr;
  return proc(this, data);
}

void CControlUI::NeedUpdate() {
  if (manager_) manager_->NeedUpdate();
}

void CControlUI::NeedParentUpdate() { NeedUpdate(); }

void CControlUI::Init() { DoInit(); }
void CControlUI::DoInit() {}
SIZE CControlUI::EstimateSize(SIZE) { return fixedSize_; }

void CControlUI::SetAttribute(LPCTSTR name, LPCTSTR value) {
  CDuiString n(name);
  if (n == L"name") {
    SetName(value);
  } else if (n == L"text") {
    SetText(value);
  } else if (n == L"tooltip") {
    SetToolTip(value);
  } else if (n == L"bkimage") {
    SetBkImage(value);
  } else if (n == L"bkcolor") {
    SetBkColor(ParseColor(value));
  } else if (n == L"pos") {
    RECT rc;
    if (ParseRect(value, &rc)) {
      SetFixedXY(SIZE{rc.left, rc.top});
      SetFixedWidth(rc.right - rc.left);
      SetFixedHeight(rc.bottom - rc.top);
    }
  } else if (n == L"padding") {
    RECT rc;
    if (ParseRect(value, &rc)) SetPadding(rc);
  } else if (n == L"width") {
    SetFixedWidth(ParseInt(value));
  } else if (n == L"height") {
    SetFixedHeight(ParseInt(value));
  } else if (n == L"visible") {
    SetVisible(ParseBool(value));
  } else if (n == L"enabled") {
    SetEnabled(ParseBool(value));
  } else if (n == L"mouse") {
    SetMouseEnabled(ParseBool(value));
  } else if (n == L"float") {
    SetFloat(ParseBool(value));
  }
  // Drawing attributes (borders, fonts of other kinds, cursors) have no
  // effect on a window that is not drawn.
}

// The list reads: name="value" name2="value2" (values may use &quot; or ').
CControlUI* CControlUI::ApplyAttributeList(LPCTSTR list) {
  const wchar_t* p = list ? list : L"";
  for (;;) {
    while (*p && iswspace(static_cast<wint_t>(*p))) ++p;
    if (!*p) break;
    std::wstring name;
    while (*p && *p != L'=' && !iswspace(static_cast<wint_t>(*p))) name += *p++;
    while (*p && iswspace(static_cast<wint_t>(*p))) ++p;
    if (*p != L'=') break;
    ++p;
    while (*p && iswspace(static_cast<wint_t>(*p))) ++p;
    if (*p != L'"' && *p != L'\'') break;
    wchar_t quote = *p++;
    std::wstring value;
    while (*p && *p != quote) value += *p++;
    if (!*p) break;
    ++p;
    SetAttribute(name.c_str(), value.c_str());
  }
  return this;
}

}  // namespace DuiLib
