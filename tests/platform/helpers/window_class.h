// Registers a window class for a test window procedure (again is harmless).
#pragma once
#include <windows.h>

namespace window_test {

inline void RegisterWindowClass(const wchar_t* name, WNDPROC proc) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = proc;
  wc.lpszClassName = name;
  RegisterClassExW(&wc);
}

}  // namespace window_test
