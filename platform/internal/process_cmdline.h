// The Windows command-line rules. Platform-internal.
#pragma once
#include <string>
#include <vector>

namespace win32 {

// Splits program parameters as CommandLineToArgvW does for every argument
// after the program name: blanks and tabs separate; double quotes group and
// are removed; 2n backslashes before a quote give n and the quote groups,
// 2n+1 give n and a literal quote; other backslashes stay; "" inside quotes
// is a literal quote.
std::vector<std::wstring> SplitCommandLine(const std::wstring& parameters);

}  // namespace win32
