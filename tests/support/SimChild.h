#pragma once
// The simulated tester as a child process for tests and benchmarks without Qt: its pty path,
// its stdin commands and its stdout event lines, every wait bounded by a deadline.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace korv::test {

class SimChild {
  public:
    explicit SimChild(std::vector<std::string> args) {
        int in[2];
        int out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        args.insert(args.begin(), KORV_TESTER_SIM);
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (::posix_spawn(&m_pid, KORV_TESTER_SIM, &actions, nullptr, argv.data(), environ) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        m_in = in[1];
        m_out = out[0];
        ::fcntl(m_out, F_SETFL, O_NONBLOCK);
        m_pty = NextLine(std::chrono::seconds(30));
    }
    ~SimChild() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
        ::close(m_in);
        ::close(m_out);
    }
    SimChild(const SimChild&) = delete;
    SimChild& operator=(const SimChild&) = delete;

    bool ok() const { return m_pid > 0 && !m_pty.empty(); }
    const std::string& pty() const { return m_pty; }

    void Command(const std::string& line) {
        const std::string l = line + "\n";
        [[maybe_unused]] const ssize_t n = ::write(m_in, l.data(), l.size());
    }
    // The next event line, or "" when none arrives before the deadline.
    std::string NextLine(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const size_t nl = m_buffer.find('\n');
            if (nl != std::string::npos) {
                std::string line = m_buffer.substr(0, nl);
                m_buffer.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) {
                return "";
            }
            pollfd p{m_out, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) > 0) {
                char buf[4096];
                const ssize_t n = ::read(m_out, buf, sizeof buf);
                if (n <= 0) {
                    return "";
                }
                m_buffer.append(buf, static_cast<size_t>(n));
            }
        }
    }
    // Skips lines until one starts with prefix; "" when the deadline passes first.
    std::string WaitFor(const std::string& prefix, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            std::string line = NextLine(std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()));
            if (line.rfind(prefix, 0) == 0) {
                return line;
            }
        }
        return "";
    }

  private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_pty;
    std::string m_buffer;
};

}  // namespace korv::test
