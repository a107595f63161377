#pragma once
// The advice given when the system refuses to open a port ("access denied"), for every front end.

#include <string>

namespace korv {

// devicePath as opened: on Linux the group that owns the device and how to join it, on Windows
// what usually holds a COM port and how to find it. Empty when there is nothing useful to say.
std::string PermissionHint(const std::string& devicePath);

}  // namespace korv
