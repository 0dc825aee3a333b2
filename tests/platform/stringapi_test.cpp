#include <gtest/gtest.h>

#include <string>

#include <windows.h>

#include "support/temp_machine.h"

using testing_support::TempMachine;

namespace {

std::string ToAnsi(const std::wstring& w, BOOL* usedDefault = nullptr, UINT cp = CP_ACP) {
  int n = WideCharToMultiByte(cp, 0, w.c_str(), -1, nullptr, 0, nullptr, usedDefault);
  if (n <= 0) return "<fail>";
  std::string out(static_cast<size_t>(n), '\0');
  EXPECT_EQ(n, WideCharToMultiByte(cp, 0, w.c_str(), -1, &out[0], n, nullptr, usedDefault));
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

std::wstring ToWide(const std::string& s, UINT cp = CP_ACP) {
  int n = MultiByteToWideChar(cp, 0, s.c_str(), -1, nullptr, 0);
  if (n <= 0) return L"<fail>";
  std::wstring out(static_cast<size_t>(n), L'\0');
  EXPECT_EQ(n, MultiByteToWideChar(cp, 0, s.c_str(), -1, &out[0], n));
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

}  // namespace

TEST(StringApi, GbkIsTheDefaultCodePageAndRoundTrips) {
  TempMachine m;
  EXPECT_EQ(936u, GetACP());
  const std::wstring text = L"安装成功 C:\\Program Files\\korva";
  BOOL used = TRUE;
  std::string ansi = ToAnsi(text, &used);
  EXPECT_FALSE(used);
  EXPECT_EQ(std::string("\xB0\xB2\xD7\xB0\xB3\xC9\xB9\xA6 C:\\Program Files\\korva"), ansi);
  EXPECT_EQ(text, ToWide(ansi));
  // The ideographic full stop that log formats carry as raw bytes.
  EXPECT_EQ(L"\x3002", ToWide("\xA1\xA3"));
}

TEST(StringApi, Cp1252FromMachineConfig) {
  TempMachine m;
  m.WriteConfig(R"({"acp": 1252})");
  EXPECT_EQ(1252u, GetACP());
  BOOL used = TRUE;
  EXPECT_EQ("caf\xE9 \x80", ToAnsi(L"café €", &used));
  EXPECT_FALSE(used);
  EXPECT_EQ(L"café €", ToWide("caf\xE9 \x80"));
  // Bytes the code page leaves undefined survive a round trip.
  EXPECT_EQ(std::wstring(1, L'\x81'), ToWide("\x81"));
  EXPECT_EQ("\x81", ToAnsi(std::wstring(1, L'\x81')));
}

TEST(StringApi, UnmappableCharactersBecomeTheDefaultChar) {
  TempMachine m;
  m.WriteConfig(R"({"acp": 1252})");
  BOOL used = FALSE;
  EXPECT_EQ("a?b", ToAnsi(L"a中b", &used));
  EXPECT_TRUE(used);

  // A caller-chosen default character, and a surrogate pair counted once.
  std::wstring pair = {L'x', static_cast<WCHAR>(0xD83D), static_cast<WCHAR>(0xDE00), L'y'};
  char out[16] = {};
  used = FALSE;
  int n = WideCharToMultiByte(CP_ACP, 0, pair.c_str(), static_cast<int>(pair.size()), out, sizeof(out), "#", &used);
  EXPECT_EQ(3, n);
  EXPECT_EQ("x#y", std::string(out, 3));
  EXPECT_TRUE(used);

  m.WriteConfig(R"({"acp": 936})");
  used = FALSE;
  EXPECT_EQ("\xB0\xB2?", ToAnsi(L"安\x0E01", &used));  // Thai is not in GBK
  EXPECT_TRUE(used);
}

TEST(StringApi, LengthConventions) {
  TempMachine m;
  // -1 counts the terminator; an explicit length does not add one.
  EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0));
  EXPECT_EQ(3, MultiByteToWideChar(CP_UTF8, 0, "abc", 3, nullptr, 0));
  EXPECT_EQ(4, WideCharToMultiByte(CP_ACP, 0, L"安a", -1, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(5, WideCharToMultiByte(CP_UTF8, 0, L"é€", 2, nullptr, 0, nullptr, nullptr));
  // Text after an embedded NUL is not converted with -1.
  const char embedded[] = "ab\0cd";
  EXPECT_EQ(3, MultiByteToWideChar(CP_ACP, 0, embedded, -1, nullptr, 0));
  EXPECT_EQ(6, MultiByteToWideChar(CP_ACP, 0, embedded, 6, nullptr, 0));

  WCHAR small[2] = {};
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, small, 2));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  char tiny[3] = {};
  EXPECT_EQ(0, WideCharToMultiByte(CP_ACP, 0, L"安装", -1, tiny, 3, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());

  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", 0, nullptr, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, nullptr, -1, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  BOOL used = FALSE;
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, L"a", -1, nullptr, 0, nullptr, &used));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(StringApi, Utf8ReplacementAndStrictMode) {
  TempMachine m;
  EXPECT_EQ(L"a\xFFFD" L"b", ToWide("a\xFF" "b", CP_UTF8));
  EXPECT_EQ(L"\xFFFD" L"z", ToWide("\xE4\xB8" "z", CP_UTF8));  // truncated sequence
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF", -1, nullptr, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
  EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xE4\xB8\xAD" "1\xF0\x9F\x98\x80" "2", 9, nullptr, 0));

  // Widened surrogate pairs are joined; a lone one is replaced or refused.
  std::wstring pair = {static_cast<WCHAR>(0xD83D), static_cast<WCHAR>(0xDE00)};
  EXPECT_EQ("\xF0\x9F\x98\x80", ToAnsi(pair, nullptr, CP_UTF8));
  EXPECT_EQ(std::wstring(1, static_cast<WCHAR>(0x1F600)), ToWide("\xF0\x9F\x98\x80", CP_UTF8));
  std::wstring lone = {L'a', static_cast<WCHAR>(0xDC00)};
  EXPECT_EQ("a\xEF\xBF\xBD", ToAnsi(lone, nullptr, CP_UTF8));
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone.c_str(), 2, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
}

