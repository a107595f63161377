#pragma once
// One run of the console front end for one port: a station of one port session whose terminal
// pane is standard output, with a progress line on a terminal, until the transfer (or, with
// --repeat, the run) ends.

#include "console/ConsoleOutput.h"
#include "console/Options.h"
#include "platform/Wait.h"
#include "station/Outcome.h"

namespace korv {

using ConsoleExit = StationExit;

// Runs the update flow for options (port and file already resolved); returns the exit status.
int RunConsoleSession(const ConsoleOptions& options, CConsoleOutput& out, CInterrupt& interrupt);

}  // namespace korv
