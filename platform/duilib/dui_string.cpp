#include <duilib/dui_string.h>

#include <cstdarg>
#include <cwchar>
#include <cwctype>
#include <vector>

namespace DuiLib {

namespace {

// Rewrites a Windows wide printf format for the C library, where %s means
// narrow text: %s/%c become %ls/%lc, %S/%C and %hs/%hc narrow, %I64 long long.
std::wstring ToHostFormat(const wchar_t* format) {
  std::wstring out;
  for (const wchar_t* p = format; *p; ++p) {
    out += *p;
    if (*p != L'%') continue;
    ++p;
    if (*p == L'%') {
      out += L'%';
      continue;
    }
    while (*p && wcschr(L"-+ #0", *p)) out += *p++;
    while (*p && (iswdigit(*p) || *p == L'*')) out += *p++;
    if (*p == L'.') {
      out += *p++;
      while (*p && (iswdigit(*p) || *p == L'*')) out += *p++;
    }
    enum { kNone, kNarrow, kWide } width = kNone;
    std::wstring length;
    for (;;) {
      if (*p == L'h') {
        width = kNarrow;
        length += *p++;
      } else if (*p == L'l' || *p == L'w') {
        width = kWide;
        length += L'l';
        ++p;
      } else if (wcsncmp(p, L"I64", 3) == 0) {
        length += L"ll";
        p += 3;
      } else if (wcsncmp(p, L"I32", 3) == 0) {
        p += 3;
      } else if (*p == L'I') {
        length += L'z';
        ++p;
      } else if (*p && wcschr(L"Lqjzt", *p)) {
        length += *p++;
      } else {
        break;
      }
    }
    if (!*p) break;
    wchar_t conv = *p;
    if (conv == L's' || conv == L'c' || conv == L'S' || conv == L'C') {
      bool narrow = width == kNarrow || (width == kNone && (conv == L'S' || conv == L'C'));
      wchar_t base = (conv == L's' || conv == L'S') ? L's' : L'c';
      out += narrow ? std::wstring(1, base) : std::wstring(L"l") + base;
    } else {
      out += length;
      out += conv;
    }
  }
  return out;
}

}  // namespace

int CompareNoCase(LPCTSTR a, LPCTSTR b) {
  if (!a) a = L"";
  if (!b) b = L"";
  for (;; ++a, ++b) {
    wint_t ca = towlower(static_cast<wint_t>(*a));
    wint_t cb = towlower(static_cast<wint_t>(*b));
    if (ca != cb) return ca < cb ? -1 : 1;
    if (!ca) return 0;
  }
}

CDuiString::CDuiString() = default;
CDuiString::CDuiString(TCHAR ch) : text_(1, ch) {}
CDuiString::CDuiString(const CDuiString& src) = default;
CDuiString::CDuiString(LPCTSTR text, int length) { Assign(text, length); }
CDuiString::~CDuiString() = default;

void CDuiString::Empty() { text_.clear(); }
int CDuiString::GetLength() const { return static_cast<int>(text_.size()); }
bool CDuiString::IsEmpty() const { return text_.empty(); }

TCHAR CDuiString::GetAt(int index) const {
  return index >= 0 && index < GetLength() ? text_[index] : L'\0';
}

void CDuiString::SetAt(int index, TCHAR ch) {
  if (index >= 0 && index < GetLength()) text_[index] = ch;
}

void CDuiString::Append(LPCTSTR text) {
  if (text) text_ += text;
}

void CDuiString::Assign(LPCTSTR text, int length) {
  if (!text) {
    text_.clear();
    return;
  }
  size_t n = wcslen(text);
  if (length >= 0 && static_cast<size_t>(length) < n) n = static_cast<size_t>(length);
  text_.assign(text, n);
}

LPCTSTR CDuiString::GetData() const { return text_.c_str(); }
CDuiString::operator LPCTSTR() const { return text_.c_str(); }
TCHAR CDuiString::operator[](int index) const { return GetAt(index); }

CDuiString& CDuiString::operator=(const CDuiString& src) {
  text_ = src.text_;
  return *this;
}

CDuiString& CDuiString::operator=(LPCTSTR text) {
  // text may point into this string.
  std::wstring copy = text ? text : L"";
  text_.swap(copy);
  return *this;
}

CDuiString& CDuiString::operator=(TCHAR ch) {
  text_.assign(1, ch);
  return *this;
}

CDuiString& CDuiString::operator+=(const CDuiString& src) {
  text_ += src.text_;
  return *this;
}

CDuiString& CDuiString::operator+=(LPCTSTR text) {
  if (text) text_ += std::wstring(text);
  return *this;
}

CDuiString& CDuiString::operator+=(TCHAR ch) {
  text_ += ch;
  return *this;
}

CDuiString CDuiString::operator+(const CDuiString& src) const {
  CDuiString r(*this);
  r += src;
  return r;
}

CDuiString CDuiString::operator+(LPCTSTR text) const {
  CDuiString r(*this);
  r += text;
  return r;
}

bool CDuiString::operator==(LPCTSTR text) const { return Compare(text) == 0; }
bool CDuiString::operator!=(LPCTSTR text) const { return Compare(text) != 0; }
bool CDuiString::operator<(LPCTSTR text) const { return Compare(text) < 0; }
bool CDuiString::operator<=(LPCTSTR text) const { return Compare(text) <= 0; }
bool CDuiString::operator>(LPCTSTR text) const { return Compare(text) > 0; }
bool CDuiString::operator>=(LPCTSTR text) const { return Compare(text) >= 0; }

int CDuiString::Compare(LPCTSTR text) const {
  int r = wcscmp(text_.c_str(), text ? text : L"");
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int CDuiString::CompareNoCase(LPCTSTR text) const { return DuiLib::CompareNoCase(text_.c_str(), text); }

void CDuiString::MakeUpper() {
  for (auto& c : text_) c = static_cast<wchar_t>(towupper(static_cast<wint_t>(c)));
}

void CDuiString::MakeLower() {
  for (auto& c : text_) c = static_cast<wchar_t>(towlower(static_cast<wint_t>(c)));
}

CDuiString CDuiString::Left(int length) const {
  if (length < 0) length = 0;
  return CDuiString(text_.c_str(), length);
}

CDuiString CDuiString::Mid(int pos, int length) const {
  if (pos < 0) pos = 0;
  if (pos >= GetLength()) return CDuiString();
  return CDuiString(text_.c_str() + pos, length);
}

CDuiString CDuiString::Right(int length) const {
  int start = GetLength() - length;
  if (start < 0) start = 0;
  return Mid(start);
}

int CDuiString::Find(TCHAR ch, int pos) const {
  if (pos < 0 || pos > GetLength()) return -1;
  size_t at = text_.find(ch, static_cast<size_t>(pos));
  return at == std::wstring::npos ? -1 : static_cast<int>(at);
}

int CDuiString::Find(LPCTSTR text, int pos) const {
  if (!text || pos < 0 || pos > GetLength()) return -1;
  size_t at = text_.find(text, static_cast<size_t>(pos));
  return at == std::wstring::npos ? -1 : static_cast<int>(at);
}

int CDuiString::ReverseFind(TCHAR ch) const {
  size_t at = text_.rfind(ch);
  return at == std::wstring::npos ? -1 : static_cast<int>(at);
}

int CDuiString::Replace(LPCTSTR from, LPCTSTR to) {
  if (!from || !*from) return 0;
  std::wstring f = from, t = to ? to : L"";
  int count = 0;
  for (size_t at = text_.find(f); at != std::wstring::npos; at = text_.find(f, at + t.size())) {
    text_.replace(at, f.size(), t);
    ++count;
  }
  return count;
}

int CDuiString::Format(LPCTSTR format, ...) {
  std::wstring hostFormat = ToHostFormat(format ? format : L"");
  std::vector<wchar_t> buffer(256);
  for (;;) {
    va_list args;
    va_start(args, format);
    int n = vswprintf(buffer.data(), buffer.size(), hostFormat.c_str(), args);
    va_end(args);
    if (n >= 0) {
      text_.assign(buffer.data(), static_cast<size_t>(n));
      return n;
    }
    // vswprintf cannot tell "too small" from a conversion error: grow to a limit.
    if (buffer.size() >= (1u << 20)) {
      text_.clear();
      return -1;
    }
    buffer.resize(buffer.size() * 4);
  }
}

}  // namespace DuiLib
