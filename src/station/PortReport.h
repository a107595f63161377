#pragma once
// What a port session publishes for the front ends to show: where its run stands, the counts, the
// current or last transfer and how the last one ended; and the exit status that follows from it.

#include <cstdint>
#include <string>
#include <vector>

#include "station/Outcome.h"

namespace korv {

// Where one port's run stands.
enum class PortPhase {
    Opening,  // the port is being opened
    Waiting,  // open, waiting for the tester's prompt
    Sending,  // a transfer is running
    Answer,   // the last transfer has ended; the tester's answer is still being logged
    // The port went away (an adapter unplugged, a server that closed) and the run goes on: the
    // port is opened again once its device is back.
    Reconnecting,
    Done,  // the port is closed; outcome says how its run ended
};

struct PortReport {
    std::string port;
    std::string label;  // the operator's name for the port ("Bay 3"); empty: none
    std::string unit;   // the identity of the current (or last) tester, from its own lines
    std::string file;
    PortPhase phase = PortPhase::Opening;
    PortOutcome outcome = PortOutcome::None;
    bool lostWhileSending = false;  // for PortLost: a transfer was cut short
    bool verdictPending = false;    // the last transfer waits for the tester's verdict
    int sent = 0;                   // updates sent completely
    int accepted = 0;               // of those, updates the tester said it took
    int failed = 0;                 // updates rejected or cut short
    uint64_t done = 0;              // bytes of the current (or last) transfer gone to the driver
    uint64_t total = 0;             // its file's size
    double seconds = 0;             // how long it has run (or ran)
    std::string reason;             // the system's reason of the last failure
    std::string logError;           // why the port's log could not be written; empty if it could
};

// The console's exit status for a port's outcome (0 sent or accepted, 1 port, 3 file, 4 transfer
// or no prompt, 5 rejected by the tester or no verdict, 130); a log that could not be written
// makes it at least 1.
int OutcomeStatus(const PortReport& report);
// The batch's exit status: 0 only when every port's update was sent completely, otherwise the
// highest of the ports' statuses (130 when one was interrupted before its transfer had ended).
int BatchStatus(const std::vector<PortReport>& reports);

// "waiting for prompt", "sending", "sent", "failed", "port lost", ...
std::string PhaseLabel(const PortReport& report);
std::string OutcomeLabel(const PortReport& report);

}  // namespace korv
