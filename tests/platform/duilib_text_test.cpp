// Window-library text handling: CDuiString with the Windows printf rules,
// the RTF reader and rich-edit streaming.
#include <gtest/gtest.h>

#include <windows.h>
#include <duilib/UIlib.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "support/temp_machine.h"

using namespace DuiLib;
using testing_support::TempMachine;

TEST(DuiString, FormatFollowsWindowsWideRules) {
  CDuiString s;
  // %s is wide text in a wide format, %S and %hs narrow.
  s.Format(L"v%s|%S|%hs|%c|%C", L"1.2.3", "narrow", "hs", L'中', 'n');
  EXPECT_STREQ(L"v1.2.3|narrow|hs|中|n", s.GetData());
  s.Format(L"空间：%.2fMB", 180.36);
  EXPECT_STREQ(L"空间：180.36MB", s.GetData());
  s.Format(L"%I64d/%I64u/%5.1f%%", static_cast<long long>(-5000000000LL), 18446744073709551615ULL, 2.25);
  EXPECT_STREQ(L"-5000000000/18446744073709551615/  2.2%", s.GetData());
  // Results longer than any first guess are not cut.
  std::wstring longText(5000, L'x');
  s.Format(L"[%s]", longText.c_str());
  EXPECT_EQ(5002, s.GetLength());
}

TEST(DuiString, EditingAndComparison) {
  CDuiString s(L"Click");
  EXPECT_TRUE(s == L"Click");
  EXPECT_EQ(0, s.CompareNoCase(L"cLICK"));
  EXPECT_NE(0, s.Compare(L"click"));
  s += L"/click";
  EXPECT_EQ(2, s.Replace(L"lick", L"L"));
  EXPECT_STREQ(L"CL/cL", s.GetData());
  EXPECT_STREQ(L"L/", s.Mid(1, 2).GetData());
  EXPECT_STREQ(L"", s.Mid(10).GetData());
  EXPECT_STREQ(L"cL", s.Right(2).GetData());
  EXPECT_EQ(2, s.Find(L'/'));
  EXPECT_EQ(-1, s.Find(L"zz"));
  s = s.GetData() + 3;  // assignment from its own buffer
  EXPECT_STREQ(L"cL", s.GetData());
  EXPECT_EQ(L'\0', s.GetAt(5));
}

TEST(RtfReader, UnicodeEscapesSkipTheirFallback) {
  EXPECT_EQ(L"中文 ok\n", RtfToText("{\\rtf1\\ansi\\uc1\\u20013?\\u25991? ok\\par}"));
  // \uc2 makes two fallback characters; a \'hh counts as one.
  EXPECT_EQ(L"中x", RtfToText("{\\rtf1\\uc2\\u20013\\'3f\\'3fx}"));
  // Negative code units and surrogate pairs.
  EXPECT_EQ(L"\uFF01\U0001F600", RtfToText("{\\rtf1\\u-255?\\u-10179?\\u-8704?}"));
}

TEST(RtfReader, AnsiBytesUseTheDocumentOrMachineCodePage) {
  TempMachine machine;  // ANSI code page 936 by default
  EXPECT_EQ(L"中文", RtfToText("{\\rtf1\\ansi\\ansicpg936 \\'d6\\'d0\\'ce\\'c4}"));
  EXPECT_EQ(L"中", RtfToText("{\\rtf1\\ansi \\'d6\\'d0}"));
}

TEST(RtfReader, DestinationsAndFormattingAreDropped) {
  std::string rtf =
      "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0\\fnil Tahoma;}}{\\colortbl ;\\red1\\green2\\blue3;}"
      "{\\*\\generator Writer 1.0;}{\\info{\\title T}}\\pard\\b Title\\b0\\par\r\n"
      "a\\tab b\\line c \\{x\\}\\\\ {\\field{\\*\\fldinst HYPERLINK \"u\"}{\\fldrslt link}}\\par}";
  EXPECT_EQ(L"Title\na\tb\nc {x}\\ link\n", RtfToText(rtf));
}

namespace {

struct Chunks {
  std::string data;
  size_t pos = 0;
  int calls = 0;
  DWORD failAt = 0;  // call number that returns an error, 0 = never
};

DWORD CALLBACK ReadChunk(DWORD_PTR cookie, LPBYTE buffer, LONG wanted, LONG* got) {
  auto* c = reinterpret_cast<Chunks*>(cookie);
  if (++c->calls == static_cast<int>(c->failAt)) return 0xFFFFFFFF;
  // Small pieces: escapes are split across reads.
  size_t n = std::min<size_t>({static_cast<size_t>(wanted), 7, c->data.size() - c->pos});
  std::memcpy(buffer, c->data.data() + c->pos, n);
  c->pos += n;
  *got = static_cast<LONG>(n);
  return 0;
}

}  // namespace

TEST(RichEdit, StreamInReadsInChunksUntilEndOrError) {
  CRichEditUI edit;
  Chunks chunks;
  chunks.data = "{\\rtf1\\ansi\\uc1 Korva \\u21327?\\u-29778?\\par Line two}";
  EDITSTREAM es{reinterpret_cast<DWORD_PTR>(&chunks), 0, ReadChunk};
  EXPECT_EQ(17, edit.StreamIn(SF_RTF, es));
  EXPECT_STREQ(L"Korva 协议\nLine two", edit.GetText().GetData());
  EXPECT_EQ(0u, es.dwError);

  // A callback error stops the stream and keeps what was read.
  Chunks broken;
  broken.data = "plain text that is longer than one chunk";
  broken.failAt = 3;
  EDITSTREAM es2{reinterpret_cast<DWORD_PTR>(&broken), 0, ReadChunk};
  edit.StreamIn(SF_RTF, es2);
  EXPECT_EQ(0xFFFFFFFFu, es2.dwError);
  EXPECT_STREQ(L"plain text tha", edit.GetText().GetData());
}
