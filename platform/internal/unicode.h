// UTF-8 <-> wide text for the platform's own use (host file names, SQLite,
// JSON). Surrogate pairs in wide text are joined; ill-formed input becomes
// U+FFFD. Platform-internal.
#pragma once
#include <string>

namespace win32 {
std::string WideToUtf8(const std::wstring& text);
std::string WideToUtf8(const wchar_t* text, size_t length);
std::wstring Utf8ToWide(const std::string& text);
std::wstring Utf8ToWide(const char* text, size_t length);

// Same conversions, telling whether anything had to be replaced (ill-formed
// UTF-8, lone surrogates, values beyond U+10FFFF).
std::string WideToUtf8(const wchar_t* text, size_t length, bool* replaced);
std::wstring Utf8ToWide(const char* text, size_t length, bool* replaced);

// Joins UTF-16 surrogate pairs that arrive widened to 32 bits (the archive
// library produces them) into single code points; a lone surrogate becomes
// `loneReplacement`, and *replaced is set when that happened.
std::u32string JoinSurrogates(const wchar_t* text, size_t length, char32_t loneReplacement,
                              bool* replaced);

// Wide text in the ANSI code page and back, through the Win32 conversions;
// empty when the text cannot be converted.
std::string WideToAnsi(const std::wstring& text);
std::wstring AnsiToWide(const std::string& text);
}  // namespace win32
