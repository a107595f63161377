#pragma once
// The name of the machine the program runs on, as UTF-8: what a production record calls the
// station when the operator names none.

#include <string>

namespace korv {

// The host name (on Windows the DNS host name, without its domain); empty when the system cannot
// tell.
std::string HostName();

}  // namespace korv
