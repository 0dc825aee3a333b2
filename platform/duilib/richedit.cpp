#include <duilib/dui_richedit.h>

#include <cctype>
#include <string>
#include <vector>

namespace DuiLib {

namespace {

// Largest stream taken in; a licence text is a few kilobytes.
const size_t kMaxStream = 16u << 20;

std::wstring AnsiToWide(const std::string& bytes, UINT codePage) {
  if (bytes.empty()) return std::wstring();
  int n = MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (n <= 0 && codePage != CP_ACP) return AnsiToWide(bytes, CP_ACP);
  if (n <= 0) {
    std::wstring latin;
    for (unsigned char c : bytes) latin += static_cast<wchar_t>(c);
    return latin;
  }
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), &out[0], n);
  return out;
}

}  // namespace

LPCTSTR CRichEditUI::GetClass() const { return L"RichEdit"; }

LPVOID CRichEditUI::GetInterface(LPCTSTR name) {
  if (CompareNoCase(name, L"RichEdit") == 0) return this;
  return CContainerUI::GetInterface(name);
}

void CRichEditUI::SetTextColor(DWORD color) { textStyle_.color = color; }
DWORD CRichEditUI::GetTextColor() const { return textStyle_.color; }
void CRichEditUI::SetFont(int index) { textStyle_.font = index; }
int CRichEditUI::GetFont() const { return textStyle_.font; }
RECT CRichEditUI::GetTextPadding() const { return textStyle_.padding; }
void CRichEditUI::SetTextPadding(RECT rc) { textStyle_.padding = rc; }
bool CRichEditUI::IsReadOnly() const { return readOnly_; }
void CRichEditUI::SetReadOnly(bool readOnly) { readOnly_ = readOnly; }

long CRichEditUI::StreamIn(int format, EDITSTREAM& es) {
  es.dwError = 0;
  if (!es.pfnCallback) return 0;
  std::string data;
  BYTE chunk[4096];
  while (data.size() < kMaxStream) {
    LONG got = 0;
    DWORD result = es.pfnCallback(es.dwCookie, chunk, static_cast<LONG>(sizeof(chunk)), &got);
    if (result != 0) {
      es.dwError = result;
      break;
    }
    if (got <= 0) break;
    if (got > static_cast<LONG>(sizeof(chunk))) got = sizeof(chunk);
    data.append(reinterpret_cast<const char*>(chunk), static_cast<size_t>(got));
  }
  std::wstring text;
  if ((format & SF_RTF) && data.compare(0, 5, "{\\rtf") == 0) {
    text = RtfToText(data);
  } else if (format & SF_UNICODE) {
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
      text += static_cast<wchar_t>(static_cast<unsigned char>(data[i]) |
                                   (static_cast<unsigned char>(data[i + 1]) << 8));
    }
  } else {
    text = AnsiToWide(data, CP_ACP);
  }
  SetText(text.c_str());
  return static_cast<long>(text.size());
}

void CRichEditUI::SetAttribute(LPCTSTR name, LPCTSTR value) {
  if (textStyle_.SetAttribute(name, value)) return;
  if (CDuiString(name) == L"readonly") SetReadOnly(ParseBool(value));
  else CContainerUI::SetAttribute(name, value);
}

namespace {

class RtfReader {
 public:
  explicit RtfReader(const std::string& rtf) : s_(rtf) {}

  std::wstring Run() {
    states_.push_back(State{});
    while (pos_ < s_.size()) {
      char c = s_[pos_++];
      if (c == '{') {
        Flush();
        State inner = states_.back();
        inner.groupStart = true;
        states_.push_back(inner);
      } else if (c == '}') {
        Flush();
        pendingSkip_ = 0;
        if (states_.size() > 1) states_.pop_back();
      } else if (c == '\\') {
        ControlWord();
      } else if (c == '\r' || c == '\n') {
        // Line breaks of the source carry no text.
      } else {
        states_.back().groupStart = false;
        Byte(static_cast<unsigned char>(c));
      }
    }
    Flush();
    return out_;
  }

 private:
  struct State {
    bool skip = false;
    bool groupStart = false;
    int unicodeSkip = 1;
  };

  static bool IsDestination(const std::string& word) {
    static const char* const kDestinations[] = {
        "fonttbl", "colortbl", "stylesheet", "info", "pict", "object", "header", "headerl", "headerr",
        "headerf", "footer", "footerl", "footerr", "footerf", "listtable", "listoverridetable",
        "rsidtbl", "generator", "xmlnstbl", "themedata", "colorschememapping", "latentstyles",
        "datastore", "fldinst", "filetbl", "revtbl", "pgdsctbl", "bkmkstart", "bkmkend", "nonshppict",
        "footnote", "annotation", "atnid", "author", "operator", "title", "subject", "keywords",
        "comment", "doccomm", "listtext", "pntext", "mmathPr", "wgrffmtfilter", "private"};
    for (const char* d : kDestinations) {
      if (word == d) return true;
    }
    return false;
  }

