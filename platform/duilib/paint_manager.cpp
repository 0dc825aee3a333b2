#include <duilib/dui_manager.h>
#include <windowsx.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>

#include "duilib/automation_commands.h"

namespace DuiLib {

namespace {

// Posted to a window for each queued notification; far from WM_USER+n,
// which the programs use for their own messages.
const UINT kQueuedNotifyMessage = WM_APP + 0x3E51;

std::mutex& RegistryLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

std::map<HWND, CPaintManagerUI*>& Registry() {
  static auto* registry = new std::map<HWND, CPaintManagerUI*>;
  return *registry;
}

void Register(HWND window, CPaintManagerUI* manager) {
  if (!window) return;
  std::lock_guard<std::mutex> guard(RegistryLock());
  Registry()[window] = manager;
}

void Unregister(HWND window, CPaintManagerUI* manager) {
  if (!window) return;
  std::lock_guard<std::mutex> guard(RegistryLock());
  auto it = Registry().find(window);
  if (it != Registry().end() && it->second == manager) Registry().erase(it);
}

CControlUI* CALLBACK FindByName(CControlUI* control, LPVOID data) {
  return control->GetName() == static_cast<LPCTSTR>(data) ? control : nullptr;
}

CControlUI* CALLBACK FindAtPoint(CControlUI* control, LPVOID) { return control; }

template <class T>
bool AddOnce(std::vector<T*>& list, T* item) {
  if (!item || std::find(list.begin(), list.end(), item) != list.end()) return false;
  list.push_back(item);
  return true;
}

template <class T>
bool RemoveFrom(std::vector<T*>& list, T* item) {
  auto it = std::find(list.begin(), list.end(), item);
  if (it == list.end()) return false;
  list.erase(it);
  return true;
}

// The first filter that handles the message decides; a filter may remove
// itself meanwhile, so a copy of the list is walked.
bool RunFilters(std::vector<IMessageFilterUI*> filters, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  for (IMessageFilterUI* f : filters) {
    bool handled = false;
    LRESULT r = f->MessageHandler(msg, wParam, lParam, handled);
    if (handled) {
      result = r;
      return true;
    }
  }
  return false;
}

}  // namespace

CPaintManagerUI::CPaintManagerUI() = default;

CPaintManagerUI::~CPaintManagerUI() {
  Unregister(window_, this);
  CControlUI* root = root_;
  root_ = nullptr;
  delete root;
}

void CPaintManagerUI::Init(HWND window) {
  Unregister(window_, this);
  window_ = window;
  Register(window_, this);
  if (window_) RegisterControlCommands();
}

HWND CPaintManagerUI::GetPaintWindow() const { return window_; }

SIZE CPaintManagerUI::GetInitSize() const { return initSize_; }

void CPaintManagerUI::SetInitSize(int cx, int cy) {
  initSize_ = SIZE{cx, cy};
  if (window_) ::SetWindowPos(window_, nullptr, 0, 0, cx, cy, SWP_NOZORDER | SWP_NOMOVE | SWP_NOACTIVATE);
}

RECT& CPaintManagerUI::GetSizeBox() { return sizeBox_; }
void CPaintManagerUI::SetSizeBox(RECT& rc) { sizeBox_ = rc; }
RECT& CPaintManagerUI::GetCaptionRect() { return caption_; }
void CPaintManagerUI::SetCaptionRect(RECT& rc) { caption_ = rc; }
SIZE CPaintManagerUI::GetRoundCorner() const { return roundCorner_; }
void CPaintManagerUI::SetRoundCorner(int cx, int cy) { roundCorner_ = SIZE{cx, cy}; }
SIZE CPaintManagerUI::GetMinInfo() const { return minInfo_; }
void CPaintManagerUI::SetMinInfo(int cx, int cy) { minInfo_ = SIZE{cx, cy}; }
SIZE CPaintManagerUI::GetMaxInfo() const { return maxInfo_; }
void CPaintManagerUI::SetMaxInfo(int cx, int cy) { maxInfo_ = SIZE{cx, cy}; }

void CPaintManagerUI::AddFont(int id, LPCTSTR name, int size, bool bold, bool underline, bool italic) {
  TFontInfo info{CDuiString(name), size, bold, underline, italic};
  for (auto& f : fonts_) {
    if (f.first == id) {
      f.second = info;
      return;
    }
  }
  fonts_.emplace_back(id, info);
}

const TFontInfo* CPaintManagerUI::GetFontInfo(int id) const {
  for (const auto& f : fonts_) {
    if (f.first == id) return &f.second;
  }
  return nullptr;
}

void CPaintManagerUI::AddDefaultAttributeList(LPCTSTR className, LPCTSTR list) {
  for (auto& d : defaultAttributes_) {
    if (d.first == className) {
      d.second = list;
      return;
    }
  }
  defaultAttributes_.emplace_back(CDuiString(className), CDuiString(list));
}

LPCTSTR CPaintManagerUI::GetDefaultAttributeList(LPCTSTR className) const {
  for (const auto& d : defaultAttributes_) {
    if (d.first == className) return d.second;
  }
  return nullptr;
}

bool CPaintManagerUI::AttachDialog(CControlUI* root) {
  if (!root) return false;
  if (root_ != root) {
    CControlUI* old = root_;
    root_ = root;
    delete old;
  }
  windowInitQueued_ = false;
  InitControls(root_);
  NeedUpdate();
  return true;
}

bool CPaintManagerUI::InitControls(CControlUI* control, CControlUI* parent) {
  if (!control) return false;
  control->SetManager(this, parent ? parent : control->GetParent(), true);
  return true;
}

void CPaintManagerUI::ReapObjects(CControlUI* control) {
  if (pressed_ == control) pressed_ = nullptr;
  for (auto& msg : queued_) {
    if (msg.pSender == control) msg.pSender = nullptr;
  }
  if (root_ == control) root_ = nullptr;
}

CControlUI* CPaintManagerUI::GetRoot() const { return root_; }

CControlUI* CPaintManagerUI::FindControl(LPCTSTR name) const {
  if (!root_ || !name) return nullptr;
  return root_->FindControl(FindByName, const_cast<LPTSTR>(name), UIFIND_ALL | UIFIND_ME_FIRST);
}

CControlUI* CPaintManagerUI::FindControl(POINT pt) {
  if (!root_) return nullptr;
  if (updateNeeded_) UpdateLayout();
  return root_->FindControl(FindAtPoint, &pt, UIFIND_VISIBLE | UIFIND_HITTEST | UIFIND_TOP_FIRST);
}

bool CPaintManagerUI::AddNotifier(INotifyUI* notifier) { return AddOnce(notifiers_, notifier); }
bool CPaintManagerUI::RemoveNotifier(INotifyUI* notifier) { return RemoveFrom(notifiers_, notifier); }
bool CPaintManagerUI::AddPreMessageFilter(IMessageFilterUI* filter) { return AddOnce(preFilters_, filter); }
bool CPaintManagerUI::RemovePreMessageFilter(IMessageFilterUI* filter) { return RemoveFrom(preFilters_, filter); }
bool CPaintManagerUI::AddMessageFilter(IMessageFilterUI* filter) { return AddOnce(filters_, filter); }
bool CPaintManagerUI::RemoveMessageFilter(IMessageFilterUI* filter) { return RemoveFrom(filters_, filter); }

void CPaintManagerUI::SendNotify(TNotifyUI& msg, bool async) {
  msg.dwTimestamp = ::GetTickCount();
  if (async && window_ && ::PostMessageW(window_, kQueuedNotifyMessage, 0, 0)) {
    queued_.push_back(msg);
    return;
  }
  if (msg.pSender) msg.pSender->OnNotify(&msg);
  // A notifier may remove itself (or others) while being told.
  std::vector<INotifyUI*> notifiers = notifiers_;
  for (INotifyUI* n : notifiers) {
    if (std::find(notifiers_.begin(), notifiers_.end(), n) != notifiers_.end()) n->Notify(msg);
  }
}

void CPaintManagerUI::SendNotify(CControlUI* control, LPCTSTR type, WPARAM wParam, LPARAM lParam, bool async) {
  TNotifyUI msg;
  msg.sType = type;
  msg.pSender = control;
  msg.dwTimestamp = 0;
  msg.ptMouse = POINT{0, 0};
  msg.wParam = wParam;
  msg.lParam = lParam;
  SendNotify(msg, async);
}

void CPaintManagerUI::DeliverQueuedNotifications() {
  // One posted message per queued notification; a notification whose
  // sender has gone is dropped.
  while (!queued_.empty()) {
    TNotifyUI msg = queued_.front();
    queued_.erase(queued_.begin());
    if (msg.pSender) {
      SendNotify(msg, false);
      return;
    }
  }
}

void CPaintManagerUI::NeedUpdate() {
  updateNeeded_ = true;
  if (window_) ::InvalidateRect(window_, nullptr, FALSE);
}

void CPaintManagerUI::UpdateLayout() {
  updateNeeded_ = false;
  if (!root_) return;
  RECT rc{0, 0, initSize_.cx, initSize_.cy};
  if (window_) ::GetClientRect(window_, &rc);
  root_->SetPos(rc);
}

void CPaintManagerUI::RequestWindowInit() {
  if (windowInitQueued_ || !window_ || !root_) return;
  windowInitQueued_ = true;
  SendNotify(root_, L"windowinit", 0, 0, true);
}

bool CPaintManagerUI::PreMessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  return RunFilters(preFilters_, msg, wParam, lParam, result);
}

