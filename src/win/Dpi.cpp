#include "win/Dpi.h"

namespace korv::win {

UINT DpiForWindow(HWND hwnd) {
    // Looked up at run time: systems before Windows 10 do not have it.
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpi = reinterpret_cast<GetDpiForWindowFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpi != nullptr && hwnd != nullptr) {
        const UINT dpi = getDpi(hwnd);
        if (dpi != 0) {
            return dpi;
        }
    }
    const HDC dc = GetDC(nullptr);
    const int dpi = dc != nullptr ? GetDeviceCaps(dc, LOGPIXELSY) : 0;
    if (dc != nullptr) {
        ReleaseDC(nullptr, dc);
    }
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

int ScaleForWindow(HWND hwnd, int px) {
    return MulDiv(px, static_cast<int>(DpiForWindow(hwnd)), 96);
}

}  // namespace korv::win
