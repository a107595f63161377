#pragma once
// System error texts. Error codes are errno values, plus a few of the program's own above
// ERR_OWN_BASE for conditions the system has no errno for.

#include <string>

namespace korv {

inline constexpr int ERR_OWN_BASE = 0x20000000;
// The chosen update file is a directory, FIFO, device or socket.
inline constexpr int ERR_NOT_REGULAR_FILE = ERR_OWN_BASE + 1;
// The update file ended before the size it had when the transfer started.
inline constexpr int ERR_FILE_SHRANK = ERR_OWN_BASE + 2;

// The text for an error code, without a trailing line end; empty when there is none.
std::string SystemErrorText(int err);

}  // namespace korv
