#pragma once
// How a transfer, a port's run and a whole run end, and the exit status each stands for.

namespace korv {

// How a port's last transfer, or the port itself, ended.
enum class PortOutcome {
    None,         // nothing has ended yet
    Sent,         // the whole file went out
    NotOpened,    // the port could not be opened or configured
    Rejected,     // the update file was refused (not an update file, unreadable)
    Failed,       // the transfer did not complete
    PortLost,     // the port went away (unplugged, hung up)
    Interrupted,  // Ctrl-C, SIGTERM, SIGHUP
    // The tester's own verdict on a completed transfer (--expect, --reject):
    Accepted,        // it said it took the update
    TesterRejected,  // it said it did not
    NoVerdict,       // it said neither in time
    NoPrompt,        // the tester never asked for the update (--prompt-timeout)
};

// A run's exit status.
enum StationExit : int {
    EXIT_SENT = 0,
    EXIT_PORT_FAILED = 1,
    EXIT_USAGE = 2,
    EXIT_FILE_REJECTED = 3,
    EXIT_TRANSFER_FAILED = 4,
    EXIT_NOT_ACCEPTED = 5,  // the tester rejected the update or gave no verdict in time
    EXIT_INTERRUPTED = 130,
};

// The exit status for how a transfer (or the port) ended; a port lost while a transfer ran is a
// failed transfer (4), one lost while waiting a failed port (1); a tester that rejected the
// update or gave no verdict 5, one that never prompted 4.
int OutcomeExitStatus(PortOutcome outcome, bool lostWhileSending);

}  // namespace korv
