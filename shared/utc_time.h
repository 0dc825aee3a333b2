// UTC time stamps for file names and the uninstall entry's install date.
#pragma once
#include <string>

// "YYYYMMDDhhmmss", fourteen digits.
std::wstring GetUtcTimestamp();
// "YYYY-MM-DD".
std::wstring GetUtcDate();