  void Byte(unsigned char b) {
    if (states_.back().skip) return;
    if (pendingSkip_ > 0) {
      --pendingSkip_;
      return;
    }
    bytes_ += static_cast<char>(b);
  }

  void Flush() {
    if (!bytes_.empty()) {
      Emit(AnsiToWide(bytes_, codePage_));
      bytes_.clear();
    }
  }

  void Emit(const std::wstring& text) {
    if (states_.back().skip) return;
    for (wchar_t c : text) {
      if (highSurrogate_ && c >= 0xDC00 && c < 0xE000) {
        out_ += static_cast<wchar_t>(0x10000 + ((highSurrogate_ - 0xD800) << 10) + (c - 0xDC00));
        highSurrogate_ = 0;
        continue;
      }
      if (highSurrogate_) out_ += static_cast<wchar_t>(0xFFFD);
      highSurrogate_ = 0;
      if (c >= 0xD800 && c < 0xDC00) highSurrogate_ = c;
      else out_ += c;
    }
  }

  void Text(const wchar_t* text) {
    Flush();
    Emit(text);
  }

  void ControlWord() {
    if (pos_ >= s_.size()) return;
    State& st = states_.back();
    bool atGroupStart = st.groupStart;
    st.groupStart = false;
    char c = s_[pos_];
    if (!isalpha(static_cast<unsigned char>(c))) {
      ++pos_;
      if (c == '\'') {
        unsigned value = 0;
        int digits = 0;
        while (digits < 2 && pos_ < s_.size() && isxdigit(static_cast<unsigned char>(s_[pos_]))) {
          char h = s_[pos_++];
          value = value * 16 + static_cast<unsigned>(isdigit(static_cast<unsigned char>(h)) ? h - '0' : (tolower(h) - 'a' + 10));
          ++digits;
        }
        Byte(static_cast<unsigned char>(value));
      } else if (c == '*') {
        if (atGroupStart) st.skip = true;
      } else if (c == '\\' || c == '{' || c == '}') {
        Byte(static_cast<unsigned char>(c));
      } else if (c == '~') {
        Special(L"\u00A0");
      } else if (c == '_') {
        Special(L"-");
      } else if (c == '\r' || c == '\n') {
        Special(L"\n");
      }
      return;
    }
    std::string word;
    while (pos_ < s_.size() && isalpha(static_cast<unsigned char>(s_[pos_]))) word += s_[pos_++];
    bool hasParam = false;
    long param = 0;
    bool negative = false;
    if (pos_ < s_.size() && s_[pos_] == '-') {
      negative = true;
      ++pos_;
    }
    while (pos_ < s_.size() && isdigit(static_cast<unsigned char>(s_[pos_]))) {
      hasParam = true;
      if (param < 100000000) param = param * 10 + (s_[pos_] - '0');
      ++pos_;
    }
    if (negative) param = -param;
    if (pos_ < s_.size() && s_[pos_] == ' ') ++pos_;

    if (atGroupStart && IsDestination(word)) {
      Flush();
      st.skip = true;
      return;
    }
    if (word == "u" && hasParam) {
      pendingSkip_ = 0;
      Flush();
      Emit(std::wstring(1, static_cast<wchar_t>(param < 0 ? param + 65536 : param)));
      pendingSkip_ = st.unicodeSkip;
      return;
    }
    if (word == "uc" && hasParam) {
      st.unicodeSkip = static_cast<int>(param);
    } else if (word == "ansicpg" && hasParam) {
      Flush();
      codePage_ = static_cast<UINT>(param);
    } else if (word == "par" || word == "line" || word == "sect" || word == "page" || word == "row") {
      Special(L"\n");
    } else if (word == "tab" || word == "cell") {
      Special(L"\t");
    } else if (word == "emdash") {
      Special(L"\u2014");
    } else if (word == "endash") {
      Special(L"\u2013");
    } else if (word == "bullet") {
      Special(L"\u2022");
    } else if (word == "lquote") {
      Special(L"\u2018");
    } else if (word == "rquote") {
      Special(L"\u2019");
    } else if (word == "ldblquote") {
      Special(L"\u201C");
    } else if (word == "rdblquote") {
      Special(L"\u201D");
    } else if (word == "emspace" || word == "enspace" || word == "qmspace") {
      Special(L" ");
    }
  }

  // A character written as a control word counts as one fallback character.
  void Special(const wchar_t* text) {
    if (states_.back().skip) return;
    if (pendingSkip_ > 0) {
      --pendingSkip_;
      return;
    }
    Text(text);
  }

  const std::string& s_;
  size_t pos_ = 0;
  std::vector<State> states_;
  std::string bytes_;
  std::wstring out_;
  UINT codePage_ = CP_ACP;
  int pendingSkip_ = 0;
  wchar_t highSurrogate_ = 0;
};

}  // namespace

std::wstring RtfToText(const std::string& rtf) { return RtfReader(rtf).Run(); }

}  // namespace DuiLib
