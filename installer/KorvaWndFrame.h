// What the installer's skinned windows share: their frame hit test and the
// way a dialog is opened modally and cleaned up.
#pragma once
#include <duilib/UIlib.h>

// Size-box edges, then the caption: a point on the caption counts as
// HTCAPTION (the window is dragged) unless the control under it is of one of
// the given classes. Anything else is HTCLIENT.
LRESULT HitTestSkinFrame(HWND window, DuiLib::CPaintManagerUI& manager, LPARAM lParam,
                         const wchar_t* const* keepClasses, size_t keepCount);

// Creates the dialog without a parent (or with parent), marks it with the
// installer's window property, centres it and runs it modally. A dialog
// whose loop ended on WM_QUIT still has its window: it is destroyed here,
// before the object on the caller's stack goes away.
UINT RunInstallerDialog(DuiLib::WindowImplBase& dialog, HWND parent, LPCTSTR title);

// Destroys the window of a window object that is about to go away.
void DestroyLeftoverWindow(HWND window);
