#include <duilib/dui_builder.h>

#include <memory>

#include <duilib/dui_controls.h>
#include <duilib/dui_richedit.h>

#include "duilib/xml_document.h"
#include "internal/unicode.h"

namespace DuiLib {

namespace {

CControlUI* NewControl(const std::wstring& name) {
  if (name == L"Control") return new CControlUI;
  if (name == L"Container") return new CContainerUI;
  if (name == L"VerticalLayout") return new CVerticalLayoutUI;
  if (name == L"HorizontalLayout") return new CHorizontalLayoutUI;
  if (name == L"Label") return new CLabelUI;
  if (name == L"Text") return new CTextUI;
  if (name == L"Button") return new CButtonUI;
  if (name == L"Option") return new COptionUI;
  if (name == L"CheckBox") return new CCheckBoxUI;
  if (name == L"Edit") return new CEditUI;
  if (name == L"Progress") return new CProgressUI;
  if (name == L"RichEdit") return new CRichEditUI;
  return nullptr;
}

class Builder {
 public:
  Builder(IDialogBuilderCallback* callback, CPaintManagerUI* manager) : callback_(callback), manager_(manager) {}

  const std::wstring& error() const { return error_; }

  // The root control of a <Window> layout, or of a layout whose top element
  // is a control itself.
  CControlUI* Build(const XmlNode& top) {
    if (top.name != L"Window") return Control(top);
    if (!WindowAttributes(top)) return nullptr;
    const XmlNode* rootNode = nullptr;
    for (const auto& child : top.children) {
      if (child->name == L"Font") {
        Font(*child);
      } else if (child->name == L"Default") {
        const wchar_t* name = child->Attribute(L"name");
        const wchar_t* value = child->Attribute(L"value");
        if (manager_ && name && value) manager_->AddDefaultAttributeList(name, value);
      } else if (rootNode) {
        return Fail(*child, L"a window holds one root control");
      } else {
        rootNode = child.get();
      }
      if (!error_.empty()) return nullptr;
    }
    if (!rootNode) return Fail(top, L"the window has no root control");
    return Control(*rootNode);
  }

 private:
  CControlUI* Fail(const XmlNode& node, const std::wstring& what) {
    if (error_.empty()) error_ = L"line " + std::to_wstring(node.line) + L": " + what;
    return nullptr;
  }

  bool WindowAttributes(const XmlNode& window) {
    for (const auto& a : window.attributes) {
      const std::wstring& n = a.first;
      const wchar_t* v = a.second.c_str();
      RECT rc;
      SIZE sz;
      bool isRect = n == L"caption" || n == L"sizebox";
      bool isSize = n == L"size" || n == L"roundcorner" || n == L"mininfo" || n == L"maxinfo";
      if ((isRect && !ParseRect(v, &rc)) || (isSize && !ParseSize(v, &sz))) {
        Fail(window, L"bad value \"" + a.second + L"\" of window attribute " + n);
        return false;
      }
      if (!manager_) continue;
      if (n == L"size") manager_->SetInitSize(sz.cx, sz.cy);
      else if (n == L"caption") manager_->SetCaptionRect(rc);
      else if (n == L"sizebox") manager_->SetSizeBox(rc);
      else if (n == L"roundcorner") manager_->SetRoundCorner(sz.cx, sz.cy);
      else if (n == L"mininfo") manager_->SetMinInfo(sz.cx, sz.cy);
      else if (n == L"maxinfo") manager_->SetMaxInfo(sz.cx, sz.cy);
    }
    return true;
  }

  void Font(const XmlNode& node) {
    const wchar_t* id = node.Attribute(L"id");
    const wchar_t* name = node.Attribute(L"name");
    if (!id || !name) {
      Fail(node, L"a font needs an id and a name");
      return;
    }
    if (manager_) {
      manager_->AddFont(ParseInt(id), name, ParseInt(node.Attribute(L"size")), ParseBool(node.Attribute(L"bold")),
                        ParseBool(node.Attribute(L"underline")), ParseBool(node.Attribute(L"italic")));
    }
  }

  CControlUI* Control(const XmlNode& node) {
    CControlUI* control = NewControl(node.name);
    if (!control && callback_) control = callback_->CreateControl(node.name.c_str());
    if (!control) return Fail(node, L"unknown control <" + node.name + L">");
    std::unique_ptr<CControlUI> owned(control);
    if (manager_) {
      if (LPCTSTR defaults = manager_->GetDefaultAttributeList(node.name.c_str())) control->ApplyAttributeList(defaults);
    }
    for (const auto& a : node.attributes) control->SetAttribute(a.first.c_str(), a.second.c_str());
    if (node.children.empty()) return owned.release();
    CContainerUI* container = static_cast<CContainerUI*>(control->GetInterface(L"Container"));
    if (!container) return Fail(node, L"<" + node.name + L"> cannot hold controls");
    for (const auto& child : node.children) {
      CControlUI* c = Control(*child);
      if (!c) return nullptr;
      container->Add(c);
    }
    return owned.release();
  }

  IDialogBuilderCallback* callback_;
  CPaintManagerUI* manager_;
  std::wstring error_;
};

}  // namespace

CControlUI* CDialogBuilder::Create(LPCTSTR xml, LPCTSTR, IDialogBuilderCallback* callback,
                                   CPaintManagerUI* manager, CControlUI* parent) {
  error_.Empty();
  std::wstring source = xml ? xml : L"";
  std::string data;
  std::wstring what = L"layout";
  if (!source.empty() && source[0] == L'<') {
    data = win32::WideToUtf8(source);
  } else {
    what = source;
    CDuiString why;
    if (!CPaintManagerUI::LoadResource(source.c_str(), &data, &why)) {
      error_ = why;
      return nullptr;
    }
  }
  std::wstring why;
  std::unique_ptr<XmlNode> top = ParseXml(data, &why);
  CControlUI* root = nullptr;
  if (top) {
    Builder builder(callback, manager);
    root = builder.Build(*top);
    why = builder.error();
  }
  if (!root) {
    error_ = (what + L" is malformed: " + why).c_str();
    return nullptr;
  }
  if (parent) {
    CContainerUI* container = static_cast<CContainerUI*>(parent->GetInterface(L"Container"));
    if (container) container->Add(root);
  }
  return root;
}

const CDuiString& CDialogBuilder::GetLastErrorMessage() const { return error_; }

}  // namespace DuiLib
