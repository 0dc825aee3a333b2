// IStream and its relatives.
#pragma once
#include <windows.h>
#include <unknwn.h>
#include <win32/com_stream.h>
