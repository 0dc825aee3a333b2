// Code page conversions of kernel32 over glibc's iconv, with Windows' own
// code page 936 and best-fit replacements. WCHAR holds one code point here
// (4 bytes); UTF-16 surrogate pairs that arrive widened are joined.
#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <windows.h>

#include "code_page_tables.h"
#include "internal/machine.h"
#include "internal/unicode.h"

namespace {

constexpr UINT kDefaultAcp = 936;

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
const char kUtf32[] = "UTF-32LE";
#else
const char kUtf32[] = "UTF-32BE";
#endif

// Marks a code point that must become the default character.
constexpr char32_t kUnmappable = 0xFFFFFFFF;

class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

std::string IconvName(UINT codePage) {
  switch (codePage) {
    case 20127: return "ASCII";
    case 54936: return "GB18030";
    case 20936: return "GB2312";
    case 51949: return "EUC-KR";
    case 20932: return "EUC-JP";
    default: break;
  }
  if (codePage >= 28591 && codePage <= 28606) return "ISO-8859-" + std::to_string(codePage - 28590);
  return "CP" + std::to_string(codePage);
}

bool IsDoubleByte(UINT codePage) {
  return codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950 ||
         codePage == 20932 || codePage == 20936 || codePage == 51949 || codePage == 54936;
}

UINT ResolveCodePage(UINT codePage) {
  switch (codePage) {
    case CP_ACP:
    case CP_THREAD_ACP: return GetACP();
    case CP_OEMCP: {
      Json::Value oem = win32::MachineConfig()["oemcp"];
      if (oem.isIntegral() && oem.asInt64() > 0 && oem.asInt64() < 65536) return oem.asUInt();
      UINT acp = GetACP();
      return IsDoubleByte(acp) ? acp : 437;
    }
    default: return codePage;
  }
}

// Decodes one byte alone; false when the code page leaves it undefined.
bool DecodesAlone(UINT codePage, unsigned char byte) {
  Converter cd(kUtf32, IconvName(codePage).c_str());
  if (!cd.ok()) return false;
  char in = static_cast<char>(byte);
  char32_t out = 0;
  char* inp = &in;
  size_t inLeft = 1;
  char* outp = reinterpret_cast<char*>(&out);
  size_t outLeft = sizeof(out);
  return iconv(cd.get(), &inp, &inLeft, &outp, &outLeft) != static_cast<size_t>(-1) && inLeft == 0;
}

// Bytes of `codePage` -> code points. Undefined bytes of a single-byte code
// page pass through as U+00xx (as the system's tables do); invalid or
// truncated double-byte sequences become '?' and set *invalid.
bool DecodeAnsi(UINT codePage, const char* text, size_t length, std::u32string* out, bool* invalid) {
  if (codePage == 936) {
    win32::DecodeCp936(text, length, out, invalid);
    return true;
  }
  Converter cd(kUtf32, IconvName(codePage).c_str());
  if (!cd.ok()) return false;
  out->clear();
  std::u32string buffer(length + 4, U'\0');
  char* in = const_cast<char*>(text);
  size_t inLeft = length;
  while (inLeft > 0) {
    char* outp = reinterpret_cast<char*>(&buffer[0]);
    size_t outLeft = buffer.size() * sizeof(char32_t);
    size_t rc = iconv(cd.get(), &in, &inLeft, &outp, &outLeft);
    int err = errno;
    out->append(buffer.data(), (buffer.size() * sizeof(char32_t) - outLeft) / sizeof(char32_t));
    if (rc != static_cast<size_t>(-1)) break;
    if (err == E2BIG) continue;
    // EILSEQ or EINVAL: one bad byte is replaced and skipped.
    unsigned char bad = static_cast<unsigned char>(*in);
    if (!IsDoubleByte(codePage) && bad >= 0x80) {
      out->push_back(bad);
    } else {
      out->push_back(U'?');
      *invalid = true;
    }
    ++in;
    --inLeft;
    iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
  }
  return true;
}

// Code points -> bytes of `codePage`; unmappable ones become their best fit
// when allowed, else `defaultChar`.
bool EncodeAnsi(UINT codePage, const std::u32string& text, const std::string& defaultChar, bool bestFit,
                std::string* out, bool* usedDefault) {
  auto replace = [&](char32_t c) {
    if (c != kUnmappable && bestFit && win32::AppendBestFit(codePage, c, out)) return;
    out->append(defaultChar);
    *usedDefault = true;
  };
  if (codePage == 936) {
    out->clear();
    for (char32_t c : text)
      if (c == kUnmappable || !win32::EncodeCp936(c, out)) replace(c);
    return true;
  }
  Converter cd(IconvName(codePage).c_str(), kUtf32);
  if (!cd.ok()) return false;
  out->clear();
  std::string buffer(text.size() * 4 + 16, '\0');
  size_t pos = 0;
  while (pos < text.size()) {
    // Convert up to the next marked code point in one go.
    size_t end = pos;
    while (end < text.size() && text[end] != kUnmappable) ++end;
    char* in = reinterpret_cast<char*>(const_cast<char32_t*>(text.data() + pos));
    size_t inLeft = (end - pos) * sizeof(char32_t);
    while (inLeft > 0) {
      char* outp = &buffer[0];
      size_t outLeft = buffer.size();
      size_t rc = iconv(cd.get(), &in, &inLeft, &outp, &outLeft);
      int err = errno;
      out->append(buffer.data(), buffer.size() - outLeft);
      if (rc != static_cast<size_t>(-1)) break;
      if (err == E2BIG) continue;
      char32_t c = *reinterpret_cast<char32_t*>(in);
      if (!IsDoubleByte(codePage) && c >= 0x80 && c <= 0xFF && !DecodesAlone(codePage, static_cast<unsigned char>(c))) {
        out->push_back(static_cast<char>(c));
      } else {
        replace(c);
      }
      in += sizeof(char32_t);
      inLeft -= sizeof(char32_t);
      iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
    }
    if (end < text.size()) {
      replace(kUnmappable);
      ++end;
    }
    pos = end;
  }
  return true;
}

template <class Out, class Text>
int Deliver(const Text& result, Out* dest, int destSize) {
  if (result.size() > 0x7FFFFFFF) {
    SetLastError(ERROR_ARITHMETIC_OVERFLOW);
    return 0;
  }
  int needed = static_cast<int>(result.size());
  if (destSize == 0) return needed;
  if (needed > destSize) {
    std::memcpy(dest, result.data(), static_cast<size_t>(destSize) * sizeof(Out));
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(dest, result.data(), static_cast<size_t>(needed) * sizeof(Out));
  return needed;
}

}  // namespace

UINT WINAPI GetACP() {
  Json::Value acp = win32::MachineConfig()["acp"];
  if (acp.isIntegral() && acp.asInt64() > 0 && acp.asInt64() < 65536) return acp.asUInt();
  return kDefaultAcp;
}

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByteStr, int cbMultiByte,
                               LPWSTR wideCharStr, int cchWideChar) {
  if (!multiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
      (cchWideChar > 0 && !wideCharStr) ||
      (cchWideChar > 0 && static_cast<const void*>(multiByteStr) == static_cast<const void*>(wideCharStr))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t length = cbMultiByte == -1 ? std::strlen(multiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  UINT cp = ResolveCodePage(codePage);
  bool invalid = false;
  std::wstring result;
  if (cp == CP_UTF8) {
    if (flags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) {
      SetLastError(ERROR_INVALID_FLAGS);
      return 0;
    }
    result = win32::Utf8ToWide(multiByteStr, length, &invalid);
  } else {
    std::u32string points;
    if (!DecodeAnsi(cp, multiByteStr, length, &points, &invalid)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    result.assign(points.begin(), points.end());
  }
  if (invalid && (flags & MB_ERR_INVALID_CHARS)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  return Deliver(result, wideCharStr, cchWideChar);
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wideCharStr, int cchWideChar,
                               LPSTR multiByteStr, int cbMultiByte, LPCSTR defaultChar,
                               LPBOOL usedDefaultChar) {
  if (!wideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
      (cbMultiByte > 0 && !multiByteStr) ||
      (cbMultiByte > 0 && static_cast<const void*>(multiByteStr) == static_cast<const void*>(wideCharStr))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t length = cchWideChar == -1 ? std::wcslen(wideCharStr) + 1 : static_cast<size_t>(cchWideChar);
  UINT cp = ResolveCodePage(codePage);
  std::string result;
  if (cp == CP_UTF8) {
    // UTF-8 has no default character; the system refuses those arguments.
    if (defaultChar || usedDefaultChar) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if (flags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) {
      SetLastError(ERROR_INVALID_FLAGS);
      return 0;
    }
    bool replaced = false;
    result = win32::WideToUtf8(wideCharStr, length, &replaced);
    if (replaced && (flags & WC_ERR_INVALID_CHARS)) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return 0;
    }
  } else {
    std::string fallback = "?";
    if (defaultChar && *defaultChar) {
      // One character of the code page: a lead byte brings its trail byte.
      size_t n = (IsDoubleByte(cp) && static_cast<unsigned char>(defaultChar[0]) >= 0x81 && defaultChar[1]) ? 2 : 1;
      fallback.assign(defaultChar, n);
    }
    std::u32string points = win32::JoinSurrogates(wideCharStr, length, kUnmappable, nullptr);
    bool used = false;
    if (!EncodeAnsi(cp, points, fallback, !(flags & WC_NO_BEST_FIT_CHARS), &result, &used)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if (usedDefaultChar) *usedDefaultChar = used ? TRUE : FALSE;
  }
  return Deliver(result, multiByteStr, cbMultiByte);
}
