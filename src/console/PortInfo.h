#pragma once
// Port listing and the advice given when a device may not be opened.

#include <string>

namespace korv {

// The sysfs tty root: $KORV_SYSFS_TTY when set (tests point it at a fake tree), else
// /sys/class/tty.
std::string SysfsTtyRoot();

// One line per port of the port list, in its order: name, device path and, where known, the
// driver and the USB product.
std::string FormatPortListing(const std::string& sysfsRoot);

// One line of advice for a device the user may not open: the group that owns it and the
// command that adds the user to it. Empty when the device cannot be examined.
std::string PermissionHint(const std::string& devicePath);

}  // namespace korv
