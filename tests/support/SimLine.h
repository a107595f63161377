#pragma once
// The simulated tester (the Linux program korvalin-tester-sim) behind a port that this system's
// serial layer opens by name, for tests that run unchanged on both systems:
//   Linux:   the simulator's pty, opened by its path.
//   Windows: a COM port of the Wine prefix the test runs in. scripts/wine-com maps COMn to the
//            link $WINEPREFIX/korv-ports/comn; the simulator's --link points that link at its pty.
//            The port is the one named by KORV_WINE_COM (default COM5); tests that share a port
//            must not run at the same time.
// Events and commands are the simulator's stdout lines and stdin commands; every wait is bounded.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korv::test {

class SimLine {
  public:
    // Starts the simulator with these options and waits until its line exists. "{dir}" in an
    // option stands for the simulator's working folder (--save {dir}/got; see ReadBack).
    explicit SimLine(std::vector<std::string> options);
    ~SimLine();  // ends the simulator and removes its files
    SimLine(const SimLine&) = delete;
    SimLine& operator=(const SimLine&) = delete;

    // False when the simulator could not be started; Problem() says why.
    bool Ok() const;
    const std::string& Problem() const;
    // The port name to give the serial layer (DevicePathForPort): a pty path or "COMn".
    const std::string& Port() const;

    // A simulator command (xoff, xon, hangup, quit, say TEXT, ...).
    void Command(const std::string& line);
    // The next event that starts with prefix (events before it are kept in Events()), or
    // nullopt when none arrives in time or the simulator has ended.
    std::optional<std::string> WaitEvent(
        const std::string& prefix, std::chrono::milliseconds limit = std::chrono::seconds(60));
    bool SawEvent(const std::string& prefix) const;
    const std::vector<std::string>& Events() const { return m_events; }
    // Every event so far on one line, for failure messages.
    std::string Transcript() const;

    // The content of a file in the simulator's working folder, as this process reads it.
    std::string ReadBack(const std::string& name) const;

  private:
    // Before the backend: starting it reports into the problem text.
    std::string m_problem;
    std::unique_ptr<class SimBackend> m_backend;
    std::vector<std::string> m_events;
};

// What each system provides: the simulator process, its stdout lines and stdin.
class SimBackend {
  public:
    virtual ~SimBackend() = default;
    // The port name for the serial layer; pty is the simulator's first line, its pty's path.
    virtual const std::string& Port() const = 0;
    std::string pty;
    // The next stdout line, or nullopt at the deadline or the end of the output.
    virtual std::optional<std::string> NextLine(std::chrono::steady_clock::time_point deadline) = 0;
    virtual void Send(const std::string& line) = 0;
    virtual std::string ReadBack(const std::string& name) const = 0;
};

// Whether the far end's port refuses a second opener here. Linux: yes (the port layer locks the
// tty). Windows refuses a second CreateFile on an open COM port, but Wine does not check the
// sharing of a device (a second open succeeds), so under Wine it cannot be observed.
bool SecondOpenerRefused();

// An option with "{dir}" replaced by the simulator's working folder.
inline std::string ExpandDir(std::string option, const std::string& dir) {
    for (size_t at = option.find("{dir}"); at != std::string::npos; at = option.find("{dir}")) {
        option.replace(at, 5, dir);
    }
    return option;
}

// Starts the simulator for this system; nullptr with *problem set when it cannot.
std::unique_ptr<SimBackend> StartSimBackend(const std::vector<std::string>& options,
                                            std::string* problem);

}  // namespace korv::test
