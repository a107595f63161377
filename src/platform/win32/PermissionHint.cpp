// The advice for a COM port whose open was refused on Windows. Windows opens a COM port for one
// program at a time and says "Access is denied" to every other, so the usual cause is another
// program holding it: a terminal program, a vendor's update tool, another copy of this one.

#include <string>

#include "platform/PermissionHint.h"

namespace korv {

std::string PermissionHint(const std::string& devicePath) {
    std::string port = devicePath;
    if (port.rfind("\\\\.\\", 0) == 0) {
        port.erase(0, 4);
    }
    return "Windows refuses a COM port to every program but the one that has it open: close any "
           "terminal or tester program that may use " +
           port +
           " (Device Manager shows whether the port exists; Resource Monitor's CPU tab, "
           "Associated Handles, searched for \"Serial\", shows which program holds it) and try "
           "again.";
}

}  // namespace korv
