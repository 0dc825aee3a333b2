// Network adapters.
#pragma once
#include <windows.h>
#include <win32/adapters.h>
