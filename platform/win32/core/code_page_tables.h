// Where Windows' code pages differ from the host's converters: code page
// 936 with its user-defined areas and single-byte extras, and the best-fit
// replacements that WideCharToMultiByte makes for characters a code page
// lacks. Private to the string conversions.
#pragma once
#include <string>

#include <windows.h>

namespace win32 {

// Bytes of code page 936 -> code points. A lead byte takes the byte after it
// along (unless that is NUL or the end); a pair without a character and a
// lone lead byte become '?' and set *invalid.
void DecodeCp936(const char* text, size_t length, std::u32string* out, bool* invalid);

// Appends the bytes of `c` in code page 936; false when it has none.
bool EncodeCp936(char32_t c, std::string* out);

// Appends the character of `codePage` that Windows writes in place of `c`,
// which the code page lacks; false when there is none (1252 and 936 only).
bool AppendBestFit(UINT codePage, char32_t c, std::string* out);

}  // namespace win32