TEST(StringApi, Cp936HasWindowsExtrasBeyondGbk) {
  TempMachine m;
  // Single bytes: the euro sign and a private use character.
  EXPECT_EQ(L"\x20AC\xF8F5", ToWide("\x80\xFF"));
  EXPECT_EQ("\x80\xFF", ToAnsi(L"\x20AC\xF8F5"));
  // User-defined areas, and codes that stayed in the private use area
  // although GB18030 gave them characters later.
  EXPECT_EQ(L"\xE000\xE4C6\xE78D\xE7C7\xE816\xE864", ToWide("\xAA\xA1\xA1\x40\xA6\xD9\xA8\xBC\xFE\x51\xFE\xA0"));
  EXPECT_EQ("\xAA\xA1\xFE\x51", ToAnsi(L"\xE000\xE816"));
  // A lead byte takes any byte after it along, except the terminator.
  EXPECT_EQ(L"caf? \x20AC", ToWide("caf\xE9 \x20\x80"));
  EXPECT_EQ(L"?x", ToWide("\x81\x7Fx"));
}

TEST(StringApi, BestFitReplacementsUnlessForbidden) {
  TempMachine m;
  m.WriteConfig(R"({"acp": 1252})");
  BOOL used = TRUE;
  EXPECT_EQ("AcI-A", ToAnsi(L"\x0100\x010D\x0130\x2010\xFF21", &used));
  EXPECT_FALSE(used);
  char out[8] = {};
  used = FALSE;
  EXPECT_EQ(2, WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, L"\x0100x", 2, out, sizeof(out), nullptr, &used));
  EXPECT_EQ("?x", std::string(out, 2));
  EXPECT_TRUE(used);

  m.WriteConfig(R"({"acp": 936})");
  // A compatibility ideograph is written as its unified one.
  EXPECT_EQ("|\xD8\x4D", ToAnsi(L"\x00A6\xF900", &used));
  EXPECT_FALSE(used);
}

TEST(StringApi, BrokenDoubleByteInput) {
  TempMachine m;
  // A lead byte at the end, and one followed by a byte that cannot trail.
  EXPECT_EQ(L"a?", ToWide("a\xB0"));
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, "a\xB0", 2, nullptr, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
  EXPECT_EQ(0, MultiByteToWideChar(12345, 0, "a", 1, nullptr, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}
