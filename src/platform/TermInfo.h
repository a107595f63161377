#pragma once
// What the console needs to know about the terminal it writes to.

#include <cstdio>

namespace korv {

// True when stream is an interactive terminal (a console window on Windows).
bool IsTerminal(std::FILE* stream);

// The terminal's width in characters, or 0 when it is not known.
int TerminalColumns(std::FILE* stream);

// Makes the terminal act on the ANSI control sequences (cursor up, erase line and screen) written
// to stream; false when it cannot (an old Windows console). Unix terminals always do.
bool EnableTerminalControl(std::FILE* stream);

}  // namespace korv
