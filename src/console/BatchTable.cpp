#include "console/BatchTable.h"

#include <algorithm>
#include <cinttypes>
#include <string_view>

#include "console/ConsoleOutput.h"

namespace korv {

namespace {

std::string Pad(std::string text, size_t width) {
    if (text.size() < width) {
        text.append(width - text.size(), ' ');
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
            widths[i] = std::max(widths[i], row[i].size());
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

// "...tail" of name in at most width characters.
std::string FromTheLeft(const std::string& name, size_t width) {
    if (name.size() <= width) {
        return name;
    }
    return width <= 3 ? name.substr(name.size() - width)
                      : "..." + name.substr(name.size() - (width - 3));
}

}  // namespace

std::vector<std::string> FormatLiveTable(const std::vector<PortReport>& reports, size_t width,
                                         size_t height, const std::string& totals) {
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

    std::vector<std::vector<std::string>> rows;
    size_t nameWidth = 0;
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
        rows.push_back({r.port, Pad(PhaseLabel(r), std::string_view("waiting for prompt").size()),
                        std::to_string(r.sent) + " sent, " + std::to_string(r.failed) + " failed",
                        progress});
        nameWidth = std::max(nameWidth, r.port.size());
    }
    if (width > 0 && !rows.empty()) {
        size_t counts = 0;
        for (const auto& row : rows) {
            counts = std::max(counts, row[2].size());
        }
        const size_t fixed = rows[0][1].size() + 2 + counts + 2;
        const size_t room = width > fixed ? width - fixed : 0;
        if (nameWidth > room) {
            for (auto& row : rows) {
                // A name keeps its last characters, where by-id names differ.
                row[0] = FromTheLeft(row[0], std::max<size_t>(room, 8));
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
            if (line.size() > width) {
                line.resize(width);
            }
        }
    }
    return lines;
}

std::string FormatSummary(const std::vector<PortReport>& reports) {
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"PORT", "OUTCOME", "SENT", "FAILED", "BYTES", "TIME", "FILE", "REASON"});
    for (const auto& r : reports) {
        rows.push_back({r.port, OutcomeLabel(r), std::to_string(r.sent), std::to_string(r.failed),
                        Bytes(r), r.total > 0 || r.done > 0 ? Clock(r.seconds) : "-", r.file,
                        Reason(r)});
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
