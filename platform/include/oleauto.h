// BSTR, VARIANT and PROPVARIANT.
#pragma once
#include <windows.h>
#include <win32/com_variant.h>
