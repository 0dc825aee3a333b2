// Messages and timer of the update window. The update steps and the flow post
// the messages to the window's own handle with wParam and lParam 0.
#pragma once
#include <windows.h>

// Ends the message loop and with it the program.
const UINT kMsgUpdateQuit = WM_USER + 1;
// A package download begins: the Cancel button becomes usable.
const UINT kMsgDownloadStarted = WM_USER + 2;
// A package download has succeeded: the Cancel button is disabled again.
const UINT kMsgDownloadFinished = WM_USER + 3;

// Refreshes the progress bar while a main or delta package is applied.
const UINT_PTR kUpdateProgressTimer = 3044;
const UINT kUpdateProgressTimerPeriodMs = 100;
