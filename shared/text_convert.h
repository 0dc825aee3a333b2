// Conversions between wide text (paths, configuration values, window
// texts), the ANSI code page (log lines, narrow paths, HTTP text) and UTF-8
// (JSON, URLs), and the trailing-backslash helpers. None fails: characters
// the target cannot hold become its default character.
#pragma once
#include <string>

#include <windows.h>

std::string WideToAnsi(std::wstring text);
std::wstring AnsiToWide(std::string text);
std::wstring Utf8ToWide(std::string text);
std::string WideToUtf8(std::wstring text);
std::string AnsiToUtf8(std::string text);

// PathAddBackslashW / PathRemoveBackslashW on a MAX_PATH buffer; a path of
// MAX_PATH characters or more comes back unchanged.
std::wstring AddBackslash(std::wstring path);
std::wstring RemoveBackslash(std::wstring path);
