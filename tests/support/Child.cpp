#include "Child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "Wait.h"

extern char** environ;

namespace korv::test {

Child::Child(const LaunchPlan& plan) {
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
    if (plan.stderrFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, plan.stderrFd, STDERR_FILENO);
    } else if (!plan.stderrFile.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, plan.stderrFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY, 0644);
    }
    for (const int fd : plan.closed) {
        posix_spawn_file_actions_addclose(&actions, fd);
    }
    if (!plan.cwd.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, plan.cwd.c_str());
    }

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

    const int rc =
        args.empty() ? ENOENT
                     : ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (plan.stdinPipe) {
        ::close(in[0]);
        m_stdin = in[1];
    }
    if (plan.stdoutPipe) {
        ::close(out[1]);
        m_stdout = out[0];
        ::fcntl(m_stdout, F_SETFL, ::fcntl(m_stdout, F_GETFL) | O_NONBLOCK);
    }
    if (rc != 0) {
        m_pid = -1;
    }
}

Child::~Child() {
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

void Child::Signal(int sig) const {
    if (m_pid > 0 && !m_status) {
        ::kill(m_pid, sig);
    }
}

void Child::Send(const std::string& text) const {
    if (m_stdin >= 0) {
        [[maybe_unused]] const ssize_t n = ::write(m_stdin, text.data(), text.size());
    }
}

void Child::CloseStdin() {
    if (m_stdin >= 0) {
        ::close(m_stdin);
        m_stdin = -1;
    }
}

double Child::CpuSoFarMs() const {
    if (m_pid <= 0 || m_status.has_value()) {
        return 0.0;
    }
    // /proc/PID/stat: after the command's closing parenthesis come the state (field 3), ...,
    // utime, stime, cutime and cstime (fields 14 to 17), in clock ticks.
    std::ifstream in("/proc/" + std::to_string(m_pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return 0.0;
    }
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    double ticks = 0.0;
    for (int n = 3; n <= 17 && fields >> field; ++n) {
        if (n >= 14) {
            ticks += std::strtod(field.c_str(), nullptr);
        }
    }
    return ticks * 1e3 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::optional<int> Child::WaitExit(std::chrono::milliseconds limit) {
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
            m_cpuMs = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
            break;
        }
        const int left = MsLeft(deadline);
        if (left <= 0) {
            break;
        }
        if (pidFd >= 0) {
            pollfd fd{pidFd, POLLIN, 0};
            ::poll(&fd, 1, left);
        } else {
            ::poll(nullptr, 0, std::min(left, 10));
        }
    }
    if (pidFd >= 0) {
        ::close(pidFd);
    }
    return m_status;
}

// Reads what the stdout pipe holds, waiting up to waitMs for something to arrive; false once
// the pipe has ended.
bool Child::Fill(int waitMs) {
    if (m_stdout < 0 || m_stdoutEnded) {
        return false;
    }
    pollfd fd{m_stdout, POLLIN, 0};
    if (waitMs > 0 && ::poll(&fd, 1, waitMs) <= 0) {
        return true;
    }
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(m_stdout, buf, sizeof buf);
        if (n > 0) {
            m_buffer.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || errno != EAGAIN) {
            m_stdoutEnded = true;
            return false;
        }
        return true;
    }
}

std::optional<std::string> Child::ReadLine(Clock::time_point deadline) {
    for (;;) {
        const auto nl = m_buffer.find('\n');
        if (nl != std::string::npos) {
            std::string line = m_buffer.substr(0, nl);
            m_buffer.erase(0, nl + 1);
            return line;
        }
        const int left = MsLeft(deadline);
        if (left <= 0 || !Fill(left)) {
            return std::nullopt;
        }
    }
}

std::vector<std::string> Child::ReadAvailableLines() {
    Fill(0);
    std::vector<std::string> lines;
    size_t nl;
    while ((nl = m_buffer.find('\n')) != std::string::npos) {
        lines.push_back(m_buffer.substr(0, nl));
        m_buffer.erase(0, nl + 1);
    }
    return lines;
}

namespace {

// The simulator built with the tests, unless KORV_TESTER_SIM names another copy (the tests run
// from a copy of the build, as an unprivileged user, do that).
std::string SimPath() {
    const char* path = std::getenv("KORV_TESTER_SIM");
    return path != nullptr && *path != '\0' ? path : KORV_TESTER_SIM;
}

LaunchPlan SimPlan(std::vector<std::string> options) {
    LaunchPlan plan;
    plan.argv.push_back(SimPath());
    for (auto& o : options) {
        plan.argv.push_back(std::move(o));
    }
    plan.stdinPipe = true;
    plan.stdoutPipe = true;
    plan.stderrFile.clear();  // the simulator's complaints belong in the test's log
    return plan;
}

}  // namespace

Sim::Sim(std::vector<std::string> options) : m_child(SimPlan(std::move(options))) {
    if (auto line = m_child.ReadLine(Clock::now() + kDeadline)) {
        m_port = *line;
    }
}

Sim::~Sim() {
    if (!m_child.Started() || m_child.WaitExit(std::chrono::milliseconds(0))) {
        return;
    }
    m_child.Signal(SIGTERM);
    m_child.WaitExit(std::chrono::milliseconds(10000));
    // Whatever is left is killed by the Child.
}

void Sim::Poll() {
    for (auto& line : m_child.ReadAvailableLines()) {
        m_events.push_back(std::move(line));
    }
}

std::optional<std::string> Sim::TakeEvent(const std::string& prefix) {
    Poll();
    for (; m_taken < m_events.size(); ++m_taken) {
        if (m_events[m_taken].starts_with(prefix)) {
            return m_events[m_taken++];
        }
    }
    return std::nullopt;
}

std::optional<std::string> Sim::WaitEvent(const std::string& prefix,
                                          std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (auto e = TakeEvent(prefix)) {
            return e;
        }
        const int left = MsLeft(deadline);
        if (left <= 0 || m_child.StdoutEnded()) {
            return std::nullopt;
        }
        pollfd fd{m_child.StdoutFd(), POLLIN, 0};
        ::poll(&fd, 1, left);
    }
}

std::optional<std::string> Sim::Find(const std::string& prefix) const {
    for (const auto& e : m_events) {
        if (e.starts_with(prefix)) {
            return e;
        }
    }
    return std::nullopt;
}

size_t Sim::Count(const std::string& line) const {
    size_t n = 0;
    for (const auto& e : m_events) {
        n += e == line;
    }
    return n;
}

std::string Sim::Transcript() const {
    std::string all;
    for (const auto& e : m_events) {
        all += e + " | ";
    }
    return all;
}

std::optional<int> Sim::WaitExit(std::chrono::milliseconds limit) {
    // Events are taken in while waiting, so that a simulator with much to say never blocks on a
    // full pipe instead of ending.
    const auto deadline = Clock::now() + limit;
    for (;;) {
        Poll();
        const int left = MsLeft(deadline);
        const auto status = m_child.WaitExit(std::chrono::milliseconds(std::min(left, 50)));
        if (status || left <= 0) {
            Poll();
            return status;
        }
    }
}

}  // namespace korv::test
