#pragma once
// The Windows desktop program with its station window (korvalin.exe --station): the profile, the
// station model and its window, owned for the run, and the message loop that serves the model.

#include <string>

#include "station/StationModel.h"
#include "view/UserProfile.h"
#include "win/StationWindow.h"

namespace korv::win {

class CStationApp {
  public:
    // stationFile: the station to open once the window shows; empty: none.
    explicit CStationApp(std::string stationFile);
    CStationApp(const CStationApp&) = delete;
    CStationApp& operator=(const CStationApp&) = delete;

    // Registers the terminal class and creates and shows the window. False, after a message,
    // when the station or its window cannot be set up; the program then ends.
    bool InitInstance(HINSTANCE instance);
    // The message loop, which also waits for the model's notices and time-outs; returns the exit
    // code.
    int Run();

  private:
    std::string m_stationFile;
    // Where the logs go when the station names no folder.
    std::string m_defaultLogDir;
    // The profile's network ports are offered by the port dialog.
    CProfileAdapter m_profile{CUserProfile("QUENDAL", "KORVALIN")};
    CStationModel m_model;
    // Declared after the model: the window goes first and lets go of the model's terminals.
    CStationWindow m_window{m_model, m_profile, m_defaultLogDir};
};

}  // namespace korv::win
