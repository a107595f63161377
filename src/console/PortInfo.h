#pragma once
// Port listing.

#include <string>

namespace korv {

// One line per port of the port list, in its order: name, device path and, where known, the
// driver and the USB product.
std::string FormatPortListing();

}  // namespace korv
