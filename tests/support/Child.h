#pragma once
// Child processes for tests and benchmarks: any program (the console program under test), and
// the simulated tester with its stdin commands and stdout event lines. Every wait is bounded by
// a deadline; nothing here sleeps for a fixed time.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korv::test {

struct LaunchPlan {
    std::vector<std::string> argv;
    std::map<std::string, std::string> env;  // added to (or replacing) the test's environment
    bool stdinPipe = false;                  // else stdinFile
    std::string stdinFile = "/dev/null";     // opened for reading and writing (a terminal)
    bool stdoutPipe = false;                 // else stdoutFile
    std::string stdoutFile = "/dev/null";
    std::string stderrFile = "/dev/null";  // empty: the test's own stderr
    int stderrFd = -1;                     // a descriptor of the test's instead of stderrFile
    std::string cwd;                       // the child's working folder; empty: the test's
    std::vector<int> closed;               // standard descriptors the child starts without
};

class Child {
  public:
    using Clock = std::chrono::steady_clock;

    explicit Child(const LaunchPlan& plan);
    // A child still running is killed (SIGKILL) and reaped.
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }
    void Signal(int sig) const;
    // Writes text to the child's stdin pipe.
    void Send(const std::string& text) const;
    void CloseStdin();
    // The exit status (128 + signal when killed by one), or nullopt when it did not end in time.
    std::optional<int> WaitExit(std::chrono::milliseconds limit = std::chrono::seconds(60));
    // CPU time (user and system) the child and the children it waited for used, in ms; known
    // once WaitExit has seen it end.
    double CpuMs() const { return m_cpuMs; }
    // The same while the child runs, as the system counts it so far (0 once it has ended).
    double CpuSoFarMs() const;
    // The next whole line of the stdout pipe, or nullopt at its end or the deadline.
    std::optional<std::string> ReadLine(Clock::time_point deadline);
    // Every whole line of the stdout pipe that has arrived, without waiting.
    std::vector<std::string> ReadAvailableLines();
    int StdoutFd() const { return m_stdout; }
    bool StdoutEnded() const { return m_stdoutEnded; }

  private:
    bool Fill(int waitMs);

    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_stdout = -1;
    bool m_stdoutEnded = false;
    std::string m_buffer;
    std::optional<int> m_status;
    double m_cpuMs = 0.0;
};

// The simulated tester. Its first line is the pty path it offers as the port; every later line
// is an event, kept in Events() in order.
class Sim {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kDeadline{60000};

    explicit Sim(std::vector<std::string> options);
    // A simulator still running is asked to end (SIGTERM), then killed if it does not.
    ~Sim();
    Sim(const Sim&) = delete;
    Sim& operator=(const Sim&) = delete;

    bool ok() const { return m_child.Started() && !m_port.empty(); }
    // The pty slave path the simulator offers as the port.
    const std::string& Port() const { return m_port; }
    Child& Process() { return m_child; }
    void Command(const std::string& line) { m_child.Send(line + "\n"); }

    // Takes in the event lines that have arrived, without waiting.
    void Poll();
    // The next event after those already taken that starts with prefix, without waiting; takes
    // it and every event before it.
    std::optional<std::string> TakeEvent(const std::string& prefix);
    // Waits for such an event.
    std::optional<std::string> WaitEvent(const std::string& prefix,
                                         std::chrono::milliseconds limit = kDeadline);
    // The first event so far, taken or not, that starts with prefix.
    std::optional<std::string> Find(const std::string& prefix) const;
    size_t Count(const std::string& line) const;
    const std::vector<std::string>& Events() const { return m_events; }
    // Every event so far in one line, for failure messages.
    std::string Transcript() const;
    std::optional<int> WaitExit(std::chrono::milliseconds limit = kDeadline);

  private:
    Child m_child;
    std::string m_port;
    std::vector<std::string> m_events;
    size_t m_taken = 0;
};

}  // namespace korv::test