bool CPaintManagerUI::MessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  if (RunFilters(filters_, msg, wParam, lParam, result)) return true;
  switch (msg) {
    case kQueuedNotifyMessage:
      DeliverQueuedNotifications();
      result = 0;
      return true;
    case WM_SHOWWINDOW:
      if (wParam) RequestWindowInit();
      return false;
    case WM_SIZE:
      UpdateLayout();
      return false;
    case WM_PAINT:
      if (updateNeeded_) UpdateLayout();
      return false;
    case WM_LBUTTONDOWN: {
      POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      CControlUI* control = FindControl(pt);
      pressed_ = control && control->IsEnabled() ? control : nullptr;
      result = 0;
      return pressed_ != nullptr;
    }
    case WM_LBUTTONUP: {
      POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      CControlUI* pressed = pressed_;
      pressed_ = nullptr;
      if (!pressed || FindControl(pt) != pressed) return false;
      pressed->Activate();
      result = 0;
      return true;
    }
    default:
      return false;
  }
}

CPaintManagerUI* CPaintManagerUI::FromWindow(HWND window) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  auto it = Registry().find(window);
  return it == Registry().end() ? nullptr : it->second;
}

void CPaintManagerUI::MessageLoop() {
  MSG msg{};
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!TranslateMessage(&msg)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
  }
}

bool CPaintManagerUI::TranslateMessage(const LPMSG msg) {
  if (!msg || !msg->hwnd) return false;
  CPaintManagerUI* manager = FromWindow(msg->hwnd);
  if (!manager) manager = FromWindow(::GetAncestor(msg->hwnd, GA_ROOT));
  LRESULT result = 0;
  return manager && manager->PreMessageHandler(msg->message, msg->wParam, msg->lParam, result);
}

}  // namespace DuiLib
