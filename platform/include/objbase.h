// COM start-up and object creation.
#pragma once
#include <windows.h>
#include <unknwn.h>
#include <win32/com_init.h>
