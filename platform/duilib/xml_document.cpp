#include "duilib/xml_document.h"

#include <cwchar>
#include <cwctype>

#include "internal/unicode.h"

namespace DuiLib {

const wchar_t* XmlNode::Attribute(const wchar_t* attributeName) const {
  for (const auto& a : attributes) {
    if (a.first == attributeName) return a.second.c_str();
  }
  return nullptr;
}

namespace {

std::wstring DecodeText(const std::string& data) {
  if (data.size() >= 2 && static_cast<unsigned char>(data[0]) == 0xFF &&
      static_cast<unsigned char>(data[1]) == 0xFE) {
    std::string utf8;
    std::wstring wide;
    for (size_t i = 2; i + 1 < data.size(); i += 2) {
      unsigned unit = static_cast<unsigned char>(data[i]) | (static_cast<unsigned char>(data[i + 1]) << 8);
      if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < data.size()) {
        unsigned low = static_cast<unsigned char>(data[i + 2]) | (static_cast<unsigned char>(data[i + 3]) << 8);
        if (low >= 0xDC00 && low < 0xE000) {
          wide += static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
          i += 2;
          continue;
        }
      }
      wide += static_cast<wchar_t>(unit);
    }
    return wide;
  }
  size_t start = data.size() >= 3 && data.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  return win32::Utf8ToWide(data.c_str() + start, data.size() - start);
}

class Parser {
 public:
  explicit Parser(const std::wstring& text) : s_(text) {}

  std::unique_ptr<XmlNode> Parse(std::wstring* error) {
    std::unique_ptr<XmlNode> root;
    while (Ok()) {
      SkipSpace();
      if (pos_ >= s_.size()) break;
      if (SkipMarkup()) {
        continue;
      } else if (s_[pos_] == L'<') {
        if (root) {
          Fail(L"more than one root element");
          break;
        }
        root = Element();
      } else {
        Fail(L"text outside the root element");
      }
    }
    if (Ok() && !root) Fail(L"no root element");
    if (!Ok()) {
      *error = error_;
      return nullptr;
    }
    return root;
  }

 private:
  bool Ok() const { return error_.empty(); }

  void Fail(const std::wstring& what) {
    if (!Ok()) return;
    error_ = L"line " + std::to_wstring(Line()) + L": " + what;
  }

  int Line() const {
    int line = 1;
    for (size_t i = 0; i < pos_ && i < s_.size(); ++i) line += s_[i] == L'\n';
    return line;
  }

  bool Starts(const wchar_t* prefix) const { return s_.compare(pos_, wcslen(prefix), prefix) == 0; }

  void SkipSpace() {
    while (pos_ < s_.size() && iswspace(static_cast<wint_t>(s_[pos_]))) ++pos_;
  }

  void SkipPast(const wchar_t* end, const wchar_t* what) {
    size_t at = s_.find(end, pos_);
    if (at == std::wstring::npos) {
      Fail(std::wstring(L"unterminated ") + what);
      pos_ = s_.size();
      return;
    }
    pos_ = at + wcslen(end);
  }

  // Comments, processing instructions, CDATA and declarations carry nothing
  // a layout uses.
  bool SkipMarkup() {
    if (Starts(L"<!--")) SkipPast(L"-->", L"comment");
    else if (Starts(L"<![CDATA[")) SkipPast(L"]]>", L"CDATA section");
    else if (Starts(L"<?")) SkipPast(L"?>", L"processing instruction");
    else if (Starts(L"<!")) SkipPast(L">", L"declaration");
    else return false;
    return true;
  }

  static bool NameChar(wchar_t c) {
    return iswalnum(static_cast<wint_t>(c)) || c == L'_' || c == L'-' || c == L'.' || c == L':' || c > 0x7F;
  }

  std::wstring Name() {
    size_t start = pos_;
    while (pos_ < s_.size() && NameChar(s_[pos_])) ++pos_;
    if (start == pos_) Fail(L"name expected");
    return s_.substr(start, pos_ - start);
  }

