// Internet connection state.
#pragma once
#include <windows.h>
#include <win32/inet_state.h>
