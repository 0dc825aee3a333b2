// Text helpers of the batch interpreter: words, quotes, switches, console
// lines and the system's messages.
#pragma once
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace cmdbat {

// Where a command's output goes: a console stream, a file a redirection
// opened, or nowhere (nul).
struct Sink {
  FILE* stream = nullptr;
  HANDLE file = nullptr;
  void Write(const std::string& bytes) const;
};

// One line in the ANSI code page, ended by CR LF.
void Print(const Sink& sink, const std::wstring& text);

bool IsBlank(wchar_t c);
std::wstring Lower(std::wstring text);
// Without leading and trailing blanks.
std::wstring Trim(const std::wstring& text);
std::wstring Unquote(const std::wstring& text);

// Splits command arguments at blanks outside double quotes and removes the
// quotes ("a b" c -> [a b], [c]).
std::vector<std::wstring> SplitArguments(const std::wstring& text);
// The arguments that are no switches (/x).
std::vector<std::wstring> Operands(const std::vector<std::wstring>& args);
bool HasOption(const std::vector<std::wstring>& args, const wchar_t* option);

// The NUL device: "nul" (or "nul:") in any folder.
bool IsNulDevice(const std::wstring& path);

// The system's message for a Win32 error code, as the commands print it.
std::wstring SystemMessage(DWORD error);

}  // namespace cmdbat