  // Resolves the entity at pos_ (just after '&').
  void Entity(std::wstring* out) {
    size_t semi = s_.find(L';', pos_);
    if (semi == std::wstring::npos || semi - pos_ > 10) {
      Fail(L"bad entity reference");
      return;
    }
    std::wstring name = s_.substr(pos_, semi - pos_);
    pos_ = semi + 1;
    if (name == L"lt") *out += L'<';
    else if (name == L"gt") *out += L'>';
    else if (name == L"amp") *out += L'&';
    else if (name == L"quot") *out += L'"';
    else if (name == L"apos") *out += L'\'';
    else if (name.size() > 1 && name[0] == L'#') {
      bool hex = name[1] == L'x' || name[1] == L'X';
      std::wstring digits = name.substr(hex ? 2 : 1);
      wchar_t* end = nullptr;
      unsigned long code = digits.empty() ? 0 : wcstoul(digits.c_str(), &end, hex ? 16 : 10);
      if (digits.empty() || *end || code == 0 || code > 0x10FFFF) Fail(L"bad character reference &" + name + L";");
      else *out += static_cast<wchar_t>(code);
    } else {
      Fail(L"unknown entity &" + name + L";");
    }
  }

  std::unique_ptr<XmlNode> Element() {
    if (++depth_ > kMaxDepth) {
      Fail(L"elements nested too deeply");
      return nullptr;
    }
    auto node = std::make_unique<XmlNode>();
    node->line = Line();
    ++pos_;  // '<'
    node->name = Name();
    while (Ok()) {
      SkipSpace();
      if (pos_ >= s_.size()) {
        Fail(L"unterminated element <" + node->name + L">");
        break;
      }
      if (Starts(L"/>")) {
        pos_ += 2;
        --depth_;
        return node;
      }
      if (s_[pos_] == L'>') {
        ++pos_;
        Content(node.get());
        --depth_;
        return Ok() ? std::move(node) : nullptr;
      }
      std::wstring attr = Name();
      SkipSpace();
      if (!Ok() || pos_ >= s_.size() || s_[pos_] != L'=') {
        Fail(L"'=' expected after attribute " + attr);
        break;
      }
      ++pos_;
      SkipSpace();
      if (pos_ >= s_.size() || (s_[pos_] != L'"' && s_[pos_] != L'\'')) {
        Fail(L"quoted value expected for attribute " + attr);
        break;
      }
      wchar_t quote = s_[pos_++];
      std::wstring value;
      while (Ok() && pos_ < s_.size() && s_[pos_] != quote) {
        if (s_[pos_] == L'<') Fail(L"'<' in the value of attribute " + attr);
        else if (s_[pos_] == L'&') ++pos_, Entity(&value);
        else value += s_[pos_++];
      }
      if (pos_ >= s_.size()) Fail(L"unterminated value of attribute " + attr);
      ++pos_;
      if (node->Attribute(attr.c_str())) Fail(L"attribute " + attr + L" given twice");
      node->attributes.emplace_back(attr, value);
    }
    return nullptr;
  }

  void Content(XmlNode* node) {
    while (Ok()) {
      if (pos_ >= s_.size()) {
        Fail(L"element <" + node->name + L"> is not closed");
        return;
      }
      if (Starts(L"</")) {
        pos_ += 2;
        std::wstring name = Name();
        SkipSpace();
        if (name != node->name) {
          Fail(L"</" + name + L"> closes <" + node->name + L">");
        } else if (pos_ >= s_.size() || s_[pos_] != L'>') {
          Fail(L"'>' expected");
        } else {
          ++pos_;
        }
        return;
      }
      if (SkipMarkup()) {
        continue;
      } else if (s_[pos_] == L'<') {
        auto child = Element();
        if (child) node->children.push_back(std::move(child));
      } else if (s_[pos_] == L'&') {
        ++pos_;
        std::wstring ignored;
        Entity(&ignored);
      } else {
        ++pos_;
      }
    }
  }

  static const int kMaxDepth = 200;
  const std::wstring& s_;
  size_t pos_ = 0;
  int depth_ = 0;
  std::wstring error_;
};

}  // namespace

std::unique_ptr<XmlNode> ParseXml(const std::string& data, std::wstring* error) {
  std::wstring text = DecodeText(data);
  return Parser(text).Parse(error);
}

}  // namespace DuiLib
