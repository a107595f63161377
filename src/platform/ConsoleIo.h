#pragma once
// What a console run needs of the terminal it writes to, and of the files it logs to.

#include <cstdio>
#include <string>

namespace korv {

// The terminal's width in characters, or 0 when it is not known.
int TerminalColumns(std::FILE* stream);

// Makes the terminal act on the ANSI control sequences (cursor up, erase line and screen) written
// to stream; false when it cannot (an old Windows console). Unix terminals always do.
bool EnableTerminalControl(std::FILE* stream);

// Opens the file at path (UTF-8) for adding bytes at its end, unchanged; made when missing.
// nullptr with the system's error code in *err when it cannot, and ERR_NOT_REGULAR_FILE when
// path names anything but a regular file (a FIFO, a device).
std::FILE* OpenForAppend(const std::string& path, int* err);

}  // namespace korv
