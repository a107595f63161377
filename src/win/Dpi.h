#pragma once
// Pixel sizes for the window's screen. The program is per-monitor DPI aware: dialogs scale by
// their dialog units, and the sizes given in pixels at 96 dots per inch scale by this.

#include "win/Win32.h"

namespace korv::win {

// Dots per inch of the monitor the window is on (96 where the system cannot tell).
UINT DpiForWindow(HWND hwnd);
// px pixels at 96 dots per inch, for the window's monitor.
int ScaleForWindow(HWND hwnd, int px);

}  // namespace korv::win
