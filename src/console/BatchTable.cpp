#include "console/BatchTable.h"

#include <algorithm>
#include <cinttypes>
#include <string_view>

#include "console/ConsoleOutput.h"
#include "console/ConsoleSession.h"

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

}  // namespace

int OutcomeStatus(const PortReport& report) {
    return OutcomeExitStatus(report.outcome, report.lostWhileSending);
}

int BatchStatus(const std::vector<PortReport>& reports, bool interrupted) {
    if (interrupted) {
        return EXIT_INTERRUPTED;
    }
    int worst = reports.empty() ? EXIT_PORT_FAILED : EXIT_SENT;
    for (const auto& r : reports) {
        worst = std::max(worst, OutcomeStatus(r));
    }
    return worst;
}

std::string OutcomeLabel(const PortReport& r) {
    switch (r.outcome) {
        case PortOutcome::None:
            return "not sent";
        case PortOutcome::Sent:
            return "sent";
        case PortOutcome::NotOpened:
            return "not opened";
        case PortOutcome::Rejected:
            return "file rejected";
        case PortOutcome::Failed:
            return "failed";
        case PortOutcome::PortLost:
            return "port lost";
        case PortOutcome::Interrupted:
            return "interrupted";
    }
    return "?";
}

std::string PhaseLabel(const PortReport& r) {
    switch (r.phase) {
        case PortPhase::Opening:
            return "opening";
        case PortPhase::Waiting:
            return "waiting for prompt";
        case PortPhase::Sending:
            return "sending";
        case PortPhase::Answer:
        case PortPhase::Done:
            return OutcomeLabel(r);
    }
    return "?";
}

std::vector<std::string> FormatLiveTable(const std::vector<PortReport>& reports, size_t width) {
    std::vector<std::vector<std::string>> rows;
    for (const auto& r : reports) {
        std::string progress;
        if (r.phase == PortPhase::Sending) {
            progress = FormatProgress(r.done, r.total, r.seconds);
        } else if (r.total > 0) {
            progress = Bytes(r) + " bytes in " + Clock(r.seconds);
        }
        // The counts come before the figures that change, and the state column is as wide as
        // its longest label, so that nothing jumps sideways as a run goes on; a narrow terminal
        // cuts off the figures first.
        rows.push_back({r.port, Pad(PhaseLabel(r), std::string_view("waiting for prompt").size()),
                        std::to_string(r.sent) + " sent, " + std::to_string(r.failed) + " failed",
                        progress});
    }
    std::vector<std::string> lines = Columns(rows);
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
                        r.outcome == PortOutcome::Sent ? "" : r.reason});
    }
    std::string text;
    for (const auto& line : Columns(rows)) {
        text += line + "\n";
    }
    return text;
}

std::string LogFileName(const std::string& port) {
    std::string name = port;
    for (const char* prefix : {"/dev/", "\\\\.\\"}) {
        if (name.starts_with(prefix)) {
            name.erase(0, std::char_traits<char>::length(prefix));
            break;
        }
    }
    for (char& c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (c == '/' || c == '\\') {
            c = '-';
        } else if (!plain) {
            c = '_';
        }
    }
    // Never a hidden file, "." or "..".
    while (!name.empty() && name.front() == '.') {
        name.front() = '_';
    }
    if (name.empty()) {
        name = "port";
    }
    // Windows takes CON, PRN, AUX, NUL, COM1..COM9 and LPT1..LPT9, with any extension, for its
    // devices: "COM7.log" would be the port itself. Such names get a '_', on both systems, so
    // that a port's log has the same name wherever it was written.
    const std::string stem = name.substr(0, name.find('.'));
    std::string upper;
    for (const char c : stem) {
        upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    const bool numbered = upper.size() == 4 &&
                          (upper.starts_with("COM") || upper.starts_with("LPT")) &&
                          upper[3] >= '1' && upper[3] <= '9';
    if (numbered || upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL") {
        name.insert(stem.size(), "_");
    }
    return name + ".log";
}

CLiveTable::CLiveTable(std::FILE* stream, bool live) : m_stream(stream), m_live(live) {}

CLiveTable::~CLiveTable() {
    Clear();
}

void CLiveTable::Show(const std::vector<std::string>& lines) {
    if (!m_live || lines == m_shown) {
        return;
    }
    Draw(lines);
}

void CLiveTable::Message(const std::string& line) {
    if (!m_live || m_shown.empty()) {
        std::fputs((line + "\n").c_str(), m_stream);
        std::fflush(m_stream);
        return;
    }
    const std::vector<std::string> lines = m_shown;
    Clear();
    std::fputs((line + "\n").c_str(), m_stream);
    Draw(lines);
}

void CLiveTable::Clear() {
    if (m_shown.empty()) {
        return;
    }
    // Back to the block's first line, then erase to the end of the screen.
    std::fprintf(m_stream, "\r\033[%zuA\033[J", m_shown.size());
    std::fflush(m_stream);
    m_shown.clear();
}

void CLiveTable::Draw(const std::vector<std::string>& lines) {
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
    std::fputs(text.c_str(), m_stream);
    std::fflush(m_stream);
    m_shown = lines;
}

}  // namespace korv
