#include "internal/unicode.h"

namespace win32 {
namespace {
constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}
}  // namespace

std::u32string JoinSurrogates(const wchar_t* text, size_t length, char32_t loneReplacement,
                              bool* replaced) {
  std::u32string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    char32_t c = static_cast<char32_t>(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length) {
      char32_t low = static_cast<char32_t>(text[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        out += 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
        continue;
      }
    }
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
      c = loneReplacement;
      if (replaced) *replaced = true;
    }
    out += c;
  }
  return out;
}

std::string WideToUtf8(const wchar_t* text, size_t length, bool* replaced) {
  std::string out;
  out.reserve(length);
  for (char32_t c : JoinSurrogates(text, length, kReplacement, replaced)) AppendUtf8(out, c);
  return out;
}

std::string WideToUtf8(const wchar_t* text, size_t length) { return WideToUtf8(text, length, nullptr); }

std::string WideToUtf8(const std::wstring& text) { return WideToUtf8(text.data(), text.size(), nullptr); }

std::wstring Utf8ToWide(const char* text, size_t length, bool* replaced) {
  std::wstring out;
  out.reserve(length);
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
  auto bad = [&] {
    out += static_cast<wchar_t>(kReplacement);
    if (replaced) *replaced = true;
  };
  size_t i = 0;
  while (i < length) {
    unsigned char b = s[i];
    if (b < 0x80) {
      out += static_cast<wchar_t>(b);
      ++i;
      continue;
    }
    int extra = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (b >= 0xC2 && b <= 0xDF) { extra = 1; cp = b & 0x1F; min = 0x80; }
    else if (b >= 0xE0 && b <= 0xEF) { extra = 2; cp = b & 0x0F; min = 0x800; }
    else if (b >= 0xF0 && b <= 0xF4) { extra = 3; cp = b & 0x07; min = 0x10000; }
    else { bad(); ++i; continue; }
    size_t j = 1;
    bool ok = true;
    for (; j <= static_cast<size_t>(extra); ++j) {
      if (i + j >= length || (s[i + j] & 0xC0) != 0x80) { ok = false; break; }
      cp = (cp << 6) | (s[i + j] & 0x3F);
    }
    if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      // A truncated sequence is replaced as a whole; the byte that broke it
      // starts the next character.
      bad();
      i += j;
      continue;
    }
    out += static_cast<wchar_t>(cp);
    i += j;
  }
  return out;
}

std::wstring Utf8ToWide(const char* text, size_t length) { return Utf8ToWide(text, length, nullptr); }

std::wstring Utf8ToWide(const std::string& text) { return Utf8ToWide(text.data(), text.size(), nullptr); }

}  // namespace win32
