// The shell link object: IShellLinkW and IPersistFile.
#pragma once
#include <objbase.h>
#include <win32/shell_link.h>
