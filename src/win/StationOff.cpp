// korvalin.exe built without the station window.

#include "win/Station.h"

namespace korv::win {

int RunStationWindow(HINSTANCE, const std::string&) {
    MessageBoxW(nullptr, L"This korvalin.exe was built without the station window.", L"KORVALIN",
                MB_OK | MB_ICONEXCLAMATION);
    return 2;
}

}  // namespace korv::win
