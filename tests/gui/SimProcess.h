#pragma once
// The simulated tester as a child process: its pty path, its stdin commands and its stdout
// event lines, read through the Qt event loop so that a test can wait for an event while the
// program under test keeps running.

#include <QProcess>
#include <QStringList>
#include <optional>
#include <string>
#include <vector>

namespace korv::test {

class SimProcess {
  public:
    explicit SimProcess(QStringList args);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts the simulator and waits for the pty path it prints first.
    bool Start(std::string* error);
    const std::string& Pty() const { return m_pty; }
    void Command(const std::string& line);
    // Waits, running the event loop, for the next event line (after those already taken) that
    // starts with prefix; takes it and every line before it.
    std::optional<std::string> WaitEvent(const std::string& prefix, int timeoutMs = 30000);
    // Every event line so far, taken or not.
    const std::vector<std::string>& Events() const { return m_events; }
    // Waits for the process to end by itself; its exit status, or -1.
    int WaitExit(int timeoutMs);

  private:
    void ReadLines();

    QProcess m_process;
    QStringList m_args;
    std::string m_pty;
    std::string m_partial;
    std::vector<std::string> m_events;
    size_t m_nTaken = 0;
};

}  // namespace korv::test
