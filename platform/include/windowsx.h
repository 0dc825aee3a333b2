// Message crackers. Mouse coordinates in lParam are signed 16-bit values: a
// point left of or above a window's origin is negative.
#pragma once
#include <windows.h>

#define GET_X_LPARAM(lp) ((int)(short)LOWORD(lp))
#define GET_Y_LPARAM(lp) ((int)(short)HIWORD(lp))
