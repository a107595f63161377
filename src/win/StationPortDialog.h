#pragma once
// The station window's "Add port" dialog: a port (chosen from the system's serial ports and the
// profile's network ports, or typed in) and its label. The port is added by the caller's
// function while the dialog is up; a port it refuses keeps the dialog open with its message and
// what was typed, so that nothing has to be entered again.

#include <functional>
#include <string>
#include <vector>

#include "win/Win32.h"

namespace korv::win {

// Adds the port name with the label; false with a message for the operator when it cannot.
using AddPortFn =
    std::function<bool(const std::string& name, const std::string& label, std::string* message)>;

// Runs the dialog, owned by owner; true when a port was added.
bool RunAddPortDialog(HINSTANCE instance, HWND owner, const std::vector<std::string>& choices,
                      const AddPortFn& add);

}  // namespace korv::win
