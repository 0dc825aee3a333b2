// Folders of the running program: the user's temporary folder and the
// directory of the program's executable, both with a trailing backslash.
#pragma once
#include <string>

// Cached after the first call that obtained a folder; empty when the system
// gives none (a later call asks again).
std::wstring GetTempDir();
std::wstring GetModuleDir();
