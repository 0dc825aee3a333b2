// Filled in by the module that provides these calls.
#pragma once
#include <win32/wintypes.h>
