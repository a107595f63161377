#pragma once
// A pseudo-terminal standing in for the serial cable: the test holds the master (the tester's
// end); the program under test opens the slave path as its port.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace korv::test {

class Pty {
  public:
    Pty() {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (m_master >= 0 && ::grantpt(m_master) == 0 && ::unlockpt(m_master) == 0) {
            m_path = ::ptsname(m_master);
            // Holding a slave descriptor keeps the line up while the program closes and
            // reopens its end.
            m_slave = ::open(m_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            termios t{};
            ::tcgetattr(m_slave, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(m_slave, TCSANOW, &t);
        }
    }
    ~Pty() { HangUp(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return m_master >= 0 && m_slave >= 0; }
    const std::string& path() const { return m_path; }
    int master() const { return m_master; }

    // Writes all of data to the line (as the tester), waiting while the program is slow.
    bool Send(const std::string& data,
              std::chrono::milliseconds limit = std::chrono::seconds(60)) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        size_t off = 0;
        while (off < data.size()) {
            const ssize_t n = ::write(m_master, data.data() + off, data.size() - off);
            if (n > 0) {
                off += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            pollfd p{m_master, POLLOUT, 0};
            ::poll(&p, 1, 20);
        }
        return true;
    }

    // Reads what the program sent until want bytes have arrived or the deadline passes.
    std::string Receive(size_t want, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (m_received.size() < want && std::chrono::steady_clock::now() < deadline) {
            ReadAvailable(20);
        }
        return m_received;
    }
    // Reads whatever arrives within waitMs.
    void ReadAvailable(int waitMs) {
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, waitMs) > 0 && (p.revents & POLLIN)) {
            char buf[65536];
            const ssize_t n = ::read(m_master, buf, sizeof(buf));
            if (n > 0) {
                m_received.append(buf, static_cast<size_t>(n));
            }
        }
    }
    std::string& received() { return m_received; }

    // Unplugs the cable: the program's end sees a hung-up line.
    void HangUp() {
        if (m_slave >= 0) {
            ::close(m_slave);
            m_slave = -1;
        }
        if (m_master >= 0) {
            ::close(m_master);
            m_master = -1;
        }
    }

  private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
    std::string m_received;
};

}  // namespace korv::test
