#pragma once
// Drives the built simulator binary the way the program and scripts do: its stdout events, its
// stdin commands, and the pty slave opened with the program's line settings. Every wait is for a
// condition, bounded by a generous deadline.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace korv::sim::test {

using Clock = std::chrono::steady_clock;
inline Clock::time_point deadline_in(std::chrono::seconds s = std::chrono::seconds(20)) {
    return Clock::now() + s;
}

inline int ms_left(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

class SimProcess {
  public:
    explicit SimProcess(const std::vector<std::string>& args) {
        int in[2];
        int out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
        std::vector<std::string> all{KORV_TESTER_SIM};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        ::fcntl(stdout_, F_SETFL, O_NONBLOCK);
    }
    ~SimProcess() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            int st = 0;
            ::waitpid(pid_, &st, 0);
        }
        if (stdin_ >= 0)
            ::close(stdin_);
        if (stdout_ >= 0)
            ::close(stdout_);
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool started() const { return pid_ > 0; }
    int stdout_fd() const { return stdout_; }
    pid_t pid() const { return pid_; }

    // Takes whatever the simulator has printed so far into lines().
    void drain() {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(stdout_, buf, sizeof buf)) > 0) {
            partial_.append(buf, static_cast<std::size_t>(n));
            std::size_t nl;
            while ((nl = partial_.find('\n')) != std::string::npos) {
                lines_.push_back(partial_.substr(0, nl));
                partial_.erase(0, nl + 1);
            }
        }
        if (n == 0)
            eof_ = true;
    }

    // The first line printed at or after index `from` that starts with prefix.
    std::optional<std::string> find(const std::string& prefix, std::size_t from = 0) const {
        for (std::size_t i = from; i < lines_.size(); ++i) {
            if (lines_[i].rfind(prefix, 0) == 0)
                return lines_[i];
        }
        return std::nullopt;
    }

    std::optional<std::string> wait_for(const std::string& prefix, Clock::time_point deadline) {
        while (true) {
            drain();
            if (auto l = find(prefix))
                return l;
            if (eof_ || Clock::now() >= deadline)
                return std::nullopt;
            pollfd p{stdout_, POLLIN, 0};
            ::poll(&p, 1, ms_left(deadline));
        }
    }

    void send(const std::string& command) {
        const std::string line = command + "\n";
        [[maybe_unused]] ssize_t n = ::write(stdin_, line.data(), line.size());
    }
    void close_stdin() {
        ::close(stdin_);
        stdin_ = -1;
    }

    // Exit status, or nullopt if it is still running at the deadline.
    std::optional<int> wait_exit(Clock::time_point deadline) {
        while (!status_) {
            drain();
            int st = 0;
            const pid_t r = ::waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                break;
            }
            if (Clock::now() >= deadline)
                return std::nullopt;
            pollfd p{stdout_, POLLIN, 0};
            ::poll(&p, 1, eof_ ? 10 : std::min(ms_left(deadline), 100));
        }
        drain();
        return status_;
    }

    const std::vector<std::string>& lines() const { return lines_; }
    // All events so far, for failure messages.
    std::string transcript() const {
        std::string all;
        for (const auto& l : lines_)
            all += l + " | ";
        return all;
    }
    std::size_t count(const std::string& line) const {
        std::size_t c = 0;
        for (const auto& l : lines_)
            c += l == line;
        return c;
    }

  private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    std::string partial_;
    std::vector<std::string> lines_;
    bool eof_ = false;
    std::optional<int> status_;
};

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
    bool pump(SimProcess& sim, const std::string& data, Done done, Clock::time_point deadline) {
        std::size_t off = 0;
        while (Clock::now() < deadline) {
            sim.drain();
            if (off == data.size() && done())
                return true;
            pollfd p[2] = {{fd_, static_cast<short>(POLLIN | (off < data.size() ? POLLOUT : 0)), 0},
                           {sim.stdout_fd(), POLLIN, 0}};
            ::poll(p, 2, std::min(ms_left(deadline), 100));
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
