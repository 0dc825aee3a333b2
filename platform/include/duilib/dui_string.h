// The window library's wide string. Format follows the Windows wide printf
// rules: %s and %c take wide text, %S, %hs and %hc narrow text.
#pragma once
#include <string>
#include <duilib/dui_base.h>

namespace DuiLib {

class UILIB_API CDuiString {
 public:
  CDuiString();
  CDuiString(TCHAR ch);
  CDuiString(const CDuiString& src);
  CDuiString(LPCTSTR text, int length = -1);
  ~CDuiString();

  void Empty();
  int GetLength() const;
  bool IsEmpty() const;
  TCHAR GetAt(int index) const;
  void SetAt(int index, TCHAR ch);
  void Append(LPCTSTR text);
  void Assign(LPCTSTR text, int length = -1);
  LPCTSTR GetData() const;
  operator LPCTSTR() const;
  TCHAR operator[](int index) const;

  CDuiString& operator=(const CDuiString& src);
  CDuiString& operator=(LPCTSTR text);
  CDuiString& operator=(TCHAR ch);
  CDuiString& operator+=(const CDuiString& src);
  CDuiString& operator+=(LPCTSTR text);
  CDuiString& operator+=(TCHAR ch);
  CDuiString operator+(const CDuiString& src) const;
  CDuiString operator+(LPCTSTR text) const;

  bool operator==(LPCTSTR text) const;
  bool operator!=(LPCTSTR text) const;
  bool operator<(LPCTSTR text) const;
  bool operator<=(LPCTSTR text) const;
  bool operator>(LPCTSTR text) const;
  bool operator>=(LPCTSTR text) const;

  int Compare(LPCTSTR text) const;
  int CompareNoCase(LPCTSTR text) const;
  void MakeUpper();
  void MakeLower();

  CDuiString Left(int length) const;
  CDuiString Mid(int pos, int length = -1) const;
  CDuiString Right(int length) const;
  int Find(TCHAR ch, int pos = 0) const;
  int Find(LPCTSTR text, int pos = 0) const;
  int ReverseFind(TCHAR ch) const;
  int Replace(LPCTSTR from, LPCTSTR to);

  // printf-style, with the Windows meaning of %s/%c in wide formats.
  int Format(LPCTSTR format, ...);

 private:
  std::wstring text_;
};

// Case-insensitive comparison of wide texts (simple case folding).
int CompareNoCase(LPCTSTR a, LPCTSTR b);

}  // namespace DuiLib
