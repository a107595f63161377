#pragma once
// A pseudo-terminal standing in for the serial cable: the test holds the master (the tester's
// end); the code under test opens the slave path as its port.
//
// The test also holds a descriptor on the slave, taken before anything else opens it. It keeps
// the line up while the code under test closes and reopens its end, and it is how a test looks
// at the line's settings and input queue: a port that has opened the slave sets TIOCEXCL, and
// after that only root may open the slave a second time.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace korv::test {

class Pty {
  public:
    Pty() {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
            return;
        }
        char name[128] = {};
        if (::ptsname_r(m_master, name, sizeof name) != 0) {
            return;
        }
        m_path = name;
        m_slave = ::open(m_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        // Raw, so that nothing is echoed back to the tester while the port is closed.
        termios t{};
        if (m_slave >= 0 && ::tcgetattr(m_slave, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(m_slave, TCSANOW, &t);
        }
    }
    ~Pty() { HangUp(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return m_master >= 0 && m_slave >= 0; }
    // The slave's path: the port name for the code under test.
    const std::string& path() const { return m_path; }
    int master() const { return m_master; }
    // The test's own descriptor on the slave (see above); never read from, so it takes nothing
    // the port should get.
    int slave() const { return m_slave; }

    // The line's current settings; false (and t untouched) when they cannot be read.
    bool LineSettings(termios* t) const { return m_slave >= 0 && ::tcgetattr(m_slave, t) == 0; }
    // Bytes waiting in the slave's input queue, or -1 when that cannot be read.
    int PendingInput() const {
        int n = -1;
        return ::ioctl(m_slave, FIONREAD, &n) == 0 ? n : -1;
    }

    // Writes all of data to the line (as the tester), waiting while the other end is slow.
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
    bool Send(const std::vector<uint8_t>& bytes) const {
        return Send(std::string(bytes.begin(), bytes.end()));
    }

    // Reads what the other end sent until received() holds want bytes or the deadline passes;
    // everything received so far.
    const std::string& Receive(size_t want,
                               std::chrono::milliseconds limit = std::chrono::seconds(60)) {
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

    // Unplugs the cable: the other end sees a hung-up line.
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
