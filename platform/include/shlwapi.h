// Path helpers of shlwapi.
#pragma once
#include <windows.h>
#include <win32/shell_paths.h>
