#pragma once
// An operator's terminal for the console program's end-to-end tests; the programs themselves are
// started with the shared launcher.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "Child.h"
#include "TempDir.h"
#include "Wait.h"

namespace korv::test {

// A pseudo-terminal for a child's stdin and stderr, as an operator's terminal would be.
class Terminal {
  public:
    Terminal() {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master >= 0 && ::grantpt(m_master) == 0 && ::unlockpt(m_master) == 0) {
            const char* name = ::ptsname(m_master);
            m_slave = name != nullptr ? name : "";
        }
    }
    ~Terminal() {
        if (m_master >= 0) {
            ::close(m_master);
        }
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    const std::string& SlavePath() const { return m_slave; }
    void Type(const std::string& text) const {
        [[maybe_unused]] const ssize_t n = ::write(m_master, text.data(), text.size());
    }
    // Reads what the child wrote until text has appeared; false at the deadline or hang-up.
    bool WaitFor(const std::string& text, std::chrono::milliseconds limit = kDeadline) {
        const auto deadline = Clock::now() + limit;
        while (m_seen.find(text) == std::string::npos) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return false;
            }
            pollfd fd{m_master, POLLIN, 0};
            if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            char buf[4096];
            const ssize_t n = ::read(m_master, buf, sizeof buf);
            if (n <= 0) {
                return false;
            }
            m_seen.append(buf, static_cast<size_t>(n));
        }
        return true;
    }
    const std::string& Seen() const { return m_seen; }

  private:
    int m_master = -1;
    std::string m_slave;
    std::string m_seen;
};

}  // namespace korv::test
