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
}  // namespace win32
