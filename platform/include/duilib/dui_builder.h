// Builds a control tree from an XML layout: the <Window> element sets the
// window's attributes (size, caption, sizebox, fonts, defaults), its first
// control element is the root.
#pragma once
#include <duilib/dui_manager.h>

namespace DuiLib {

class UILIB_API CDialogBuilder {
 public:
  // xml: layout text starting with '<', or a resource name read through
  // CPaintManagerUI::LoadResource. Null on any failure; see GetLastErrorMessage.
  CControlUI* Create(LPCTSTR xml, LPCTSTR type = nullptr, IDialogBuilderCallback* callback = nullptr,
                     CPaintManagerUI* manager = nullptr, CControlUI* parent = nullptr);
  // Why the last Create failed ("" after a success).
  const CDuiString& GetLastErrorMessage() const;

 private:
  CDuiString error_;
};

}  // namespace DuiLib
