#include <duilib/dui_container.h>

#include <algorithm>

#include <duilib/dui_controls.h>
#include <duilib/dui_manager.h>

namespace DuiLib {

namespace {

bool PointIn(const RECT& rc, const POINT& pt) {
  return pt.x >= rc.left && pt.x < rc.right && pt.y >= rc.top && pt.y < rc.bottom;
}

// Lays out the children of a vertical (or, with across = true, horizontal)
// layout inside inner: fixed sizes are kept, the rest share what is left.
void StackChildren(const std::vector<CControlUI*>& items, RECT inner, int childPadding, bool across) {
  const LONG length = across ? inner.right - inner.left : inner.bottom - inner.top;
  const LONG breadth = across ? inner.bottom - inner.top : inner.right - inner.left;
  LONG fixedTotal = 0;
  int stretchCount = 0;
  int placed = 0;
  for (CControlUI* c : items) {
    if (!c->IsVisible() || c->IsFloat()) continue;
    SIZE sz = c->EstimateSize(SIZE{inner.right - inner.left, inner.bottom - inner.top});
    RECT pad = c->GetPadding();
    LONG main = across ? sz.cx : sz.cy;
    if (main == 0) ++stretchCount;
    fixedTotal += main + (across ? pad.left + pad.right : pad.top + pad.bottom);
    ++placed;
  }
  if (placed > 1) fixedTotal += static_cast<LONG>(placed - 1) * childPadding;
  LONG rest = std::max<LONG>(0, length - fixedTotal);
  LONG share = stretchCount ? rest / stretchCount : 0;
  LONG remainder = stretchCount ? rest % stretchCount : 0;

  LONG cursor = across ? inner.left : inner.top;
  for (CControlUI* c : items) {
    if (!c->IsVisible() || c->IsFloat()) continue;
    SIZE sz = c->EstimateSize(SIZE{inner.right - inner.left, inner.bottom - inner.top});
    RECT pad = c->GetPadding();
    LONG main = across ? sz.cx : sz.cy;
    if (main == 0) {
      main = share + (--stretchCount == 0 ? remainder : 0);
    }
    LONG cross = across ? sz.cy : sz.cx;
    LONG crossStart = across ? inner.top + pad.top : inner.left + pad.left;
    if (cross == 0) cross = breadth - (across ? pad.top + pad.bottom : pad.left + pad.right);
    cursor += across ? pad.left : pad.top;
    RECT rc = across ? RECT{cursor, crossStart, cursor + main, crossStart + cross}
                     : RECT{crossStart, cursor, crossStart + cross, cursor + main};
    c->SetPos(rc);
    cursor += main + (across ? pad.right : pad.bottom) + childPadding;
  }
}

}  // namespace

CContainerUI::CContainerUI() = default;

CContainerUI::~CContainerUI() {
  RemoveAll();
  delete verticalScrollBar_;
  delete horizontalScrollBar_;
}

LPCTSTR CContainerUI::GetClass() const { return L"Container"; }

LPVOID CContainerUI::GetInterface(LPCTSTR name) {
  if (CompareNoCase(name, L"Container") == 0) return this;
  return CControlUI::GetInterface(name);
}

CControlUI* CContainerUI::GetItemAt(int index) const {
  return index >= 0 && index < GetCount() ? items_[static_cast<size_t>(index)] : nullptr;
}

int CContainerUI::GetItemIndex(CControlUI* control) const {
  auto it = std::find(items_.begin(), items_.end(), control);
  return it == items_.end() ? -1 : static_cast<int>(it - items_.begin());
}

int CContainerUI::GetCount() const { return static_cast<int>(items_.size()); }

bool CContainerUI::Add(CControlUI* control) { return AddAt(control, GetCount()); }

bool CContainerUI::AddAt(CControlUI* control, int index) {
  if (!control || index < 0 || index > GetCount() || GetItemIndex(control) >= 0) return false;
  items_.insert(items_.begin() + index, control);
  control->SetManager(manager_, this, manager_ != nullptr);
  control->SetInternVisible(IsVisible());
  NeedUpdate();
  return true;
}

bool CContainerUI::Remove(CControlUI* control) { return RemoveAt(GetItemIndex(control)); }

bool CContainerUI::RemoveAt(int index) {
  CControlUI* control = GetItemAt(index);
  if (!control) return false;
  items_.erase(items_.begin() + index);
  delete control;
  NeedUpdate();
  return true;
}

void CContainerUI::RemoveAll() {
  std::vector<CControlUI*> items;
  items.swap(items_);
  for (CControlUI* c : items) delete c;
  NeedUpdate();
}

RECT CContainerUI::GetInset() const { return inset_; }

void CContainerUI::SetInset(RECT rc) {
  inset_ = rc;
  NeedUpdate();
}

int CContainerUI::GetChildPadding() const { return childPadding_; }

void CContainerUI::SetChildPadding(int padding) {
  childPadding_ = padding;
  NeedUpdate();
}

void CContainerUI::EnableScrollBar(bool vertical, bool horizontal) {
  if (vertical && !verticalScrollBar_) {
    verticalScrollBar_ = new CScrollBarUI;
    verticalScrollBar_->SetOwner(this);
    verticalScrollBar_->SetManager(manager_, this, false);
    verticalScrollBar_->SetInternVisible(IsVisible());
  } else if (!vertical && verticalScrollBar_) {
    delete verticalScrollBar_;
    verticalScrollBar_ = nullptr;
  }
  if (horizontal && !horizontalScrollBar_) {
    horizontalScrollBar_ = new CScrollBarUI;
    horizontalScrollBar_->SetHorizontal(true);
    horizontalScrollBar_->SetOwner(this);
    horizontalScrollBar_->SetManager(manager_, this, false);
    horizontalScrollBar_->SetInternVisible(IsVisible());
  } else if (!horizontal && horizontalScrollBar_) {
    delete horizontalScrollBar_;
    horizontalScrollBar_ = nullptr;
  }
  NeedUpdate();
}

CScrollBarUI* CContainerUI::GetVerticalScrollBar() const { return verticalScrollBar_; }
CScrollBarUI* CContainerUI::GetHorizontalScrollBar() const { return horizontalScrollBar_; }

void CContainerUI::SetVisible(bool visible) {
  CControlUI::SetVisible(visible);
  SetInternVisible(internVisible_);
}

void CContainerUI::SetInternVisible(bool visible) {
  CControlUI::SetInternVisible(visible);
  for (CControlUI* c : items_) c->SetInternVisible(IsVisible());
  if (verticalScrollBar_) verticalScrollBar_->SetInternVisible(IsVisible());
  if (horizontalScrollBar_) horizontalScrollBar_->SetInternVisible(IsVisible());
}

void CContainerUI::SetManager(CPaintManagerUI* manager, CControlUI* parent, bool init) {
  for (CControlUI* c : items_) c->SetManager(manager, this, init);
  if (verticalScrollBar_) verticalScrollBar_->SetManager(manager, this, init);
  if (horizontalScrollBar_) horizontalScrollBar_->SetManager(manager, this, init);
  CControlUI::SetManager(manager, parent, init);
}

CControlUI* CContainerUI::FindControl(FINDCONTROLPROC proc, LPVOID data, UINT flags) {
  if ((flags & UIFIND_VISIBLE) && !IsVisible()) return nullptr;
  if ((flags & UIFIND_ENABLED) && !IsEnabled()) return nullptr;
  if ((flags & UIFIND_HITTEST) && !PointIn(pos_, *static_cast<POINT*>(data))) return nullptr;
  CControlUI* found = nullptr;
  if ((flags & UIFIND_ME_FIRST) && (found = CControlUI::FindControl(proc, data, flags))) return found;
  for (CScrollBarUI* bar : {verticalScrollBar_, horizontalScrollBar_}) {
    if (bar && (found = bar->FindControl(proc, data, flags))) return found;
  }
  if (flags & UIFIND_TOP_FIRST) {
    for (auto it = items_.rbegin(); it != items_.rend(); ++it) {
      if ((found = (*it)->FindControl(proc, data, flags))) return found;
    }
  } else {
    for (CControlUI* c : items_) {
      if ((found = c->FindControl(proc, data, flags))) return found;
    }
  }
  if (!(flags & UIFIND_ME_FIRST)) found = CControlUI::FindControl(proc, data, flags);
  return found;
}

RECT CContainerUI::InnerRect() const {
  RECT rc{pos_.left + inset_.left, pos_.top + inset_.top, pos_.right - inset_.right, pos_.bottom - inset_.bottom};
  if (verticalScrollBar_ && verticalScrollBar_->IsVisible()) rc.right -= verticalScrollBar_->GetFixedWidth();
  if (horizontalScrollBar_ && horizontalScrollBar_->IsVisible()) rc.bottom -= horizontalScrollBar_->GetFixedHeight();
  if (rc.right < rc.left) rc.right = rc.left;
  if (rc.bottom < rc.top) rc.bottom = rc.top;
  return rc;
}

void CContainerUI::PlaceFloat(CControlUI* child) {
  SIZE xy = child->GetFixedXY();
  LONG left = pos_.left + xy.cx, top = pos_.top + xy.cy;
  child->SetPos(RECT{left, top, left + child->GetFixedWidth(), top + child->GetFixedHeight()});
}

void CContainerUI::Stack(RECT rc, bool across) {
  CControlUI::SetPos(rc);
  PlaceScrollBars();
  StackChildren(items_, InnerRect(), childPadding_, across);
  for (CControlUI* c : items_) {
    if (c->IsVisible() && c->IsFloat()) PlaceFloat(c);
  }
}

void CContainerUI::PlaceScrollBars() {
  RECT inner = InnerRect();
  if (verticalScrollBar_ && verticalScrollBar_->IsVisible()) {
    verticalScrollBar_->SetPos(
        RECT{inner.right, inner.top, inner.right + verticalScrollBar_->GetFixedWidth(), inner.bottom});
  }
  if (horizontalScrollBar_ && horizontalScrollBar_->IsVisible()) {
    horizontalScrollBar_->SetPos(
        RECT{inner.left, inner.bottom, inner.right, inner.bottom + horizontalScrollBar_->GetFixedHeight()});
  }
}

// A plain container gives every child its whole inner rectangle (less the
// child's padding), or the child's fixed size from the top left.
void CContainerUI::SetPos(RECT rc, bool) {
  CControlUI::SetPos(rc);
  PlaceScrollBars();
  RECT inner = InnerRect();
  for (CControlUI* c : items_) {
    if (!c->IsVisible()) continue;
    if (c->IsFloat()) {
      PlaceFloat(c);
      continue;
    }
    RECT pad = c->GetPadding();
    RECT r{inner.left + pad.left, inner.top + pad.top, inner.right - pad.right, inner.bottom - pad.bottom};
    if (c->GetFixedWidth() > 0) r.right = r.left + c->GetFixedWidth();
    if (c->GetFixedHeight() > 0) r.bottom = r.top + c->GetFixedHeight();
    c->SetPos(r);
  }
}

void CContainerUI::SetAttribute(LPCTSTR name, LPCTSTR value) {
  CDuiString n(name);
  RECT rc;
  if (n == L"inset") {
    if (ParseRect(value, &rc)) SetInset(rc);
  } else if (n == L"childpadding") {
    SetChildPadding(ParseInt(value));
  } else if (n == L"vscrollbar") {
    EnableScrollBar(ParseBool(value), horizontalScrollBar_ != nullptr);
  } else if (n == L"hscrollbar") {
    EnableScrollBar(verticalScrollBar_ != nullptr, ParseBool(value));
  } else {
    CControlUI::SetAttribute(name, value);
  }
}

LPCTSTR CVerticalLayoutUI::GetClass() const { return L"VerticalLayout"; }

LPVOID CVerticalLayoutUI::GetInterface(LPCTSTR name) {
  if (CompareNoCase(name, L"VerticalLayout") == 0) return this;
  return CContainerUI::GetInterface(name);
}

void CVerticalLayoutUI::SetPos(RECT rc, bool) { Stack(rc, false); }

LPCTSTR CHorizontalLayoutUI::GetClass() const { return L"HorizontalLayout"; }

LPVOID CHorizontalLayoutUI::GetInterface(LPCTSTR name) {
  if (CompareNoCase(name, L"HorizontalLayout") == 0) return this;
  return CContainerUI::GetInterface(name);
}

void CHorizontalLayoutUI::SetPos(RECT rc, bool) { Stack(rc, true); }

}  // namespace DuiLib
