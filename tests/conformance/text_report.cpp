// Constants, text conversion, the backslash helpers and the time stamps.
#include <string>

#include "conformance/report.h"
#include "shared/file_system.h"
#include "shared/log_writer.h"
#include "shared/md5.h"
#include "shared/product_constants.h"
#include "shared/text_convert.h"
#include "shared/utc_time.h"

namespace conformance {
namespace {

bool AllDigits(const std::wstring& text) {
  for (WCHAR c : text)
    if (c < L'0' || c > L'9') return false;
  return true;
}

// The GBK bytes of "安装成功".
const char kGbkInstalled[] = "\xB0\xB2\xD7\xB0\xB3\xC9\xB9\xA6";

void ReportConversions() {
  Fact("empty in, empty out",
       YesNo(WideToAnsi(L"").empty() && AnsiToWide("").empty() && Utf8ToWide("").empty() &&
             WideToUtf8(L"").empty() && AnsiToUtf8("").empty()));

  const std::wstring chinese = kInstallResultTexts[0];
  Fact("WideToAnsi chinese", Bytes(WideToAnsi(chinese)));
  Fact("AnsiToWide gbk", Esc(AnsiToWide(kGbkInstalled)));
  Fact("AnsiToUtf8 gbk", Bytes(AnsiToUtf8(kGbkInstalled)));
  Fact("WideToUtf8 chinese", Bytes(WideToUtf8(chinese)));
  Fact("Utf8ToWide chinese", Esc(Utf8ToWide("\xE5\xAE\x89\xE8\xA3\x85\xE6\x88\x90\xE5\x8A\x9F")));
  Fact("ANSI round trip of the full stop", Esc(AnsiToWide("\xA1\xA3")) + " " + Bytes(WideToAnsi(L"\u3002")));

  // Latin text: single bytes in 1252, partly double bytes or the default
  // character in 936.
  const std::wstring latin = L"caf\u00e9 \u00fc\u00df \u20ac \u0160 \u2019";
  Fact("WideToAnsi latin", Bytes(WideToAnsi(latin)));
  Fact("latin through ANSI and back", Esc(AnsiToWide(WideToAnsi(latin))));
  Fact("AnsiToUtf8 latin bytes", Bytes(AnsiToUtf8("caf\xE9 \x80 \x8A")));
  // Characters that neither code page holds.
  Fact("WideToAnsi outside the code page", Bytes(WideToAnsi(L"x\u0E01\u10D0y")));
  Fact("UTF-8 round trip outside the code page",
       YesNo(Utf8ToWide(WideToUtf8(L"x\u0E01\u10D0y\u3002")) == L"x\u0E01\u10D0y\u3002"));

  // Every high byte alone, then the double-byte edges of GBK.
  std::string high;
  for (int b = 0x80; b <= 0xFF; ++b) high += Esc(AnsiToWide(std::string(1, static_cast<char>(b)))) + " ";
  Fact("AnsiToWide high bytes", high);
  Fact("AnsiToWide lead byte at the end", Esc(AnsiToWide("a\x81")));
  Fact("AnsiToWide lead byte before ASCII", Esc(AnsiToWide("\x81" "a")));
  Fact("AnsiToWide GBK extension pair", Esc(AnsiToWide("\x81\x40\xFE\x4F")));

  // The system stops at the first NUL.
  Fact("AnsiToWide stops at NUL", Esc(AnsiToWide(std::string("ab\0cd", 5))));
  Fact("WideToAnsi stops at NUL", Bytes(WideToAnsi(std::wstring(L"ab\0cd", 5))));
  Fact("Utf8ToWide stops at NUL", Esc(Utf8ToWide(std::string("ab\0cd", 5))));

  // Ill-formed UTF-8 and an unpaired surrogate.
  Fact("Utf8ToWide invalid byte", Esc(Utf8ToWide("a\xFF" "b")));
  Fact("Utf8ToWide truncated sequence", Esc(Utf8ToWide("a\xE5\xAE")));
  Fact("Utf8ToWide overlong slash", Esc(Utf8ToWide("a\xC0\xAF" "b")));
  Fact("Utf8ToWide lone continuation", Esc(Utf8ToWide("\x80" "b")));
  Fact("WideToUtf8 unpaired surrogate", Bytes(WideToUtf8(L"a\xD800" L"b")));
}

// UTF-16LE bytes of wide text, the same whatever the size of WCHAR.
std::string Utf16Bytes(const std::wstring& text) {
  std::string bytes;
  for (WCHAR c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>((c >> 8) & 0xFF);
  }
  return bytes;
}

std::string Digest(const std::string& bytes) {
  char hex[33] = {};
  if (!Md5Hex(bytes.data(), static_cast<DWORD>(bytes.size()), hex)) return "(empty)";
  return hex;
}

// The whole code page both ways, as digests of blocks: every lead byte with
// every byte after it, and every UTF-16 unit outside the surrogates. The
// blocks also go to tables.txt in full, to see where two systems part.
void ReportCodePageTables() {
  std::string table;
  const bool doubleByte = GetACP() == 936;
  std::string singles;
  for (int b = 1; b <= 0xFF; ++b) singles += static_cast<char>(b);
  std::wstring wide = AnsiToWide(singles);
  Fact("bytes 01-FF in a row", Digest(Utf16Bytes(wide)));
  table += "bytes 01-FF in a row: " + Esc(wide) + "\n";
  if (doubleByte) {
    for (int lead = 0x81; lead <= 0xFE; ++lead) {
      std::string pairs;
      for (int trail = 0x40; trail <= 0xFE; ++trail) {
        pairs += static_cast<char>(lead);
        pairs += static_cast<char>(trail);
      }
      wide = AnsiToWide(pairs);
      Fact("lead byte " + Num(lead), Digest(Utf16Bytes(wide)));
      table += "lead byte " + Num(lead) + ": " + Esc(wide) + "\n";
    }
  }
  for (int block = 0; block < 0x100; ++block) {
    if (block >= 0xD8 && block <= 0xDF) continue;
    std::wstring units;
    for (int low = 0; low < 0x100; ++low) {
      if (block || low) units += static_cast<WCHAR>(block * 0x100 + low);
    }
    std::string bytes = WideToAnsi(units);
    Fact("units " + Num(block) + "xx", Digest(bytes));
    table += "units " + Num(block) + "xx: " + Bytes(bytes) + "\n";
  }
  PutFile(At(L"tables.txt"), table);
}

void ReportBackslashes() {
  struct Case {
    const WCHAR* path;
  };
  const Case cases[] = {{L"C:\\dir"}, {L"C:\\dir\\"}, {L"C:\\dir\\\\"}, {L"C:"}, {L"C:\\"}, {L""},
                        {L"\\"},      {L"dir"},      {L"dir/"},        {L"\\\\server\\share\\"}};
  for (const Case& c : cases) {
    Fact("AddBackslash \"" + Esc(c.path) + "\"", "\"" + Esc(AddBackslash(c.path)) + "\"");
    Fact("RemoveBackslash \"" + Esc(c.path) + "\"", "\"" + Esc(RemoveBackslash(c.path)) + "\"");
  }
  // Around MAX_PATH: the length of the result and its last character.
  for (size_t length = MAX_PATH - 2; length <= MAX_PATH + 1; ++length) {
    std::wstring plain = L"C:\\" + std::wstring(length - 3, L'p');
    // Wine appends to 259 characters, writing its terminator past the
    // buffer; Windows leaves such a path as it is (no room for both).
    if (length != MAX_PATH - 1) {
      std::wstring added = AddBackslash(plain);
      Fact("AddBackslash of " + Num(length) + " characters",
           Num(added.size()) + " ending " + Esc(added.substr(added.size() - 1)));
    }
    std::wstring removed = RemoveBackslash(plain.substr(0, length - 1) + L"\\");
    Fact("RemoveBackslash of " + Num(length) + " characters",
         Num(removed.size()) + " ending " + Esc(removed.substr(removed.size() - 1)));
  }
}

void ReportTimes() {
  std::wstring stamp, date;
  // Read again when midnight passed between the two calls.
  for (int tries = 0; tries < 3; ++tries) {
    stamp = GetUtcTimestamp();
    date = GetUtcDate();
    if (stamp.size() >= 8 && date.size() == 10 && stamp.substr(0, 4) == date.substr(0, 4) &&
        stamp.substr(4, 2) == date.substr(5, 2) && stamp.substr(6, 2) == date.substr(8, 2))
      break;
  }
  Fact("timestamp is 14 digits", YesNo(stamp.size() == 14 && AllDigits(stamp)));
  Fact("date is YYYY-MM-DD", YesNo(date.size() == 10 && date[4] == L'-' && date[7] == L'-' &&
                                   AllDigits(date.substr(0, 4) + date.substr(5, 2) + date.substr(8, 2))));
  Fact("timestamp and date are the same day",
       YesNo(stamp.size() == 14 && date.size() == 10 && stamp.substr(0, 8) == date.substr(0, 4) +
                                                                                   date.substr(5, 2) +
                                                                                   date.substr(8, 2)));
  SYSTEMTIME utc;
  GetSystemTime(&utc);
  Fact("date is the system's UTC year", YesNo(date.substr(0, 4) == std::to_wstring(utc.wYear)));
}

}  // namespace

void ReportConstants() {
  Section("constants");
  Fact("install result texts", Num(sizeof(kInstallResultTexts) / sizeof(kInstallResultTexts[0])));
  for (const WCHAR* text : kInstallResultTexts) Fact("  install result", Esc(text));
  Fact("update result texts", Num(sizeof(kUpdateResultTexts) / sizeof(kUpdateResultTexts[0])));
  for (const WCHAR* text : kUpdateResultTexts) Fact("  update result", Esc(text));
  Fact("uninstall key of the product", Esc(std::wstring(kUninstallRegKey) + kProductGuid));
  Fact("compatibility layers key", Esc(kAppCompatLayersKey));
  Fact("display name", Esc(std::wstring(kProductName) + L"1.2.3"));
  Fact("module config path", Rel(AddBackslash(Base()) + kModuleSubdir + kUpdateConfigFile));
  Fact("user config path", Esc(std::wstring(L"C:\\AppData") + kUserConfigPath));
  Fact("separators", Esc(std::wstring(kIniPathSeparator) + kExecuteParamSeparator));
  Fact("https prefix", kHttpsPrefix);
  Fact("archive names", Esc(std::wstring(kSevenZipDllName) + L" " + kUnnamedItemPath));
}

void ReportText() {
  Section("text");
  Fact("active code page", Num(GetACP()));
  ReportConversions();
  ReportCodePageTables();
  Section("backslashes");
  ReportBackslashes();
  Section("time stamps");
  ReportTimes();
}

}  // namespace conformance
