// Shell folders, directory creation and the folder browser.
#pragma once
#include <windows.h>
#include <win32/shell_folders.h>
#include <win32/shell_browse.h>
