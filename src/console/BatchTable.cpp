#include "console/BatchTable.h"

#include <algorithm>
#include <cinttypes>
#include <string_view>

#include "console/ConsoleOutput.h"
#include "station/Report.h"

namespace korv {

namespace {

// Widths and cuts count characters, not bytes: an operator's label may be UTF-8, and a character
// cut in two would reach the terminal as garbage.
bool StartsCharacter(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
}

size_t TextWidth(std::string_view text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), StartsCharacter));
}

// The first width characters of text.
std::string Head(const std::string& text, size_t width) {
    size_t chars = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (StartsCharacter(text[i]) && chars++ == width) {
            return text.substr(0, i);
        }
    }
    return text;
}

// The last width characters of text.
std::string Tail(const std::string& text, size_t width) {
    if (width == 0) {
        return {};
    }
    size_t chars = 0;
    for (size_t i = text.size(); i-- > 0;) {
        if (StartsCharacter(text[i]) && ++chars == width) {
            return text.substr(i);
        }
    }
    return text;
}

std::string Pad(std::string text, size_t width) {
    const size_t has = TextWidth(text);
    if (has < width) {
        text.append(width - has, ' ');
    }
    return text;
}

std::string Clock(double seconds) {
    const auto s = static_cast<uint64_t>(seconds + 0.5);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%" PRIu64 ":%02" PRIu64, s / 60, s % 60);
    return buf;
}

std::string Bytes(const PortReport& r) {
    if (r.total == 0 && r.done == 0) {
        return "-";
    }
    return std::to_string(r.done) + "/" + std::to_string(r.total);
}

// Lays out rows of cells in columns two spaces apart; the last column is not padded.
std::vector<std::string> Columns(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], TextWidth(row[i]));
        }
    }
    std::vector<std::string> lines;
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += i + 1 < row.size() ? Pad(row[i], widths[i]) + "  " : row[i];
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

// A sent update needs no reason; a log that could not be written is told in any case.
std::string Reason(const PortReport& r) {
    std::string reason =
        r.outcome == PortOutcome::Sent || r.outcome == PortOutcome::Accepted ? "" : r.reason;
    if (!r.logError.empty()) {
        reason += (reason.empty() ? "" : "; ") + r.logError;
    }
    return reason;
}

}  // namespace

namespace {

// Which rows a table too tall for the terminal keeps: failures first, then the transfers that
// run, then the ports still waiting, then those done.
int Priority(const PortReport& r) {
    switch (r.phase) {
        case PortPhase::Sending:
            return 1;
        case PortPhase::Opening:
        case PortPhase::Waiting:
            return 2;
        case PortPhase::Reconnecting:
            return 0;
        case PortPhase::Answer:
        case PortPhase::Done:
            break;
    }
    return r.outcome == PortOutcome::Sent ? 3 : 0;
}

// Which columns name a port beside its name: its label when any port has one, the unit of its
// tester when units are looked for or any is known.
struct IdentityColumns {
    bool label = false;
    bool unit = false;
    size_t Count() const { return 1 + (label ? 1 : 0) + (unit ? 1 : 0); }
};

IdentityColumns Identity(const std::vector<PortReport>& reports, bool unitColumn) {
    IdentityColumns columns;
    columns.unit = unitColumn;
    for (const auto& r : reports) {
        columns.label = columns.label || !r.label.empty();
        columns.unit = columns.unit || !r.unit.empty();
    }
    return columns;
}

// An operator's label as a cell: its text (UTF-8: "Baie 2", "Bucht 3") with control characters
// written in caret notation (C1 controls, U+0080..U+009F, as '?'), so that none reaches the
// terminal as a control.
std::string ShownLabel(const std::string& label) {
    std::string shown;
    for (size_t i = 0; i < label.size(); ++i) {
        const auto u = static_cast<unsigned char>(label[i]);
        const auto next = i + 1 < label.size() ? static_cast<unsigned char>(label[i + 1]) : 0;
        if (u < 0x20 || u == 0x7F) {
            shown += ShownTesterText(label.substr(i, 1));
        } else if (u == 0xC2 && next >= 0x80 && next <= 0x9F) {
            shown += '?';
            ++i;
        } else {
            shown += label[i];
        }
    }
    return shown;
}

// The port's name, label and unit as the columns show them: "-" for none, so that every cell
// holds something; the tester's own text (the unit) without its control bytes.
std::vector<std::string> IdentityCells(const PortReport& r, const IdentityColumns& columns) {
    std::vector<std::string> cells = {r.port};
    if (columns.label) {
        cells.push_back(r.label.empty() ? "-" : ShownLabel(r.label));
    }
    if (columns.unit) {
        cells.push_back(r.unit.empty() ? "-" : ShownTesterText(r.unit));
    }
    return cells;
}

// "...tail" of name in at most width characters.
std::string FromTheLeft(const std::string& name, size_t width) {
    if (TextWidth(name) <= width) {
        return name;
    }
    return width <= 3 ? Tail(name, width) : "..." + Tail(name, width - 3);
}

}  // namespace

