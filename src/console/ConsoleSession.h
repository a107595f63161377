#pragma once
// One run of the console front end: the update controller with the console host, driven by
// the worker notifications and the signals until the transfer (or, with --repeat, the run) ends.

#include "console/ConsoleOutput.h"
#include "console/Options.h"
#include "platform/Wait.h"

namespace korv {

enum ConsoleExit : int {
    EXIT_SENT = 0,
    EXIT_PORT_FAILED = 1,
    EXIT_USAGE = 2,
    EXIT_FILE_REJECTED = 3,
    EXIT_TRANSFER_FAILED = 4,
    EXIT_NOT_ACCEPTED = 5,  // the tester rejected the update or gave no verdict in time
    EXIT_INTERRUPTED = 130,
};

// Runs the update flow for options (port and file already resolved); returns the exit status.
int RunConsoleSession(const ConsoleOptions& options, CConsoleOutput& out, CInterrupt& interrupt);

}  // namespace korv
