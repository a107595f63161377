#pragma once
// Child processes for the end-to-end tests: the console program and the simulated tester, with
// every wait bounded by a generous deadline instead of a sleep.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace korv::test {

using Clock = std::chrono::steady_clock;
// CI machines are slow and shared: every wait gets this long before it counts as a failure.
inline constexpr std::chrono::seconds kDeadline{60};

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteWholeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// A temporary directory removed with everything in it.
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/korv-console-XXXXXX";
        const char* made = ::mkdtemp(tmpl);
        m_path = made != nullptr ? made : "";
    }
    ~TempDir() {
        if (!m_path.empty()) {
            const std::string cmd = "rm -rf '" + m_path + "'";
            [[maybe_unused]] const int rc = std::system(cmd.c_str());
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

struct LaunchPlan {
    std::vector<std::string> argv;
    std::map<std::string, std::string> env;  // added to (or replacing) the test's environment
    bool stdinPipe = false;                  // else stdinFile
    std::string stdinFile = "/dev/null";     // opened for reading and writing (a terminal)
    bool stdoutPipe = false;                 // else stdoutFile
    std::string stdoutFile = "/dev/null";
    std::string stderrFile = "/dev/null";
};

class Child {
  public:
    explicit Child(const LaunchPlan& plan) {
        int in[2] = {-1, -1};
        int out[2] = {-1, -1};
        if ((plan.stdinPipe && ::pipe2(in, O_CLOEXEC) != 0) ||
            (plan.stdoutPipe && ::pipe2(out, O_CLOEXEC) != 0)) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (plan.stdinPipe) {
            posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        } else {
            posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, plan.stdinFile.c_str(),
                                             O_RDWR | O_NOCTTY, 0);
        }
        if (plan.stdoutPipe) {
            posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        } else {
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, plan.stdoutFile.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        }
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, plan.stderrFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY, 0644);

        std::map<std::string, std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const auto eq = entry.find('=');
            env[entry.substr(0, eq)] = eq == std::string::npos ? "" : entry.substr(eq + 1);
        }
        for (const auto& [k, v] : plan.env) {
            env[k] = v;
        }
        std::vector<std::string> envStrings;
        for (const auto& [k, v] : env) {
            envStrings.push_back(k + "=" + v);
        }
        std::vector<char*> envp;
        for (auto& s : envStrings) {
            envp.push_back(s.data());
        }
        envp.push_back(nullptr);
        std::vector<std::string> args = plan.argv;
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);

        const int rc = ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (plan.stdinPipe) {
            ::close(in[0]);
            m_stdin = in[1];
        }
        if (plan.stdoutPipe) {
            ::close(out[1]);
            m_stdout = out[0];
        }
        if (rc != 0) {
            m_pid = -1;
        }
    }

    ~Child() {
        if (m_pid > 0 && !m_status) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
        CloseStdin();
        if (m_stdout >= 0) {
            ::close(m_stdout);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }

    void Signal(int sig) const {
        if (m_pid > 0 && !m_status) {
            ::kill(m_pid, sig);
        }
    }

    void Send(const std::string& text) const {
        if (m_stdin >= 0) {
            [[maybe_unused]] const ssize_t n = ::write(m_stdin, text.data(), text.size());
        }
    }

    void CloseStdin() {
        if (m_stdin >= 0) {
            ::close(m_stdin);
            m_stdin = -1;
        }
    }

    // The exit status (128 + signal when killed by one), or nullopt when it did not end in time.
    std::optional<int> WaitExit(std::chrono::milliseconds limit = kDeadline) {
        if (m_status || m_pid <= 0) {
            return m_status;
        }
        const auto deadline = Clock::now() + limit;
        const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0));
        for (;;) {
            int status = 0;
            rusage usage{};
            const pid_t got = ::wait4(m_pid, &status, WNOHANG, &usage);
            if (got == m_pid) {
                m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                m_cpuMs =
                    static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                    static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
                break;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 || pidFd < 0) {
                break;
            }
            pollfd fd{pidFd, POLLIN, 0};
            ::poll(&fd, 1, static_cast<int>(left.count()));
        }
        if (pidFd >= 0) {
            ::close(pidFd);
        }
        return m_status;
    }

    // CPU time (user and system) the child and the descendants it waited for used, once it has
    // ended: what tells a program that waited from one that spun.
    double CpuMs() const { return m_cpuMs; }

    // The next whole line of the child's stdout pipe, or nullopt at its end or the deadline.
    std::optional<std::string> ReadLine(Clock::time_point deadline) {
        for (;;) {
            const auto nl = m_buffer.find('\n');
            if (nl != std::string::npos) {
                std::string line = m_buffer.substr(0, nl);
                m_buffer.erase(0, nl + 1);
                return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 || m_stdout < 0) {
                return std::nullopt;
            }
            pollfd fd{m_stdout, POLLIN, 0};
            if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            char buf[4096];
            const ssize_t n = ::read(m_stdout, buf, sizeof buf);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return std::nullopt;
            }
            m_buffer.append(buf, static_cast<size_t>(n));
        }
    }

  private:
    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_stdout = -1;
    std::string m_buffer;
    std::optional<int> m_status;
    double m_cpuMs = 0.0;
};

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

// The simulated tester with its event stream.
class Sim {
  public:
    explicit Sim(std::vector<std::string> options) : m_child(Plan(std::move(options))) {
        if (auto line = m_child.ReadLine(Clock::now() + kDeadline)) {
            m_port = *line;
        }
    }

    const std::string& Port() const { return m_port; }
    Child& Process() { return m_child; }
    void Command(const std::string& line) { m_child.Send(line + "\n"); }

    // Waits for an event line that starts with prefix; every line read is kept in Events().
    std::optional<std::string> WaitEvent(const std::string& prefix,
                                         std::chrono::milliseconds limit = kDeadline) {
        const auto deadline = Clock::now() + limit;
        while (auto line = m_child.ReadLine(deadline)) {
            m_events.push_back(*line);
            if (line->starts_with(prefix)) {
                return line;
            }
        }
        return std::nullopt;
    }
    const std::vector<std::string>& Events() const { return m_events; }
    bool SawEvent(const std::string& prefix) const {
        for (const auto& e : m_events) {
            if (e.starts_with(prefix)) {
                return true;
            }
        }
        return false;
    }

  private:
    static LaunchPlan Plan(std::vector<std::string> options) {
        LaunchPlan plan;
        plan.argv.push_back(KORV_TESTER_SIM);
        for (auto& o : options) {
            plan.argv.push_back(std::move(o));
        }
        plan.stdinPipe = true;
        plan.stdoutPipe = true;
        return plan;
    }

    Child m_child;
    std::string m_port;
    std::vector<std::string> m_events;
};

}  // namespace korv::test
