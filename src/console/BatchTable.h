#pragma once
// What a batch run shows of its testers: one line per port in the live table, the summary at
// the end, the exit status of the whole batch, and the name of each port's log file.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "console/ErrQueue.h"
#include "console/Transfer.h"

namespace korv {

// Where one port's run stands.
enum class PortPhase {
    Opening,  // the port is being opened
    Waiting,  // open, waiting for the tester's prompt
    Sending,  // a transfer is running
    Answer,   // the last transfer has ended; the tester's answer is still being logged
    Done,     // the port is closed; outcome says how its run ended
};

struct PortReport {
    std::string port;
    std::string file;
    PortPhase phase = PortPhase::Opening;
    PortOutcome outcome = PortOutcome::None;
    bool lostWhileSending = false;  // for PortLost: a transfer was cut short
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

// The live table, one line per port and the totals line under them (when one is given), each
// cut to width characters (0: no limit). On a terminal of height lines (0: no limit) the block
// leaves the cursor's line free; where not every port fits, as many ports as fit are shown,
// failures first, then running transfers, waiting ports and finished ones, and the totals line
// says how many are not shown. Names too long for the width are shortened from the left; the
// counts are never cut.
std::vector<std::string> FormatLiveTable(const std::vector<PortReport>& reports, size_t width,
                                         size_t height = 0, const std::string& totals = {});
// The summary: a header and one line per port with the file, bytes, time, outcome and reason.
std::string FormatSummary(const std::vector<PortReport>& reports);

// The log file's name for a port: its name without "/dev/" or "\\.\", with every character
// other than letters, digits, '.', '_' and '-' replaced ('/' by '-'), a '_' after a name that
// Windows keeps for a device (COM1..COM9, LPT1..LPT9, CON, PRN, AUX, NUL), and ".log" appended.
std::string LogFileName(const std::string& port);

// A block of lines on a terminal that is redrawn in place; messages are written above it, so
// they scroll away while the block stays at the bottom. When not live, Show does nothing and
// messages are plain lines.
// Everything goes through a CErrQueue: the terminal never holds up the caller; a redraw it is
// not ready for is skipped, messages wait in order.
class CLiveTable {
  public:
    CLiveTable(std::FILE* stream, bool live);
    ~CLiveTable();
    CLiveTable(const CLiveTable&) = delete;
    CLiveTable& operator=(const CLiveTable&) = delete;

    bool Live() const { return m_live; }
    void Show(const std::vector<std::string>& lines);
    void Message(const std::string& line);
    // Takes the block down, leaving the cursor where it started.
    void Clear();
    // Offers what waits to the terminal again; how long a wait may last before that is due
    // (-1: nothing waits).
    void Pump() { m_err.Pump(); }
    int PumpDueMs() const { return m_err.PumpDueMs(); }

  private:
    // The block as text, drawn over the one shown.
    std::string Drawing(const std::vector<std::string>& lines) const;

    CErrQueue m_err;
    bool m_live;
    // The block as the terminal will show it once it has taken everything written so far.
    std::vector<std::string> m_shown;
};

}  // namespace korv
