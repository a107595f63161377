#include "console/ConsoleOutput.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>

#include "platform/ConsoleIo.h"
#include "station/TimeText.h"

namespace korv {

CConsoleOutput::CConsoleOutput(std::FILE* out, std::FILE* err, bool progressAllowed, bool errQueued)
    : m_out(out),
      m_err(err),
      m_errQueue(errQueued ? std::make_unique<CErrQueue>(err) : nullptr),
      m_progressAllowed(progressAllowed),
      m_stamp([] { return LocalTimestamp(); }) {
    if (!IsWindowsConsole(out)) {
        return;
    }
    // Written apart, a console's two streams would each keep their own order but not one
    // between them: the progress line's clearing could land after the tester's text.
    if (IsWindowsConsole(err)) {
        if (!m_errQueue) {
            m_errQueue = std::make_unique<CErrQueue>(err);
        }
        m_outQueue = m_errQueue.get();
    } else {
        m_ownOutQueue = std::make_unique<CErrQueue>(out);
        m_outQueue = m_ownOutQueue.get();
    }
}

CConsoleOutput::~CConsoleOutput() {
    ClearProgress();
    FlushOut();
}

void CConsoleOutput::Flush(std::FILE* stream) {
    if (std::fflush(stream) != 0 && m_writeError == 0) {
        m_writeError = errno != 0 ? errno : EIO;
    }
}

void CConsoleOutput::Put(std::FILE* stream, const std::string& text) {
    if (stream == m_err && m_errQueue) {
        m_errQueue->Message(text);
        return;
    }
    if (std::fputs(text.c_str(), stream) < 0 && m_writeError == 0) {
        m_writeError = errno != 0 ? errno : EIO;
    }
    Flush(stream);
}

void CConsoleOutput::PumpErr() {
    if (m_errQueue) {
        m_errQueue->Pump();
    }
    if (m_ownOutQueue) {
        m_ownOutQueue->Pump();
    }
}

int CConsoleOutput::ErrPumpDueMs() const {
    const int err = m_errQueue ? m_errQueue->PumpDueMs() : -1;
    const int out = m_ownOutQueue ? m_ownOutQueue->PumpDueMs() : -1;
    return err < 0 ? out : out < 0 ? err : std::min(err, out);
}

void CConsoleOutput::Echo(char ch) {
    if (!m_outPending) {
        // Bytes are about to reach the screen the progress line may share.
        ClearProgress();
        m_outPending = true;
    }
    if (m_outQueue != nullptr) {
        m_outText.push_back(ch);
        return;
    }
    if (std::fputc(static_cast<unsigned char>(ch), m_out) == EOF && m_writeError == 0) {
        m_writeError = errno != 0 ? errno : EIO;
    }
}

void CConsoleOutput::FlushOut() {
    if (m_outQueue != nullptr) {
        if (!m_outText.empty()) {
            m_outQueue->Message(m_outText);
            m_outText.clear();
        }
    } else {
        Flush(m_out);
    }
    m_outPending = false;
}

void CConsoleOutput::Message(const std::string& text) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    for (char& c : line) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    Error((m_stamp ? m_stamp() + " " : std::string()) + "KORVALIN: " + line + "\n");
    if (m_messageObserver) {
        m_messageObserver(line);
    }
}

void CConsoleOutput::Error(const std::string& text) {
    FlushOut();
    ClearProgress();
    Put(m_err, text);
}

void CConsoleOutput::ShowProgress(const std::string& line) {
    if (!m_progressAllowed || line == m_progressShown) {
        return;
    }
    FlushOut();
    std::string text = "\r" + line;
    if (line.size() < m_progressWidth) {
        text.append(m_progressWidth - line.size(), ' ');
    }
    if (m_errQueue) {
        if (!m_errQueue->Frame(text)) {
            return;  // the terminal is behind: this frame is skipped, the next one replaces it
        }
    } else {
        Put(m_err, text);
    }
    m_progressWidth = line.size();
    m_progressShown = line;
}

void CConsoleOutput::ClearProgress() {
    if (m_progressWidth == 0) {
        return;
    }
    std::string text = "\r";
    text.append(m_progressWidth, ' ');
    text += '\r';
    Put(m_err, text);
    m_progressWidth = 0;
    m_progressShown.clear();
}

namespace {

std::string Amount(double bytes) {
    char buf[32];
    if (bytes < 10.0 * 1024 * 1024) {
        std::snprintf(buf, sizeof buf, "%.1f", bytes / 1024.0);
    } else {
        std::snprintf(buf, sizeof buf, "%.1f", bytes / (1024.0 * 1024.0));
    }
    return buf;
}

const char* Unit(double bytes) {
    return bytes < 10.0 * 1024 * 1024 ? "KiB" : "MiB";
}

std::string Duration(double seconds) {
    const auto s = static_cast<uint64_t>(seconds + 0.5);
    char buf[32];
    if (s >= 3600) {
        std::snprintf(buf, sizeof buf, "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, s / 3600,
                      s / 60 % 60, s % 60);
    } else {
        std::snprintf(buf, sizeof buf, "%" PRIu64 ":%02" PRIu64, s / 60, s % 60);
    }
    return buf;
}

}  // namespace

std::string FormatProgress(uint64_t done, uint64_t total, double elapsedSeconds) {
    if (done > total) {
        done = total;
    }
    const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
    const auto t = static_cast<double>(total);
    char head[96];
    // The amounts share the unit chosen for the total, so "15.0/40.0 KiB" reads as one figure.
    const double scale = t < 10.0 * 1024 * 1024 ? 1024.0 : 1024.0 * 1024.0;
    std::snprintf(head, sizeof head, "%3d%%  %.1f/%.1f %s", percent,
                  static_cast<double>(done) / scale, t / scale, Unit(t));
    std::string line = head;
    // Too early for a rate that means anything: show none rather than a wild figure.
    if (elapsedSeconds < 0.5 || done == 0) {
        return line + " --- KiB/s --:-- left";
    }
    const double rate = static_cast<double>(done) / elapsedSeconds;
    // Appended in place: GCC 12 at -O3 takes `" " + std::string&&` for an overlapping copy
    // (-Wrestrict), which would fail a release build with warnings as errors.
    line.append(" ").append(Amount(rate)).append(" ").append(Unit(rate)).append("/s ");
    line.append(Duration(static_cast<double>(total - done) / rate)).append(" left");
    return line;
}

}  // namespace korv
