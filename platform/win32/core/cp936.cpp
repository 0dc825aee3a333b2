// Code page 936 as Windows has it. Its double-byte characters are those of
// GB18030's two-byte part, except a few codes that later editions of
// GB18030 moved out of the private use area: Windows keeps them there. On
// top, 0x80 is the euro sign and 0xFF a private use character.
#include <iconv.h>

#include <vector>

#include "code_page_tables.h"

namespace win32 {
namespace {

constexpr int kFirstLead = 0x81, kLastLead = 0xFE;
constexpr int kFirstTrail = 0x40, kLastTrail = 0xFE;
constexpr int kTrails = kLastTrail - kFirstTrail + 1;

// Codes that stay in the private use area: the first code of a run, its
// last, and the private use character of the first (0x7F is never a trail,
// so a run across it skips it).
struct PrivateRun {
  unsigned short first, last;
  char16_t character;
};
const PrivateRun kPrivateRuns[] = {
    {0xA2E3, 0xA2E3, 0xE76C}, {0xA6D9, 0xA6DF, 0xE78D}, {0xA6EC, 0xA6ED, 0xE794}, {0xA6F3, 0xA6F3, 0xE796},
    {0xA8BC, 0xA8BC, 0xE7C7}, {0xA8BF, 0xA8BF, 0xE7C8}, {0xA989, 0xA995, 0xE7E7}, {0xFE50, 0xFEA0, 0xE815},
};

bool IsTrail(int byte) { return byte >= kFirstTrail && byte <= kLastTrail && byte != 0x7F; }

char32_t PrivateCharacter(int code) {
  for (const PrivateRun& run : kPrivateRuns) {
    if (code < run.first || code > run.last) continue;
    int offset = code - run.first;
    if ((run.first & 0xFF) < 0x7F && (code & 0xFF) > 0x7F) --offset;
    return run.character + offset;
  }
  return 0;
}

struct Tables {
  // Code point of every pair, 0 where it has none.
  std::vector<char32_t> decode = std::vector<char32_t>((kLastLead - kFirstLead + 1) * kTrails, 0);
  // Code of every BMP code point, 0 where it has none.
  std::vector<unsigned short> encode = std::vector<unsigned short>(0x10000, 0);
};

const Tables& Cp936() {
  static const Tables tables = [] {
    Tables t;
    iconv_t cd = iconv_open("UTF-32LE", "GB18030");
    for (int lead = kFirstLead; lead <= kLastLead; ++lead) {
      for (int trail = kFirstTrail; trail <= kLastTrail; ++trail) {
        if (!IsTrail(trail)) continue;
        const int code = lead << 8 | trail;
        char32_t c = PrivateCharacter(code);
        if (!c && cd != reinterpret_cast<iconv_t>(-1)) {
          char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
          unsigned char out[4] = {};
          char* inp = in;
          size_t inLeft = 2;
          char* outp = reinterpret_cast<char*>(out);
          size_t outLeft = sizeof(out);
          iconv(cd, nullptr, nullptr, nullptr, nullptr);
          if (iconv(cd, &inp, &inLeft, &outp, &outLeft) != static_cast<size_t>(-1) && inLeft == 0 && outLeft == 0)
            c = static_cast<char32_t>(out[0] | out[1] << 8 | out[2] << 16 | out[3] << 24);
        }
        t.decode[(lead - kFirstLead) * kTrails + (trail - kFirstTrail)] = c;
        if (c && c < 0x10000 && !t.encode[c]) t.encode[c] = static_cast<unsigned short>(code);
      }
    }
    if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    return t;
  }();
  return tables;
}

}  // namespace

void DecodeCp936(const char* text, size_t length, std::u32string* out, bool* invalid) {
  const Tables& tables = Cp936();
  out->clear();
  for (size_t i = 0; i < length; ++i) {
    const int byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      out->push_back(static_cast<char32_t>(byte));
    } else if (byte == 0x80) {
      out->push_back(0x20AC);
    } else if (byte == 0xFF) {
      out->push_back(0xF8F5);
    } else if (i + 1 < length && text[i + 1] != '\0') {
      const int trail = static_cast<unsigned char>(text[++i]);
      char32_t c = IsTrail(trail) ? tables.decode[(byte - kFirstLead) * kTrails + (trail - kFirstTrail)] : 0;
      if (!c) *invalid = true;
      out->push_back(c ? c : U'?');
    } else {
      *invalid = true;
      out->push_back(U'?');
    }
  }
}

bool EncodeCp936(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
    return true;
  }
  if (c == 0x20AC || c == 0xF8F5) {
    out->push_back(c == 0x20AC ? '\x80' : '\xFF');
    return true;
  }
  if (c >= 0x10000) return false;
  const unsigned short code = Cp936().encode[c];
  if (!code) return false;
  out->push_back(static_cast<char>(code >> 8));
  out->push_back(static_cast<char>(code & 0xFF));
  return true;
}

}  // namespace win32
