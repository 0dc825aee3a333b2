// A read-mostly rich text view: text streamed in as RTF is kept as plain
// text (formatting is dropped), with colour, font and padding as state.
#pragma once
#include <duilib/dui_container.h>

namespace DuiLib {

class UILIB_API CRichEditUI : public CContainerUI {
 public:
  LPCTSTR GetClass() const override;
  LPVOID GetInterface(LPCTSTR name) override;

  void SetTextColor(DWORD color);
  DWORD GetTextColor() const;
  void SetFont(int index);
  int GetFont() const;
  RECT GetTextPadding() const;
  void SetTextPadding(RECT rc);
  bool IsReadOnly() const;
  void SetReadOnly(bool readOnly = true);

  // Replaces the text with what the callback delivers (SF_RTF or SF_TEXT,
  // SF_UNICODE for wide plain text). Returns the number of characters
  // taken in; es.dwError is the callback's last non-zero result.
  long StreamIn(int format, EDITSTREAM& es);

  void SetAttribute(LPCTSTR name, LPCTSTR value) override;

 protected:
  TTextStyle textStyle_;
  bool readOnly_ = false;
};

// RTF to plain text: groups, control words, \par and \line as line breaks,
// \tab, \'hh in the document's code page (the ANSI code page by default),
// \uN with its \ucN fallback skipped; destinations such as font and colour
// tables, pictures and \* groups are dropped.
std::wstring RtfToText(const std::string& rtf);

}  // namespace DuiLib
