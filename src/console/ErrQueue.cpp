#include "console/ErrQueue.h"

#include "platform/Wait.h"
#include "station/TimeText.h"

namespace korv {

using namespace std::chrono_literals;

CErrQueue::CErrQueue(std::FILE* stream) : m_writer(stream) {}

CErrQueue::~CErrQueue() {
    const auto start = std::chrono::steady_clock::now();
    auto lastProgress = start;
    while (Pending()) {
        // Ending, a terminal that keeps taking is not waited for beyond a second either.
        if (ProcessEnding() && std::chrono::steady_clock::now() - start >= 1s) {
            break;
        }
        const size_t before = m_pos;
        if (!Pump()) {
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (m_pos != before) {
            lastProgress = now;
        } else if (now - lastProgress >= (ProcessEnding() ? kEndingPatience : kEndPatience)) {
            break;  // the terminal stays stopped: the logs and the summary keep the record
        }
        m_writer.WaitWritable(100);
    }
}

void CErrQueue::Message(const std::string& text) {
    if (m_pending.size() - m_pos + text.size() > kLimit) {
        ++m_dropped;
        return;
    }
    if (m_dropped > 0) {
        const std::string note = LocalTimestamp() + " KORVALIN: (" + std::to_string(m_dropped) +
                                 " messages dropped: the terminal was not " + "taking output)\n";
        m_dropped = 0;
        Write(note);
    }
    Write(text);
}

bool CErrQueue::Frame(const std::string& text) {
    if (Pump()) {
        return false;
    }
    Write(text);
    return true;
}

void CErrQueue::Write(const std::string& text) {
    if (!Pending()) {
        m_pending.clear();
        m_pos = 0;
        const size_t put = m_writer.TryWrite(text.data(), text.size());
        if (put == text.size()) {
            return;
        }
        m_pending.assign(text, put);
        return;
    }
    m_pending += text;
    Pump();
}

bool CErrQueue::Pump() {
    if (!Pending()) {
        return false;
    }
    m_pos += m_writer.TryWrite(m_pending.data() + m_pos, m_pending.size() - m_pos);
    if (!Pending()) {
        m_pending.clear();
        m_pos = 0;
        return false;
    }
    // Compacted now and then, so that a long stall does not keep what has gone out.
    if (m_pos > kLimit) {
        m_pending.erase(0, m_pos);
        m_pos = 0;
    }
    return true;
}

}  // namespace korv
