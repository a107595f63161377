#pragma once
// Port listing and the advice given when a port may not be opened.

#include <string>

namespace korv {

// One line per port of the port list, in its order: name, device path and, where known, the
// driver and the USB product.
std::string FormatPortListing();

// Advice for a port whose open was refused with "access denied" (devicePath as opened): on
// Linux the group that owns the device and how to join it, on Windows what usually holds a COM
// port and how to find it. Empty when there is nothing useful to say.
std::string PermissionHint(const std::string& devicePath);

}  // namespace korv
