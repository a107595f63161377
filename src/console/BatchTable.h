#pragma once
// What a batch run shows of its testers: one line per port in the live table, the summary at
// the end, the exit status of the whole batch, and the name of each port's log file.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "console/ErrQueue.h"
#include "station/PortReport.h"
#include "station/StationLogs.h"  // LogFileName, shared with the station window

namespace korv {

// The live table, one line per port and the totals line under them (when one is given), each
// cut to width characters (0: no limit). Beside the port's name come its label, when any port
// has one, and its tester's unit, when unitColumn (units are looked for) or any is known ("-"
// for none). On a terminal of height lines (0: no limit) the block leaves the cursor's line
// free; where not every port fits, as many ports as fit are shown, failures first, then running
// transfers, waiting ports and finished ones, and the totals line says how many are not shown.
// Names, labels and units too long for the width are shortened from the left, the longest
// first, none below 8 characters; the counts are never cut.
std::vector<std::string> FormatLiveTable(const std::vector<PortReport>& reports, size_t width,
                                         size_t height = 0, const std::string& totals = {},
                                         bool unitColumn = false);
// The summary: a header and one line per port with the file, bytes, time, outcome and reason;
// SLOT and UNIT columns after PORT on the same terms as the live table's.
std::string FormatSummary(const std::vector<PortReport>& reports, bool unitColumn = false);

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