std::vector<std::string> FormatLiveTable(const std::vector<PortReport>& reports, size_t width,
                                         size_t height, const std::string& totals,
                                         bool unitColumn) {
    // The block and the line the cursor rests on below it must fit on the screen, or every
    // redraw scrolls a copy into the scrollback.
    std::vector<size_t> shown;
    for (size_t i = 0; i < reports.size(); ++i) {
        shown.push_back(i);
    }
    const size_t below = totals.empty() ? 1 : 2;
    const bool fits = height == 0 || reports.size() + below <= height;
    if (!fits) {
        const size_t room = height > below ? height - below : 0;
        std::stable_sort(shown.begin(), shown.end(), [&](size_t a, size_t b) {
            return Priority(reports[a]) < Priority(reports[b]);
        });
        shown.resize(std::min(room, shown.size()));
        std::sort(shown.begin(), shown.end());
    }

    const IdentityColumns identity = Identity(reports, unitColumn);
    std::vector<std::vector<std::string>> rows;
    for (const size_t i : shown) {
        const PortReport& r = reports[i];
        std::string progress;
        if (r.phase == PortPhase::Sending) {
            progress = FormatProgress(r.done, r.total, r.seconds);
        } else if (r.total > 0) {
            progress = Bytes(r) + " bytes in " + Clock(r.seconds);
        }
        // The counts come before the figures that change, and the state column is as wide as
        // its longest label, so that nothing jumps sideways as a run goes on; a narrow terminal
        // cuts off the figures first, then shortens the names from the left.
        std::vector<std::string> row = IdentityCells(r, identity);
        row.push_back(Pad(PhaseLabel(r), std::string_view("waiting for prompt").size()));
        row.push_back(std::to_string(r.sent) + " sent, " + std::to_string(r.failed) + " failed");
        row.push_back(progress);
        rows.push_back(std::move(row));
    }
    const size_t ids = identity.Count();
    if (width > 0 && !rows.empty()) {
        size_t counts = 0;
        std::vector<size_t> widths(ids, 0);
        for (const auto& row : rows) {
            counts = std::max(counts, TextWidth(row[ids + 1]));
            for (size_t k = 0; k < ids; ++k) {
                widths[k] = std::max(widths[k], TextWidth(row[k]));
            }
        }
        const size_t fixed = TextWidth(rows[0][ids]) + 2 + counts + 2;
        const size_t room = width > fixed ? width - fixed : 0;
        // The port, its label and its unit share the room left: the widest of them gives up a
        // character at a time, none below 8.
        size_t need = 2 * (ids - 1);
        for (const size_t w : widths) {
            need += w;
        }
        while (need > room) {
            const auto widest = std::max_element(widths.begin(), widths.end());
            if (*widest <= 8) {
                break;
            }
            --*widest;
            --need;
        }
        for (auto& row : rows) {
            for (size_t k = 0; k < ids; ++k) {
                // A name keeps its last characters, where by-id names (and serial numbers)
                // differ.
                row[k] = FromTheLeft(row[k], widths[k]);
            }
        }
    }
    std::vector<std::string> lines = Columns(rows);
    if (!totals.empty()) {
        lines.push_back(shown.size() == reports.size()
                            ? totals
                            : totals + "; " + std::to_string(reports.size() - shown.size()) +
                                  " not shown");
    }
    if (width > 0) {
        for (auto& line : lines) {
            line = Head(line, width);
        }
    }
    return lines;
}

std::string FormatSummary(const std::vector<PortReport>& reports, bool unitColumn) {
    const IdentityColumns identity = Identity(reports, unitColumn);
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"PORT"});
    if (identity.label) {
        rows[0].push_back("SLOT");
    }
    if (identity.unit) {
        rows[0].push_back("UNIT");
    }
    for (const char* title : {"OUTCOME", "SENT", "FAILED", "BYTES", "TIME", "FILE", "REASON"}) {
        rows[0].push_back(title);
    }
    for (const auto& r : reports) {
        std::vector<std::string> row = IdentityCells(r, identity);
        for (std::string cell :
             {OutcomeLabel(r), std::to_string(r.sent), std::to_string(r.failed), Bytes(r),
              r.total > 0 || r.done > 0 ? Clock(r.seconds) : std::string("-"), r.file, Reason(r)}) {
            row.push_back(std::move(cell));
        }
        rows.push_back(std::move(row));
    }
    std::string text;
    for (const auto& line : Columns(rows)) {
        text += line + "\n";
    }
    return text;
}

CLiveTable::CLiveTable(std::FILE* stream, bool live) : m_err(stream), m_live(live) {}

CLiveTable::~CLiveTable() {
    Clear();
}

void CLiveTable::Show(const std::vector<std::string>& lines) {
    if (!m_live || lines == m_shown) {
        return;
    }
    if (m_err.Frame(Drawing(lines))) {
        m_shown = lines;
    }
}

void CLiveTable::Message(const std::string& line) {
    if (!m_live || m_shown.empty()) {
        m_err.Message(line + "\n");
        return;
    }
    // Taken down, the line, and drawn again: one piece, so nothing comes between.
    std::vector<std::string> lines;
    lines.swap(m_shown);
    std::string text = "\r\033[" + std::to_string(lines.size()) + "A\033[J" + line + "\n";
    text += Drawing(lines);
    m_shown = lines;
    m_err.Message(text);
}

void CLiveTable::Clear() {
    if (m_shown.empty()) {
        return;
    }
    // Back to the block's first line, then erase to the end of the screen.
    m_err.Message("\r\033[" + std::to_string(m_shown.size()) + "A\033[J");
    m_shown.clear();
}

std::string CLiveTable::Drawing(const std::vector<std::string>& lines) const {
    std::string text;
    if (!m_shown.empty()) {
        text = "\r\033[" + std::to_string(m_shown.size()) + "A";
    }
    for (const auto& line : lines) {
        text += line + "\033[K\n";  // each line clears what a longer one left behind
    }
    if (lines.size() < m_shown.size()) {
        text += "\033[J";
    }
    return text;
}

}  // namespace korv
