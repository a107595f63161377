#pragma once
// korvalin.exe --station [FILE]: the station window's run. A program built without the station
// window (KORV_STATION_WINDOW off) says so instead.

#include <string>

#include "win/Win32.h"

namespace korv::win {

// Shows the station window, with the station file opened when one is given (empty: none), until
// it is closed; returns the program's exit code.
int RunStationWindow(HINSTANCE instance, const std::string& stationFile);

}  // namespace korv::win
