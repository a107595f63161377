#pragma once
// Standard error as the console's loops write it: never waiting for the terminal. Messages are
// kept, in order, until the terminal takes them (up to a bound); redrawn frames (the batch's
// table, the progress line) are dropped while the terminal is behind, since a later frame
// replaces them anyway.

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>

#include "platform/ConsoleIo.h"

namespace korv {

class CErrQueue {
  public:
    // Messages waiting beyond this many bytes are dropped (and counted) rather than kept.
    static constexpr size_t kLimit = 256 * 1024;
    // At the end, what still waits is given up once the terminal has taken nothing this long;
    // when the system is ending the process (ProcessEnding), which allows a few seconds in all,
    // sooner.
    static constexpr std::chrono::milliseconds kEndPatience{5000};
    static constexpr std::chrono::milliseconds kEndingPatience{300};

    explicit CErrQueue(std::FILE* stream);
    // Waits (boundedly) for what is still queued; see kEndPatience.
    ~CErrQueue();
    CErrQueue(const CErrQueue&) = delete;
    CErrQueue& operator=(const CErrQueue&) = delete;

    // Text that must reach the terminal, after everything queued before it.
    void Message(const std::string& text);
    // Text that may be dropped: written only when nothing waits; false when dropped. A frame
    // the terminal takes only in part is finished before anything else.
    bool Frame(const std::string& text);
    // Gives what waits another chance; true while something still waits.
    bool Pump();
    bool Pending() const { return m_pos < m_pending.size(); }
    // How long a loop may wait before Pump is due again (-1: nothing waits).
    int PumpDueMs() const { return Pending() ? 50 : -1; }

  private:
    void Write(const std::string& text);

    CErrWriter m_writer;
    std::string m_pending;
    size_t m_pos = 0;
    size_t m_dropped = 0;  // messages dropped since the last one that was kept
};

}  // namespace korv
