#pragma once
// One table of console runs that go wrong, and the one way each is checked: the exit status, the
// summary row of every port (a batch) or the messages (one port), and the bytes each tester got.
// Thin drivers run every row for the one-port program and for a batch of two testers, on Linux
// (tests/console) and for the Windows program under Wine (tests/wine).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Child.h"
#include "TempDir.h"
#include "Texts.h"
#include "Wait.h"
#include "hash/Sha256.h"
#include "korv_version.h"

namespace korv::test {

// What goes wrong, and when.
enum class Fault {
    None,
    HangupSending,        // tester 0's line goes away mid-transfer (an adapter pulled)
    HangupWaiting,        // tester 0's line goes away before it prompts
    ReplugSending,        // as HangupSending, then a new tester comes back under the same name
    RestartSending,       // tester 0 restarts mid-transfer and asks for the file again
    SighupSending,        // the program's session ends (SIGHUP) mid-transfer
    SigintAfterReceived,  // Ctrl+C once every tester has its whole file (the answer window)
    ClosedStdinStderr,    // the program starts with descriptors 0 and 2 closed
    ClosedStdinStdout,    // the program starts with descriptors 0 and 1 closed
    StoppedTerminal,      // standard error is a terminal stopped with Ctrl+S for the whole run
    StalledPipe,          // standard error is a pipe that is full and never read
    UnwritableLog,        // tester 0's log cannot be written (a batch)
    SayWhileReceiving,    // tester 0 prints the row's line while it receives the file
    StderrGone,           // standard error is a pipe whose reader has gone before the start
};

// What a tester ends up with.
enum class Got { All, Prefix, Nothing };

// Where a row runs.
enum Runs : unsigned {
    kOnePort = 1,
    kBatch = 2,
    kLinux = 4,
    kWine = 8,
    kEverywhere = kOnePort | kBatch | kLinux | kWine,
};

struct Scenario {
    const char* name;
    Fault fault;
    std::vector<std::string> sim;  // the simulated testers' options
    size_t bytes;                  // the update file's size
    unsigned runs;
    int status;  // the program's exit status
    // Tester 0's summary row: OUTCOME, SENT, FAILED; BYTES follows from got.
    const char* outcome;
    int sent;
    int failed;
    // In tester 0's REASON column and log (a batch) or on stderr (one port); "" for none.
    const char* reason;
    Got got;
    // The program's own options beyond the ports, the file and the log folder.
    std::vector<std::string> args = {};
    // What tester 0 says while it receives (SayWhileReceiving).
    const char* say = "";
    // The summary's OUTCOME of a tester the fault does not touch.
    const char* bystander = "sent";
    // With --unit-id among args: the unit every record and summary row of a tester the fault
    // touches names (the others name none).
    const char* unit = "";
};

// An outcome of a transfer that went out whole (the tester's verdict may follow).
inline bool WentOutWhole(const std::string& outcome) {
    return outcome == "sent" || outcome == "accepted" || outcome == "rejected" ||
           outcome == "no verdict";
}

// A run that goes on to the next tester: it ends with Ctrl+C, after each port's last transfer.
inline bool Repeats(const Scenario& s) {
    return std::find(s.args.begin(), s.args.end(), "--repeat") != s.args.end();
}

inline std::ostream& operator<<(std::ostream& os, const Scenario& s) {
    return os << s.name;
}

// Faults of the program itself touch every tester; the others touch tester 0 only, and tester 1
// of a batch is updated as if nothing happened.
inline bool HitsEveryTester(Fault f) {
    return f == Fault::SighupSending || f == Fault::SigintAfterReceived ||
           f == Fault::ClosedStdinStderr || f == Fault::ClosedStdinStdout ||
           f == Fault::StoppedTerminal || f == Fault::StalledPipe || f == Fault::None;
}

inline const std::vector<Scenario>& ConsoleScenarios() {
    using F = Fault;
    const std::vector<std::string> lineRate = {"--rate", "5760", "--linger-ms", "60000"};
    static const std::vector<Scenario> rows = {
        // clang-format off
        // A tester (or a relay) that reads more slowly than the line and never sends XOFF: the
        // pty still holds the file's tail when the program has written it all.
        // It takes a pause in the bytes of 5 s, not 1 s, as the end of the file: a loaded machine
        // (Wine above all) can hold the pty that long, and the tester would count only what came
        // before.
        {"SlowTesterGetsEveryByte", F::None,
         {"--rate", "3000", "--buffer", "1024", "--high", "1024", "--low", "512",
          "--linger-ms", "60000", "--end-silence-ms", "5000"}, 53120,
         kEverywhere, 0, "sent", 1, 0, "", Got::All},
        {"LineLostMidTransfer", F::HangupSending, lineRate, 60000,
         kEverywhere, 4, "port lost", 0, 1, "did not complete", Got::Prefix},
        {"LineLostBeforeThePrompt", F::HangupWaiting,
         {"--prompt", "none", "--wait-open", "off", "--delay-ms", "0", "--linger-ms", "60000"},
         60000,
         kEverywhere, 1, "port lost", 0, 0, "Lost the connection", Got::Nothing},
        // The cut transfer is told; the one that follows decides.
        {"TesterRestartsMidTransfer", F::RestartSending, lineRate, 60000,
         kEverywhere, 0, "sent", 1, 1,
         "did not complete: the tester asked for the file again after", Got::All},
        {"SessionHangupMidTransfer", F::SighupSending, lineRate, 60000,
         kOnePort | kBatch | kLinux, 130, "interrupted", 0, 1, "Interrupted", Got::Prefix},
        {"CtrlCAfterEveryTesterHadItsFile", F::SigintAfterReceived,
         {"--rate", "5760", "--linger-ms", "60000"}, 20000,
         kEverywhere, 0, "sent", 1, 0, "", Got::All},
        {"ClosedStandardInputAndError", F::ClosedStdinStderr, {"--rate", "5760"}, 20000,
         kOnePort | kBatch | kLinux, 0, "sent", 1, 0, "", Got::All},
        {"ClosedStandardInputAndOutput", F::ClosedStdinStdout,
         {"--rate", "5760", "--linger-ms", "60000"}, 20000,
         kOnePort | kBatch | kLinux, 0, "sent", 1, 0, "", Got::All},
        {"StoppedTerminalStallsNoTester", F::StoppedTerminal, {"--rate", "5760"}, 20000,
         kOnePort | kBatch | kLinux, 0, "sent", 1, 0, "", Got::All},
        // Wine's console host stops serving any console call while a stopped terminal holds
        // it; a pipe that nobody reads stalls standard error on both systems.
        {"StalledPipeStallsNoTester", F::StalledPipe, {"--rate", "5760"}, 20000,
         kEverywhere, 0, "sent", 1, 0, "", Got::All},
        {"UnwritableLogIsAFailure", F::UnwritableLog, {"--rate", "5760"}, 20000,
         kBatch | kLinux, 1, "sent", 1, 0, "File too large", Got::All},
        // The tester restarts while the pty still holds the file's tail (it never sends XOFF, so
        // the program hands the whole file over at once): the port had let go of every byte long
        // before the line could have carried them, so the file is not sent until the line time
        // has passed, and the tester's new prompt cuts it.
        {"RestartWhileThePortHoldsTheTail", F::RestartSending,
         {"--rate", "5760", "--buffer", "1024", "--high", "1024", "--low", "512",
          "--linger-ms", "60000"}, 12000,
         kEverywhere, 0, "sent", 1, 1,
         "did not complete: the tester asked for the file again after", Got::All},
        // A line that matches --expect while the file is still going out is about a block, not
        // the update; the rejection after the last byte decides. The file takes 10 s on the line,
        // so the line said as the tester starts receiving comes long before the last byte has
        // left the program, however slow the machine.
        {"AcceptingLineBeforeTheLastByteIsNoVerdict", F::SayWhileReceiving,
         {"--rate", "5760", "--linger-ms", "60000", "--verdict", "reject"}, 60000,
         kEverywhere, 5, "rejected", 1, 1, "Update rejected", Got::All,
         {"--expect", "header ok", "--reject", "rejected"}, "Block 1: header ok", "accepted"},
        // What the tester says reaches the operator's terminal without its control bytes.
        {"TesterControlBytesAreNotPassedOn", F::SayWhileReceiving, lineRate, 20000,
         kEverywhere, 5, "rejected", 1, 1, "CRC error", Got::All,
         {"--reject", "CRC error", "--verdict-timeout", "3"},
         "\x1b]0;tester\x07"
         "CRC error\x1b[2J",
         "sent"},
        // A pattern that a backtracking matcher takes exponential time over: no port waits.
        {"SlowPatternHoldsUpNoTester", F::SayWhileReceiving, lineRate, 20000,
         kEverywhere, 0, "accepted", 1, 0, "", Got::All,
         {"--expect", "header ok", "--reject", "^(\\w+\\s?)+ error$"},
         "Block one of three received and written to the flash memory ok", "accepted"},
        // Standard error gone (its reader exited): the run's status is the transfer's.
        {"StandardErrorGoneKeepsTheStatus", F::StderrGone, {"--rate", "5760"}, 20000,
         kEverywhere, 0, "sent", 1, 0, "", Got::All},
        // Each tester names itself in its banner: the unit is in its records and summary row, and
        // the records name the station given.
        {"TheTestersNameThemselves", F::None,
         {"--rate", "5760", "--serial", "KT-0042", "--linger-ms", "60000"}, 20000,
         kEverywhere, 0, "sent", 1, 0, "", Got::All,
         {"--unit-id", "^Serial number: (\\S+)$", "--station-name", "Line 3"}, "", "sent",
         "KT-0042"},
        // The port comes back: the cut transfer is counted and recorded, the next tester gets
        // the whole file, and the run goes on until Ctrl+C, as any repeating run.
        {"NextTesterAfterTheLineCameBack", F::ReplugSending, lineRate, 60000,
         kEverywhere, 130, "interrupted", 1, 1, "Interrupted", Got::All, {"--repeat"}, "",
         "interrupted"},
        // clang-format on
    };
    return rows;
}

// The rows that run where runs says (a front end and a system), and a row's test name.
inline std::vector<Scenario> ScenarioRows(unsigned runs) {
    std::vector<Scenario> rows;
    for (const auto& s : ConsoleScenarios()) {
        if ((s.runs & runs) == runs) {
            rows.push_back(s);
        }
    }
    return rows;
}
inline std::string ScenarioName(const ::testing::TestParamInfo<Scenario>& info) {
    return info.param.name;
}

// A summary row cut into its columns (PORT OUTCOME SENT FAILED BYTES TIME FILE REASON): cells
// are two or more spaces apart.
inline std::vector<std::string> SummaryCells(const std::string& line) {
    std::vector<std::string> cells;
    size_t at = 0;
    while (at < line.size()) {
        size_t gap = line.find("  ", at);
        if (gap == std::string::npos) {
            gap = line.size();
        }
        cells.push_back(line.substr(at, gap - at));
        at = line.find_first_not_of(' ', gap);
        if (at == std::string::npos) {
            break;
        }
    }
    return cells;
}

// Checks one tester's summary row against what it should say; unit: its UNIT column, when the
// summary has one ("-" for none).
inline void ExpectSummaryRow(const std::string& summary, const std::string& port,
                             const std::string& outcome, int sent, int failed, Got got,
                             size_t bytes, const std::string& reason,
                             const std::string& unit = {}) {
    // The columns that name the port (PORT, and SLOT and UNIT when there are any) come first.
    const auto header = SummaryCells(SummaryLine(summary, "PORT"));
    const auto unitAt = std::find(header.begin(), header.end(), "UNIT");
    const auto outcomeAt = std::find(header.begin(), header.end(), "OUTCOME");
    ASSERT_NE(outcomeAt, header.end()) << summary;
    const auto identity = static_cast<size_t>(outcomeAt - header.begin()) - 1;
    EXPECT_EQ(unitAt != header.end(), !unit.empty()) << summary;
    const std::string line = SummaryLine(summary, port);
    auto cells = SummaryCells(line);
    ASSERT_GE(cells.size(), 7u + identity) << summary;
    if (unitAt != header.end()) {
        EXPECT_EQ(cells[static_cast<size_t>(unitAt - header.begin())], unit) << summary;
    }
    cells.erase(cells.begin() + 1, cells.begin() + 1 + static_cast<std::ptrdiff_t>(identity));
    EXPECT_EQ(cells[1], outcome) << summary;
    EXPECT_EQ(cells[2], std::to_string(sent)) << summary;
    EXPECT_EQ(cells[3], std::to_string(failed)) << summary;
    const std::string total = "/" + std::to_string(bytes);
    switch (got) {
        case Got::All:
            EXPECT_EQ(cells[4], std::to_string(bytes) + total) << summary;
            break;
        case Got::Prefix:
            EXPECT_TRUE(cells[4].ends_with(total) && cells[4] != std::to_string(bytes) + total)
                << summary;
            break;
        case Got::Nothing:
            EXPECT_EQ(cells[4], "-") << summary;
            break;
    }
    if (reason.empty()) {
        EXPECT_EQ(cells.size(), 7u) << "a reason for a clean row: " << summary;
    } else {
        ASSERT_EQ(cells.size(), 8u) << summary;
        EXPECT_NE(cells[7].find(reason), std::string::npos) << summary;
    }
}

inline size_t CountOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// Every record of a transfer that was stopped says in its reason how far it got ("Interrupted
// after N of M bytes.") and counts the same N in bytes_sent: both are read once it has stopped.
inline void ExpectRecordsAgreeWithTheirReasons(const std::string& report) {
    size_t at = 0;
    while (at < report.size()) {
        size_t end = report.find('\n', at);
        if (end == std::string::npos) {
            end = report.size();
        }
        const std::string line = report.substr(at, end - at);
        at = end + 1;
        const size_t after = line.find(" after ");
        const size_t sentAt = line.find("\"bytes_sent\":");
        if (line.find("\"outcome\":\"aborted\"") == std::string::npos ||
            after == std::string::npos || sentAt == std::string::npos ||
            line.find(" bytes.", after) == std::string::npos) {
            continue;
        }
        const std::string told = line.substr(after + 7, line.find(' ', after + 7) - after - 7);
        const size_t digits = sentAt + 13;
        const std::string counted =
            line.substr(digits, line.find_first_not_of("0123456789", digits) - digits);
        EXPECT_EQ(told, counted) << line;
    }
}

// Every record names the station (the run's --station-name, else the host name), the program's
// version, no slot (these ports have no labels) and, with --unit-id, its tester's unit (units: by
// port, empty for none); each has an id of its own.
inline void ExpectRecordIdentities(const std::string& report, const std::string& station,
                                   const std::map<std::string, std::string>& units) {
    std::set<std::string> ids;
    size_t records = 0;
    for (size_t at = 0, nl; (nl = report.find('\n', at)) != std::string::npos; at = nl + 1) {
        const auto r = nlohmann::json::parse(report.substr(at, nl - at), nullptr, false);
        ASSERT_TRUE(r.is_object()) << report;
        ++records;
        EXPECT_EQ(r["station"], station) << r;
        EXPECT_EQ(r["version"], KORV_VERSION) << r;
        EXPECT_TRUE(r["slot"].is_null()) << r;
        ASSERT_TRUE(r["id"].is_string()) << r;
        EXPECT_EQ(r["id"].get<std::string>().size(), 36u) << r;
        ids.insert(r["id"].get<std::string>());
        const auto unit = units.find(r["port"].get<std::string>());
        if (unit != units.end() && !unit->second.empty()) {
            EXPECT_EQ(r["unit"], unit->second) << r;
        } else {
            EXPECT_TRUE(r["unit"].is_null()) << r;
        }
    }
    EXPECT_GT(records, 0u);
    EXPECT_EQ(ids.size(), records) << "two records with one id\n" << report;
}

inline std::string Sha256Hex(const std::string& bytes) {
    CSha256 hash;
    hash.Update(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return CSha256::Hex(hash.Final());
}

// The records of port in a report, in the order written.
inline std::vector<nlohmann::json> RecordsOf(const std::string& report, const std::string& port) {
    std::vector<nlohmann::json> records;
    for (size_t at = 0, nl; (nl = report.find('\n', at)) != std::string::npos; at = nl + 1) {
        auto j = nlohmann::json::parse(report.substr(at, nl - at), nullptr, false);
        if (!j.is_discarded() && j.value("port", "") == port) {
            records.push_back(std::move(j));
        }
    }
    return records;
}

// Checks what a tester saved against the file.
inline void ExpectGot(const std::string& got, const std::string& text, Got expected,
                      const std::string& who) {
    switch (expected) {
        case Got::All:
            EXPECT_TRUE(got == text) << who << " got " << got.size() << " of " << text.size()
                                     << " bytes, or other bytes";
            break;
        case Got::Prefix:
            EXPECT_LT(got.size(), text.size()) << who;
            EXPECT_TRUE(got == text.substr(0, got.size())) << who << " got other bytes";
            break;
        case Got::Nothing:
            EXPECT_EQ(got.size(), 0u) << who;
            break;
    }
}

// The records of a port whose tester was unplugged mid-transfer and replaced: the cut transfer
// (port_lost, with the hash of exactly the bytes that went out, no fewer than the first tester
// got), then the next tester's whole file; both under the port's name as given, and nothing for
// the wait in between or for the Ctrl+C that ended the run.
inline void ExpectReplugRecords(const std::string& report, const std::string& port,
                                const std::string& text, size_t firstGot) {
    const auto records = RecordsOf(report, port);
    ASSERT_EQ(records.size(), 2u) << report;
    auto cut = records[0];
    auto next = records[1];
    EXPECT_EQ(cut["outcome"], "port_lost") << cut;
    EXPECT_EQ(cut["file_bytes"], text.size()) << cut;
    const size_t cutBytes = cut["bytes_sent"].get<size_t>();
    EXPECT_LT(cutBytes, text.size()) << cut;
    EXPECT_GE(cutBytes, firstGot) << cut;
    EXPECT_EQ(cut["sha256"], Sha256Hex(text.substr(0, cutBytes))) << cut;
    EXPECT_EQ(next["outcome"], "sent") << next;
    EXPECT_EQ(next["bytes_sent"], text.size()) << next;
    EXPECT_EQ(next["sha256"], Sha256Hex(text)) << next;
    EXPECT_EQ(next["device"], cut["device"]) << "the port was opened again under another name";
    if (port.starts_with("/")) {
        EXPECT_EQ(cut["device"], port) << "the link was resolved instead of opened by its name";
    }
}

// A terminal for the program's standard error that the operator has stopped with Ctrl+S: the
// program's output to it stops at once and nothing is read until the end.
class StoppedTerminal {
  public:
    StoppedTerminal() {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
            return;
        }
        const char* name = ::ptsname(m_master);
        m_slave = name != nullptr ? name : "";
        // Output flow control on, as a terminal has it; then the operator's Ctrl+S. It is acted
        // on asynchronously: one-byte probes are written until one is held back.
        const int slave = ::open(m_slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t{};
        const char stop = 0x13;
        if (slave >= 0 && ::tcgetattr(slave, &t) == 0) {
            t.c_iflag |= IXON;
            t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            m_stopped = ::tcsetattr(slave, TCSANOW, &t) == 0 && ::write(m_master, &stop, 1) == 1 &&
                        WaitUntil([&] {
                            char probe = '?';
                            if (::write(slave, &probe, 1) == 1) {
                                [[maybe_unused]] const ssize_t n = ::read(m_master, &probe, 1);
                                return false;
                            }
                            return errno == EAGAIN;
                        });
        }
        if (slave >= 0) {
            ::close(slave);
        }
    }
    ~StoppedTerminal() {
        if (m_master >= 0) {
            ::close(m_master);
        }
    }
    StoppedTerminal(const StoppedTerminal&) = delete;
    StoppedTerminal& operator=(const StoppedTerminal&) = delete;
    bool ok() const { return m_stopped && !m_slave.empty(); }
    const std::string& SlavePath() const { return m_slave; }

  private:
    int m_master = -1;
    std::string m_slave;
    bool m_stopped = false;
};

// A named pipe for the program's standard error, filled before the run and never read: every
// write to it waits, as a stalled remote session's would.
class StalledPipe {
  public:
    explicit StalledPipe(std::string path) : m_path(std::move(path)) {
        if (::mkfifo(m_path.c_str(), 0600) != 0) {
            return;
        }
        m_read = ::open(m_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        const int w = ::open(m_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        const std::string block(4096, '#');
        while (w >= 0 && ::write(w, block.data(), block.size()) > 0) {
        }
        m_full = w >= 0 && errno == EAGAIN;
        if (w >= 0) {
            ::close(w);
        }
    }
    ~StalledPipe() {
        if (m_read >= 0) {
            ::close(m_read);
        }
    }
    StalledPipe(const StalledPipe&) = delete;
    StalledPipe& operator=(const StalledPipe&) = delete;
    bool ok() const { return m_read >= 0 && m_full; }
    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
    int m_read = -1;
    bool m_full = false;
};

// How one system starts the program and reaches a tester; the run and its checks are shared.
struct ScenarioSystem {
    // The station the records name when the run is given no --station-name.
    std::string hostName;
    // The port name of tester i and the simulator options that put it there; empty: the
    // simulator's own pty.
    std::function<std::string(size_t i, std::vector<std::string>& simOptions)> port;
    // The program as the system runs it, with its arguments (a file path as the program names it).
    std::function<std::vector<std::string>(const std::vector<std::string>& args)> command;
    std::function<std::string(const std::string& path)> fileArg;
    // The log of a port in a log folder.
    std::function<std::string(const std::string& dir, const std::string& port)> logPath;
};

// Runs one row against one or two simulated testers (batch) and checks everything it says.
inline void RunScenario(const Scenario& s, bool batch, const ScenarioSystem& sys,
                        const TempDir& dir) {
    const std::string text = UpdateText(s.bytes);
    WriteWholeFile(dir / "update.txt", text);
    const std::string file = sys.fileArg(dir / "update.txt");
    const size_t testers = batch ? 2 : 1;
    const bool everyTester = HitsEveryTester(s.fault);

    std::vector<std::unique_ptr<Sim>> sims;
    std::vector<std::string> ports;
    std::vector<std::string> firstOptions;
    // The tester that comes back on tester 0's port (ReplugSending).
    std::unique_ptr<Sim> replacement;
    for (size_t i = 0; i < testers; ++i) {
        std::vector<std::string> options = s.sim;
        if (i > 0 && !everyTester) {
            // The bystander: a tester that answers promptly and lingers.
            options = {"--rate", "5760", "--linger-ms", "60000"};
        }
        options.insert(options.end(), {"--save", dir / ("got" + std::to_string(i))});
        std::string port = sys.port(i, options);
        if (port.empty() && i == 0 && s.fault == Fault::ReplugSending) {
            // A name that stays while the device behind it changes, as a by-id link does.
            port = dir / "tester0";
            options.insert(options.end(), {"--link", port});
        }
        if (i == 0) {
            firstOptions = options;
        }
        sims.push_back(std::make_unique<Sim>(options));
        ASSERT_FALSE(sims.back()->Port().empty()) << "the simulator did not start";
        ports.push_back(port.empty() ? sims.back()->Port() : port);
    }

    std::vector<std::string> args;
    for (const auto& port : ports) {
        args.insert(args.end(), {"--port", port});
    }
    args.insert(args.end(), {"--file", file});
    args.insert(args.end(), s.args.begin(), s.args.end());
    args.insert(args.end(), {"--report", sys.fileArg(dir / "report.jsonl")});
    const std::string logDir = dir / "logs";
    if (batch) {
        args.insert(args.end(), {"--log-dir", sys.fileArg(logDir)});
    }
    LaunchPlan plan;
    plan.argv = sys.command(args);
    plan.env = {{"WINEDEBUG", "-all"}, {"TERM", "xterm"}};
    plan.stdoutFile = dir / "stdout";
    plan.stderrFile = dir / "stderr";
    std::unique_ptr<StoppedTerminal> terminal;
    std::unique_ptr<StalledPipe> pipe;
    struct Fd {
        int fd = -1;
        void reset(int f) { fd = f; }
        ~Fd() {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    } gone;
    switch (s.fault) {
        case Fault::ClosedStdinStderr:
            plan.closed = {0, 2};
            break;
        case Fault::ClosedStdinStdout:
            plan.closed = {0, 1};
            break;
        case Fault::StoppedTerminal:
            terminal = std::make_unique<StoppedTerminal>();
            ASSERT_TRUE(terminal->ok());
            plan.stderrFile = terminal->SlavePath();
            plan.stdinFile = terminal->SlavePath();
            break;
        case Fault::StalledPipe:
            pipe = std::make_unique<StalledPipe>(dir / "stderr.fifo");
            ASSERT_TRUE(pipe->ok());
            plan.stderrFile = pipe->Path();
            break;
        case Fault::StderrGone: {
            int ends[2] = {-1, -1};
            ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
            ::close(ends[0]);
            gone.reset(ends[1]);
            plan.stderrFd = ends[1];
            break;
        }
        case Fault::UnwritableLog: {
            // Tester 0's log is already past the size the run may write: every write to it
            // fails (as on a full disk), while the other files stay far below the limit.
            ASSERT_EQ(::mkdir(logDir.c_str(), 0755), 0);
            WriteWholeFile(sys.logPath(logDir, ports[0]), std::string(96 * 1024, '#'));
            plan.argv.insert(plan.argv.begin(), {"prlimit", "--fsize=65536", "--"});
            break;
        }
        default:
            break;
    }
    // prlimit is found on the PATH; everything else is named by its full path.
    if (plan.argv[0] == "prlimit") {
        plan.argv[0] = "/usr/bin/prlimit";
    }
    Child tool(plan);
    ASSERT_TRUE(tool.Started());

    Clock::time_point faultAt{};
    double cpuAtFault = 0.0;
    switch (s.fault) {
        case Fault::HangupSending:
            ASSERT_TRUE(sims[0]->WaitEvent("RECEIVING")) << ReadWholeFile(dir / "stderr");
            sims[0]->Command("hangup");
            faultAt = Clock::now();
            cpuAtFault = tool.CpuSoFarMs();
            break;
        case Fault::HangupWaiting:
            ASSERT_TRUE(sims[0]->WaitEvent("BANNER"));
            // The banner has reached the program's port: it has opened it.
            ASSERT_TRUE(WaitUntil([&] {
                return ReadWholeFile(dir / "stdout").find("Successfully opened") !=
                           std::string::npos ||
                       (batch &&
                        ReadWholeFile(sys.logPath(logDir, ports[0])).find("Successfully opened") !=
                            std::string::npos);
            }));
            sims[0]->Command("hangup");
            break;
        case Fault::RestartSending:
            ASSERT_TRUE(sims[0]->WaitEvent("RECEIVING"));
            sims[0]->Command("restart");
            ASSERT_TRUE(sims[0]->WaitEvent("RESTART"));
            break;
        case Fault::SighupSending:
            for (auto& sim : sims) {
                ASSERT_TRUE(sim->WaitEvent("RECEIVING"));
            }
            tool.Signal(SIGHUP);
            break;
        case Fault::SigintAfterReceived:
            for (auto& sim : sims) {
                ASSERT_TRUE(sim->WaitEvent("RECEIVED"));
            }
            tool.Signal(SIGINT);
            break;
        case Fault::SayWhileReceiving:
            ASSERT_TRUE(sims[0]->WaitEvent("RECEIVING"));
            sims[0]->Command(std::string("say ") + s.say);
            break;
        case Fault::ReplugSending: {
            ASSERT_TRUE(sims[0]->WaitEvent("RECEIVING")) << ReadWholeFile(dir / "stderr");
            sims[0]->Command("hangup");
            ASSERT_TRUE(sims[0]->WaitEvent("HANGUP"));
            // The next tester, on a line of its own behind the same name.
            std::vector<std::string> options = firstOptions;
            *(std::find(options.begin(), options.end(), "--save") + 1) = dir / "got0-next";
            replacement = std::make_unique<Sim>(options);
            ASSERT_TRUE(replacement->ok()) << "the second simulator did not start";
            ASSERT_TRUE(replacement->WaitEvent("RECEIVED"))
                << replacement->Transcript() << ReadWholeFile(dir / "stderr");
            // Every tester has had its file, and the program has said so: the repeating run is
            // ended the usual way.
            ASSERT_TRUE(WaitUntil([&] {
                return CountOf(ReadWholeFile(dir / "stderr"), "Sent '") == testers;
            })) << ReadWholeFile(dir / "stderr");
            tool.Signal(SIGINT);
            break;
        }
        default:
            break;
    }

    const auto status = tool.WaitExit(std::chrono::seconds(120));
    const std::string out = ReadWholeFile(dir / "stdout");
    const std::string err = ReadWholeFile(dir / "stderr");
    ASSERT_TRUE(status.has_value()) << "the run did not end\n" << err;
    EXPECT_EQ(*status, s.status) << err << out;
    if (s.fault == Fault::HangupSending && !batch) {
        // The program stays a while to show what the tester still says, then ends. From the loss
        // to its end it uses 10 to 30 ms of CPU (on Linux and under Wine alike); a lost port read
        // in a tight loop meanwhile would use most of that time (less than all of it under Wine:
        // part of each failed read is spent in the Wine server, which is not the program's
        // child). The CPU is counted from the loss: the program's start costs a few hundred ms
        // under Wine and says nothing about the loop.
        const double afterMs = MsSince(faultAt);
        EXPECT_LT(tool.CpuMs() - cpuAtFault, 60.0 + afterMs / 4)
            << "ran " << afterMs << " ms after the loss; " << tool.CpuMs() << " ms in all";
    }

    if (replacement) {
        sims[0]->Command("quit");
        sims[0]->WaitExit();
        ExpectGot(ReadWholeFile(dir / "got0"), text, Got::Prefix, "the unplugged tester");
        ExpectReplugRecords(ReadWholeFile(dir / "report.jsonl"), ports[0], text,
                            ReadWholeFile(dir / "got0").size());
        const std::string err = ReadWholeFile(dir / "stderr");
        EXPECT_EQ(CountOf(err, ports[0] + " was lost; waiting for it to come back."), 1u) << err;
        EXPECT_EQ(CountOf(err, ports[0] + " is back; waiting for the tester."), 1u) << err;
        EXPECT_EQ(CountOf(err, "did not open within"), 0u) << err;
    }
    for (size_t i = 0; i < testers; ++i) {
        const bool faulty = i == 0 || everyTester;
        const Got got = faulty ? s.got : Got::All;
        // Tester 0's port is judged by the tester that came back.
        Sim& sim = i == 0 && replacement ? *replacement : *sims[i];
        const std::string saved = i == 0 && replacement ? "got0-next" : "got" + std::to_string(i);
        if (got == Got::All) {
            EXPECT_TRUE(sim.Find("RECEIVED") || sim.WaitEvent("RECEIVED")) << sim.Transcript();
        } else {
            sim.Command("quit");
            sim.WaitExit();
        }
        SCOPED_TRACE("tester " + std::to_string(i) + " on " + ports[i]);
        ExpectGot(ReadWholeFile(dir / saved), text, got, ports[i]);
        const std::string outcome = faulty ? s.outcome : s.bystander;
        // A bystander stopped while it waited for its next tester says so.
        const std::string reason = faulty                     ? s.reason
                                   : outcome == "interrupted" ? "Interrupted"
                                                              : "";
        // With --repeat the run ends interrupted, after the whole file went out.
        const bool wentOutWhole = WentOutWhole(outcome) || (Repeats(s) && got == Got::All);
        // A sent row shows no reason (a cut transfer before it is in the log); a log that could
        // not be written is the exception.
        const bool rowReason = (outcome != "sent" && outcome != "accepted") ||
                               (faulty && s.fault == Fault::UnwritableLog);
        if (batch) {
            if (s.fault != Fault::ClosedStdinStdout) {
                ExpectSummaryRow(
                    out, ports[i], outcome, faulty ? s.sent : 1,
                    faulty ? s.failed
                           : (WentOutWhole(outcome) && outcome != "sent" && outcome != "accepted"),
                    got, s.bytes, rowReason ? reason : "",
                    *s.unit == '\0' ? "" : (faulty ? s.unit : "-"));
            }
            const std::string log = ReadWholeFile(sys.logPath(logDir, ports[i]));
            if (s.fault != Fault::UnwritableLog || i != 0) {
                EXPECT_NE(log.find(reason), std::string::npos) << log;
                const std::string sentLine =
                    "KORVALIN: Sent '" + file + "': " + std::to_string(s.bytes) + " bytes.";
                EXPECT_EQ(log.find(sentLine) != std::string::npos, wentOutWhole) << log;
            }
        }
    }
    ExpectRecordsAgreeWithTheirReasons(ReadWholeFile(dir / "report.jsonl"));
    {
        std::map<std::string, std::string> units;
        for (size_t i = 0; i < testers; ++i) {
            units[ports[i]] = i == 0 || everyTester ? s.unit : "";
        }
        const auto named = std::find(s.args.begin(), s.args.end(), "--station-name");
        const std::string station =
            named != s.args.end() && named + 1 != s.args.end() ? *(named + 1) : sys.hostName;
        ExpectRecordIdentities(ReadWholeFile(dir / "report.jsonl"), station, units);
    }
    // Nothing the testers said reaches a terminal's control: the pane's output and the summary
    // never carry control bytes other than line ends and backspace, nor do the messages.
    for (const char c : {'\x1b', '\x07'}) {
        EXPECT_EQ(out.find(c), std::string::npos) << out;
        EXPECT_EQ(err.find(c), std::string::npos) << err;
    }
    if (s.fault == Fault::ClosedStdinStderr || s.fault == Fault::StoppedTerminal ||
        s.fault == Fault::StalledPipe || s.fault == Fault::StderrGone) {
        return;  // nothing to read on standard error
    }
    const std::string sent = "Sent '" + file + "': " + std::to_string(s.bytes) + " bytes.";
    const bool wentOutWhole = WentOutWhole(s.outcome) || (Repeats(s) && s.got == Got::All);
    if (!batch) {
        if (wentOutWhole) {
            EXPECT_NE(err.find("KORVALIN: " + sent), std::string::npos) << err;
        } else {
            EXPECT_EQ(err.find("KORVALIN: Sent"), std::string::npos) << err;
        }
        if (s.fault != Fault::ClosedStdinStdout && s.fault != Fault::HangupWaiting) {
            // The tester's own output is what stdout carries.
            EXPECT_NE(out.find("Ready to receive update file....\r\n"), std::string::npos) << out;
        }
    } else if (wentOutWhole) {
        EXPECT_NE(err.find("KORVALIN: " + ports[0] + ": " + sent), std::string::npos) << err;
    }
    // Told once, however long the program stayed afterwards.
    if (*s.reason != '\0') {
        EXPECT_EQ(CountOf(err, s.reason), 1u) << err;
    }
    EXPECT_LE(CountOf(err, "KORVALIN: Lost the connection on"), 1u) << err;
}

}  // namespace korv::test
