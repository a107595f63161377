#pragma once
// Shared helpers for the platform tests: a real pseudo-terminal whose slave is the port under
// test, deadline loops for waiting, and scratch directories.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace korv::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous: sanitizer builds on a loaded machine are slow, and a passing test never waits this
// long.
inline constexpr auto kDeadline = 20s;

// Polls cond until it holds or the deadline passes; the result of the last evaluation.
template <class Cond>
bool WaitUntil(Cond cond, std::chrono::milliseconds limit = kDeadline) {
    const auto end = Clock::now() + limit;
    while (!cond()) {
        if (Clock::now() > end)
            return cond();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// True when fd would not block a read right now.
inline bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

inline double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The master side of a pty; the slave path plays the serial port.
class Pty {
  public:
    Pty() {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
            return;
        char name[128] = {};
        if (::ptsname_r(m_master, name, sizeof name) != 0)
            return;
        m_slave = name;
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    }
    ~Pty() { CloseMaster(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return m_master >= 0 && !m_slave.empty(); }
    const std::string& slave() const { return m_slave; }
    int master() const { return m_master; }

    void CloseMaster() {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

    // Writes every byte to the master (the tester's side), waiting for room as needed.
    bool Send(const std::vector<uint8_t>& bytes) {
        size_t done = 0;
        const auto end = Clock::now() + kDeadline;
        while (done < bytes.size()) {
            ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += size_t(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            if (Clock::now() > end)
                return false;
            pollfd p{m_master, POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
        return true;
    }
    bool Send(const std::string& s) { return Send(std::vector<uint8_t>(s.begin(), s.end())); }

    // Reads from the master until want bytes came or limit passed.
    std::vector<uint8_t> Receive(size_t want, std::chrono::milliseconds limit = kDeadline) {
        std::vector<uint8_t> out;
        const auto end = Clock::now() + limit;
        uint8_t buf[4096];
        while (out.size() < want) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{m_master, POLLIN, 0};
            if (::poll(&p, 1, int(left.count())) <= 0)
                continue;
            size_t ask = std::min(sizeof buf, want - out.size());
            ssize_t n = ::read(m_master, buf, ask);
            if (n > 0)
                out.insert(out.end(), buf, buf + n);
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                break;
        }
        return out;
    }

  private:
    int m_master = -1;
    std::string m_slave;
};

// A directory under the system's temp dir, removed with its contents at the end of the test.
class TempDir {
  public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "korv-plat-XXXXXX").string();
        if (::mkdtemp(tmpl.data()))
            m_path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }

  private:
    std::filesystem::path m_path;
};

}  // namespace korv::test
