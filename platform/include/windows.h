// The Win32 subset of this machine. Each group of calls lives in its own
// header under win32/; this one brings them all in, as on Windows.
#pragma once
#include <win32/wintypes.h>
#include <winerror.h>
#include <win32/errhandling.h>
#include <win32/stringapi.h>
#include <win32/sysinfo.h>
#include <win32/fileapi.h>
#include <win32/fileapi_ansi.h>
#include <win32/synchapi.h>
#include <win32/processapi.h>
#include <win32/libloader.h>
#include <winreg.h>
#include <winuser.h>
