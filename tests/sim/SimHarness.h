#pragma once
// The pty slave of the built simulator, opened with the program's line settings, driven together
// with the simulator's events. Every wait is for a condition, bounded by a generous deadline.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "Child.h"
#include "Wait.h"

namespace korv::sim::test {

using korv::test::Clock;
using korv::test::Sim;

inline Clock::time_point deadline_in(std::chrono::milliseconds limit = korv::test::kDeadline) {
    return Clock::now() + limit;
}

// The slave side, opened and configured the way the program does it.
class ToolLine {
  public:
    explicit ToolLine(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            return;
        termios t{};
        ::tcgetattr(fd_, &t);
        ::cfmakeraw(&t);
        ::cfsetspeed(&t, B57600);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_iflag |= IXON | IXOFF;
        ok_ = ::tcsetattr(fd_, TCSANOW, &t) == 0 && ::tcflush(fd_, TCIOFLUSH) == 0;
    }
    // Without IXON the kernel hands the simulator's XOFF/XON bytes to the reader.
    bool set_ixon(bool on) {
        termios t{};
        if (::tcgetattr(fd_, &t) != 0)
            return false;
        t.c_iflag = on ? (t.c_iflag | IXON) : (t.c_iflag & ~tcflag_t{IXON});
        return ::tcsetattr(fd_, TCSANOW, &t) == 0;
    }
    ~ToolLine() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    ToolLine(const ToolLine&) = delete;
    ToolLine& operator=(const ToolLine&) = delete;

    bool ok() const { return ok_; }
    int fd() const { return fd_; }
    const std::string& received() const { return received_; }
    bool hung_up() const { return hung_up_; }

    // Writes `data` while reading the line and the simulator's events, in one poll loop so that
    // neither side can stall the other, until `done` holds or the deadline passes.
    template <typename Done>
    bool pump(Sim& sim, const std::string& data, Done done, Clock::time_point deadline) {
        std::size_t off = 0;
        while (Clock::now() < deadline) {
            sim.Poll();
            if (off == data.size() && done())
                return true;
            pollfd p[2] = {{fd_, static_cast<short>(POLLIN | (off < data.size() ? POLLOUT : 0)), 0},
                           {sim.Process().StdoutFd(), POLLIN, 0}};
            ::poll(p, 2, std::min(korv::test::MsLeft(deadline), 100));
            if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                char buf[8192];
                const ssize_t n = ::read(fd_, buf, sizeof buf);
                if (n > 0) {
                    received_.append(buf, static_cast<std::size_t>(n));
                } else if (n == 0 || errno == EIO) {
                    hung_up_ = true;
                    if (off < data.size())
                        return false;
                }
            }
            if ((p[0].revents & POLLOUT) && off < data.size()) {
                const ssize_t n = ::write(fd_, data.data() + off, data.size() - off);
                if (n > 0)
                    off += static_cast<std::size_t>(n);
            }
        }
        return false;
    }

  private:
    int fd_ = -1;
    bool ok_ = false;
    bool hung_up_ = false;
    std::string received_;
};

}  // namespace korv::sim::test
