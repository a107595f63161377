#pragma once
// Pixel sizes for the window's screen. The program is per-monitor DPI aware: dialogs scale by
// their dialog units, and the sizes given in pixels at 96 dots per inch scale by this.

#include "win/Win32.h"

namespace korv::win {

// Sent when the window moves to a monitor with another DPI (to the main window, then to each
// child). Windows 8.1 and 10 define them; the headers show them only to programs that require
// those versions, and this one also starts on Windows 7, which never sends them.
inline constexpr UINT kWmDpiChanged = 0x02E0;
inline constexpr UINT kWmDpiChangedBeforeParent = 0x02E2;
inline constexpr UINT kWmDpiChangedAfterParent = 0x02E3;

// Dots per inch of the monitor the window is on (96 where the system cannot tell).
UINT DpiForWindow(HWND hwnd);
// px pixels at 96 dots per inch, for the window's monitor.
int ScaleForWindow(HWND hwnd, int px);

}  // namespace korv::win
