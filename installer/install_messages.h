// The installer's windows talk to each other only through these messages,
// all posted (never sent) to the main window with lParam 0.
#pragma once
#include <windows.h>

// The progress window saw 100 %: open the completion window.
const UINT kMsgInstallDone = WM_USER + 1;
// The completion window's choice: wParam 1 starts the installed program,
// 0 does not; the installer ends either way.
const UINT kMsgCompleteChoice = WM_USER + 2;
// Deletes the skin backup and ends the message loop: the only way out.
const UINT kMsgQuit = WM_USER + 3;
// A second installer found this one minimised or hidden: show it.
const UINT kMsgActivate = WM_USER + 4;
// The environment is fine: hide the main window and run the installation.
const UINT kMsgStartInstall = WM_USER + 5;
// The install run failed; wParam is its result code.
const UINT kMsgInstallFailed = WM_USER + 6;

// Name of the single-instance mutex and of the window property by which a
// second installer finds the first one's windows.
const WCHAR kInstallerMark[] = L"KorvaTool";
