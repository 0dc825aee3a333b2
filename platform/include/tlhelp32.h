// Process snapshots.
#pragma once
#include <windows.h>
#include <win32/toolhelp.h>
