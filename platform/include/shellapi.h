// ShellExecuteW / ShellExecuteExW.
#pragma once
#include <windows.h>
#include <win32/shell_execute.h>
