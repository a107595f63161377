// Several simulated testers updated by one console run: each receives the file byte for byte,
// one tester's trouble leaves the others alone, and the summary and exit status tell which port
// got what.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "Scenarios.h"
#include "Texts.h"
#include "console/BatchRun.h"
#include "hash/Sha256.h"
#include "platform/Wait.h"

namespace korv {
namespace {

using test::Child;
using test::Clock;
using test::LaunchPlan;
using test::ReadWholeFile;
using test::Sim;
using test::SummaryLine;
using test::TempDir;
using test::UpdateText;
using test::WriteWholeFile;

class BatchRun : public ::testing::Test {
  protected:
    BatchRun() {
        ::mkdir((m_dir / "sysfs").c_str(), 0755);
        ::mkdir((m_dir / "config").c_str(), 0755);
        ::mkdir((m_dir / "work").c_str(), 0755);
    }

    // Starts `korvalin --console <args>` in m_dir/work.
    std::unique_ptr<Child> Start(std::vector<std::string> args) {
        LaunchPlan plan;
        plan.argv = {KORVALIN_BIN, "--console"};
        for (auto& a : args) {
            plan.argv.push_back(std::move(a));
        }
        plan.env = {{"XDG_CONFIG_HOME", m_dir / "config"},
                    {"HOME", m_dir.path()},
                    {"KORV_SYSFS_TTY", m_dir / "sysfs"}};
        plan.stdoutFile = m_dir / "stdout";
        plan.stderrFile = m_dir / "stderr";
        plan.cwd = m_dir / "work";
        auto child = std::make_unique<Child>(plan);
        EXPECT_TRUE(child->Started());
        return child;
    }

    // count simulated testers started with options, each saving what it receives (Got(i) for
    // the i-th of m_sims).
    void StartTesters(size_t count, const std::vector<std::string>& options) {
        for (size_t i = 0; i < count; ++i) {
            std::vector<std::string> o = options;
            o.insert(o.end(), {"--save", m_dir / ("got" + std::to_string(m_sims.size()))});
            m_sims.push_back(std::make_unique<Sim>(o));
            ASSERT_FALSE(m_sims.back()->Port().empty());
        }
    }
    std::vector<std::string> PortArgs() const {
        std::vector<std::string> args;
        for (const auto& sim : m_sims) {
            args.insert(args.end(), {"--port", sim->Port()});
        }
        return args;
    }
    std::string Got(size_t i) { return ReadWholeFile(m_dir / ("got" + std::to_string(i))); }
    std::string Out() { return ReadWholeFile(m_dir / "stdout"); }
    std::string Err() { return ReadWholeFile(m_dir / "stderr"); }
    std::string MakeFile(const std::string& text) {
        WriteWholeFile(m_dir / "update.txt", text);
        return m_dir / "update.txt";
    }
    // The log of a pty port /dev/pts/N.
    std::string Log(const std::string& dir, const std::string& port) {
        return ReadWholeFile(dir + "/pts-" + port.substr(port.rfind('/') + 1) + ".log");
    }

    TempDir m_dir;
    std::vector<std::unique_ptr<Sim>> m_sims;
};

// Whether text names the port: /dev/pts/1 is not named by /dev/pts/10.
bool NamesPort(const std::string& text, const std::string& port) {
    for (size_t at = text.find(port); at != std::string::npos; at = text.find(port, at + 1)) {
        const size_t end = at + port.size();
        if (end == text.size() || std::isdigit(static_cast<unsigned char>(text[end])) == 0) {
            return true;
        }
    }
    return false;
}

// The records of a report by port (the last one of each).
std::map<std::string, nlohmann::json> Records(const std::string& text) {
    std::map<std::string, nlohmann::json> records;
    for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
        const auto j = nlohmann::json::parse(text.substr(at, nl - at));
        records[j["port"]] = j;
    }
    return records;
}

std::string Sha256(const std::string& text) {
    CSha256 hash;
    hash.Update(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    return CSha256::Hex(hash.Final());
}

TEST_F(BatchRun, FourTestersAtLineRateEachGetTheFileByteForByte) {
    // Several pty buffers long, so the four transfers overlap for seconds at 5,760 bytes/s.
    const std::string text = UpdateText(60000);
    const std::string file = MakeFile(text);
    StartTesters(
        4, {"--rate", "5760", "--expect", std::to_string(text.size()), "--linger-ms", "60000"});
    auto args = PortArgs();
    args.insert(args.end(), {"--file", file});
    auto tool = Start(args);  // no --log-dir: the logs go to ./korvalin-logs

    // All four are receiving at once before any of them has finished.
    for (auto& sim : m_sims) {
        ASSERT_TRUE(sim->WaitEvent("RECEIVING")) << Err();
    }
    for (auto& sim : m_sims) {
        EXPECT_FALSE(sim->Find("RECEIVED").has_value());
    }
    EXPECT_EQ(tool->WaitExit(std::chrono::seconds(120)), 0) << Err();
    const std::string summary = Out();
    for (size_t i = 0; i < m_sims.size(); ++i) {
        const auto received = m_sims[i]->WaitEvent("RECEIVED");
        ASSERT_TRUE(received);
        EXPECT_EQ(Got(i), text) << "tester " << i;
        const std::string port = m_sims[i]->Port();
        const std::string line = SummaryLine(summary, port);
        EXPECT_NE(line.find(" sent "), std::string::npos) << summary;
        EXPECT_NE(line.find("60000/60000"), std::string::npos) << summary;
        EXPECT_NE(Err().find("KORVALIN: " + port + ": Sent '" + file + "': 60000 bytes."),
                  std::string::npos)
            << Err();
        // Each tester's own output, with its answer, is in its port's log and nowhere else.
        const std::string log = Log(m_dir / "work/korvalin-logs", port);
        EXPECT_NE(log.find("Successfully opened " + port + "."), std::string::npos) << log;
        // (The tester's verdict may come after the 3 s of quiet that end the wait for it: a
        // pseudo-terminal takes some 17 KiB ahead of its reader.)
        EXPECT_NE(log.find("Ready to receive update file....\r\n"), std::string::npos) << log;
        EXPECT_NE(log.find("KORVALIN: Sent '" + file + "': 60000 bytes."), std::string::npos)
            << log;
        for (size_t j = 0; j < m_sims.size(); ++j) {
            if (j != i) {
                EXPECT_FALSE(NamesPort(log, m_sims[j]->Port())) << log;
            }
        }
    }
    EXPECT_EQ(summary.find("Update received"), std::string::npos) << "tester output on stdout";
}

TEST_F(BatchRun, OnePortsTroubleLeavesTheOthersAloneAndTheVerdictSaysWhich) {
    const std::string text = UpdateText(60000);
    const std::string file = MakeFile(text);
    StartTesters(
        3, {"--rate", "5760", "--expect", std::to_string(text.size()), "--linger-ms", "60000"});
    auto args = PortArgs();
    args.insert(args.end(), {"--port", "/dev/korvalin-no-such-port", "--file", file, "--log-dir",
                             m_dir / "logs"});
    auto tool = Start(args);
    for (auto& sim : m_sims) {
        ASSERT_TRUE(sim->WaitEvent("RECEIVING")) << Err();
    }
    m_sims[1]->Command("hangup");  // this tester's adapter is unplugged mid-transfer

    // The transfer cut short is the worst outcome: 4.
    EXPECT_EQ(tool->WaitExit(std::chrono::seconds(120)), 4) << Err();
    const std::string summary = Out();
    for (size_t i : {0u, 2u}) {
        ASSERT_TRUE(m_sims[i]->WaitEvent("RECEIVED"));
        EXPECT_EQ(Got(i), text) << "tester " << i;
        EXPECT_NE(SummaryLine(summary, m_sims[i]->Port()).find(" sent "), std::string::npos)
            << summary;
    }
    const std::string lost = SummaryLine(summary, m_sims[1]->Port());
    EXPECT_NE(lost.find(" port lost "), std::string::npos) << summary;
    EXPECT_NE(lost.find("did not complete"), std::string::npos) << summary;
    const std::string missing = SummaryLine(summary, "/dev/korvalin-no-such-port");
    EXPECT_NE(missing.find(" not opened "), std::string::npos) << summary;
    EXPECT_NE(missing.find("Failed to open /dev/korvalin-no-such-port : No such file"),
              std::string::npos)
        << summary;
    EXPECT_NE(ReadWholeFile(m_dir / "logs/korvalin-no-such-port.log").find("Failed to open"),
              std::string::npos);
    // The record of the cut transfer names exactly the bytes that went out.
    auto records = Records(ReadWholeFile(m_dir / "logs/report.jsonl"));
    const auto& cut = records[m_sims[1]->Port()];
    EXPECT_EQ(cut["outcome"], "port_lost") << cut;
    EXPECT_LT(cut["bytes_sent"], 60000) << cut;
    EXPECT_EQ(cut["sha256"], Sha256(text.substr(0, cut["bytes_sent"]))) << cut;
    EXPECT_EQ(records[m_sims[0]->Port()]["outcome"], "sent");
    EXPECT_EQ(records["/dev/korvalin-no-such-port"]["outcome"], "not_opened");

    // Without the hang-up, the port that could not be opened is the worst: 1.
    m_sims.clear();
    StartTesters(1, {"--rate", "5760", "--expect", std::to_string(text.size())});
    EXPECT_EQ(Start({"--port", m_sims[0]->Port(), "--port", "/dev/korvalin-no-such-port", "--file",
                     file, "--log-dir", m_dir / "logs"})
                  ->WaitExit(),
              1)
        << Err();
    EXPECT_EQ(Got(0), text);
}

TEST_F(BatchRun, CtrlCEndsEveryTransferAtOnce) {
    // Minutes on the line each: only the interruption can end them.
    const std::string text = UpdateText(1 << 20);
    const std::string file = MakeFile(text);
    StartTesters(4, {"--rate", "5760", "--linger-ms", "60000"});
    auto args = PortArgs();
    args.insert(args.end(), {"--file", file, "--log-dir", m_dir / "logs"});
    auto tool = Start(args);
    for (auto& sim : m_sims) {
        ASSERT_TRUE(sim->WaitEvent("RECEIVING")) << Err();
    }
    tool->Signal(SIGINT);
    EXPECT_EQ(tool->WaitExit(std::chrono::seconds(20)), 130) << Err();
    EXPECT_NE(Err().find("KORVALIN: Interrupted."), std::string::npos) << Err();
    const std::string summary = Out();
    for (size_t i = 0; i < m_sims.size(); ++i) {
        const std::string line = SummaryLine(summary, m_sims[i]->Port());
        EXPECT_NE(line.find(" interrupted "), std::string::npos) << summary;
        // Every port was closed: its tester's line goes quiet, and what it got is a true prefix.
        m_sims[i]->Command("quit");
        ASSERT_TRUE(m_sims[i]->WaitEvent("EXIT"));
        const std::string got = Got(i);
        EXPECT_LT(got.size(), text.size() / 4);
        EXPECT_EQ(got, text.substr(0, got.size())) << "tester " << i;
        const auto r = Records(ReadWholeFile(m_dir / "logs/report.jsonl"))[m_sims[i]->Port()];
        EXPECT_EQ(r["outcome"], "aborted") << r;
        EXPECT_LE(got.size(), r["bytes_sent"]) << r;
        EXPECT_EQ(r["sha256"], Sha256(text.substr(0, r["bytes_sent"]))) << r;
    }
}

// A network serial server that takes connections and never says a word: each open waits for the
// negotiation until it gives up (seconds). Those waits hold up neither a local tester nor Ctrl+C.
TEST_F(BatchRun, OpensThatHangHoldUpNoOtherPortAndCtrlCEndsThem) {
    // Three servers on loopback that listen and never answer.
    std::vector<int> servers;
    std::vector<std::string> silent;
    for (int i = 0; i < 3; ++i) {
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(server, 0);
        servers.push_back(server);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(::listen(server, 4), 0);
        ASSERT_EQ(::getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len), 0);
        silent.push_back("rfc2217://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)));
    }

    const std::string text = UpdateText(2000);
    const std::string file = MakeFile(text);
    StartTesters(
        1, {"--rate", "5760", "--expect", std::to_string(text.size()), "--linger-ms", "60000"});
    // The local tester is listed first: before, its prompt waited for every open after it.
    std::vector<std::string> args = PortArgs();
    for (const auto& port : silent) {
        args.insert(args.end(), {"--port", port});
    }
    args.insert(args.end(), {"--file", file, "--log-dir", m_dir / "logs"});
    auto tool = Start(args);
    ASSERT_TRUE(m_sims[0]->WaitEvent("RECEIVED")) << Err();
    ASSERT_TRUE(test::WaitUntil([&] { return Err().find(": Sent '") != std::string::npos; }))
        << Err();
    // The local tester had its whole file while the network opens were still waiting.
    EXPECT_EQ(Err().find("Failed to open rfc2217"), std::string::npos) << Err();
    tool->Signal(SIGINT);
    EXPECT_EQ(tool->WaitExit(std::chrono::seconds(20)), 130) << Err();
    for (const int server : servers) {
        ::close(server);
    }
    EXPECT_EQ(Got(0), text);
    const std::string summary = Out();
    EXPECT_NE(SummaryLine(summary, m_sims[0]->Port()).find(" sent "), std::string::npos) << summary;
    for (const auto& port : silent) {
        const std::string line = SummaryLine(summary, port);
        EXPECT_NE(line.find(" interrupted "), std::string::npos) << summary;
        EXPECT_NE(line.find("Interrupted before the port was opened."), std::string::npos)
            << summary;
    }
}

TEST_F(BatchRun, RepeatUpdatesTheNextTesterOnEachPort) {
    const std::string text = UpdateText(5000);
    const std::string file = MakeFile(text);
    StartTesters(2, {"--rate", "5760", "--repeat", "2", "--between-ms", "100", "--expect",
                     std::to_string(text.size()), "--linger-ms", "60000"});
    auto args = PortArgs();
    args.insert(args.end(), {"--repeat", "--file", file, "--log-dir", m_dir / "logs"});
    auto tool = Start(args);
    for (auto& sim : m_sims) {
        for (int n = 0; n < 2; ++n) {
            const auto received = sim->WaitEvent("RECEIVED");
            ASSERT_TRUE(received) << "update " << n << "\n" << Err();
            EXPECT_NE(received->find("RECEIVED 5000 bytes"), std::string::npos) << *received;
            EXPECT_NE(received->find("header ok"), std::string::npos) << *received;
        }
    }
    // The table counts both updates on both ports before the run is ended.
    const auto deadline = Clock::now() + test::kDeadline;
    auto sentTwice = [&] {
        const std::string err = Err();
        size_t count = 0;
        for (size_t at = 0; (at = err.find(": Sent '", at)) != std::string::npos; ++at) {
            ++count;
        }
        return count == 4;
    };
    while (!sentTwice() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    tool->Signal(SIGTERM);
    EXPECT_EQ(tool->WaitExit(), 130);
    const std::string summary = Out();
    for (auto& sim : m_sims) {
        // Two sent, none failed; ended while waiting for a third tester.
        test::ExpectSummaryRow(summary, sim->Port(), "interrupted", 2, 0, test::Got::All,
                               text.size(), "Interrupted while waiting for the tester's prompt.");
    }
}

// The batch's wait fails while a transfer runs: the error is told and the transfers end as failed
// with it, not as interrupted.
TEST_F(BatchRun, AFailedWaitEndsTheTransfersAsFailedNotInterrupted) {
    const std::string text = UpdateText(60000);
    const std::string file = MakeFile(text);
    StartTesters(1, {"--rate", "5760", "--linger-ms", "60000"});
    ConsoleOptions options;
    options.ports = {m_sims[0]->Port()};
    options.file = file;
    options.logDir = m_dir / "logs";
    auto wait = [&](const WaitHandle* handles, size_t count, int timeoutMs, int* err) {
        m_sims[0]->Poll();
        if (m_sims[0]->Find("RECEIVING")) {
            *err = ENOMEM;
            return WAIT_RESULT_FAILED;
        }
        return WaitForAny(handles, count, timeoutMs < 0 || timeoutMs > 20 ? 20 : timeoutMs, err);
    };
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ASSERT_TRUE(out != nullptr && err != nullptr);
    int status = -1;
    {
        CInterrupt interrupt;
        status = korv::RunBatch(options, interrupt, out, err, false, wait);
    }
    auto contents = [](std::FILE* f) {
        std::string text(static_cast<size_t>(std::ftell(f)), '\0');
        std::rewind(f);
        text.resize(std::fread(text.data(), 1, text.size(), f));
        std::fclose(f);
        return text;
    };
    const std::string summary = contents(out);
    const std::string messages = contents(err);
    EXPECT_EQ(status, 4) << messages;
    EXPECT_NE(messages.find("Waiting for the testers failed: "), std::string::npos) << messages;
    EXPECT_EQ(messages.find("Interrupted"), std::string::npos) << messages;
    test::ExpectSummaryRow(summary, m_sims[0]->Port(), "failed", 0, 1, test::Got::Prefix,
                           text.size(), "Stopped: waiting for the testers failed after");
}

// A terminal that cannot move the cursor (TERM=dumb) gets the messages without the table.
TEST_F(BatchRun, ADumbTerminalGetsNoTable) {
    const std::string file = MakeFile(UpdateText(3000));
    const char* term = std::getenv("TERM");
    const std::string saved = term != nullptr ? term : "";
    for (const std::string kind : {"dumb", "xterm"}) {
        SCOPED_TRACE(kind);
        m_sims.clear();
        StartTesters(1, {"--rate", "5760"});
        ConsoleOptions options;
        options.ports = {m_sims[0]->Port()};
        options.file = file;
        options.logDir = m_dir / "logs";
        ::setenv("TERM", kind.c_str(), 1);
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        int status = -1;
        {
            CInterrupt interrupt;
            status = korv::RunBatch(options, interrupt, out, err, true);
        }
        EXPECT_EQ(status, 0);
        std::string text(static_cast<size_t>(std::ftell(err)), '\0');
        std::rewind(err);
        text.resize(std::fread(text.data(), 1, text.size(), err));
        std::fclose(out);
        std::fclose(err);
        EXPECT_NE(text.find(": Sent '"), std::string::npos) << text;
        EXPECT_EQ(text.find("\033[") != std::string::npos, kind != "dumb") << text;
    }
    if (term != nullptr) {
        ::setenv("TERM", saved.c_str(), 1);
    } else {
        ::unsetenv("TERM");
    }
}

// A terminal an operator watches, through tmux: the table is redrawn in place (each port has
// exactly one line on the screen however often it changes) and the run ends with the summary.
class TmuxScreen {
  public:
    explicit TmuxScreen(const std::string& socket) : m_socket(socket) {}
    ~TmuxScreen() { Tmux("kill-server"); }
    bool Start(const std::string& command) {
        return Tmux("new-session -d -x 160 -y 40 '" + command + "'") == 0;
    }
    std::string Capture() {
        std::string text;
        if (std::FILE* p = ::popen(("tmux -S '" + m_socket + "' capture-pane -p").c_str(), "r")) {
            char buf[4096];
            for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) {
                text.append(buf, n);
            }
            ::pclose(p);
        }
        return text;
    }
    // Captures until pred holds for the screen; the last capture is kept in Last().
    template <class Pred>
    bool WaitFor(Pred pred) {
        const auto deadline = Clock::now() + test::kDeadline;
        while (Clock::now() < deadline) {
            m_last = Capture();
            if (pred(m_last)) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    const std::string& Last() const { return m_last; }

  private:
    int Tmux(const std::string& args) {
        return std::system(("tmux -S '" + m_socket + "' " + args + " >/dev/null 2>&1").c_str());
    }
    std::string m_socket;
    std::string m_last;
};

// Lines of screen that start with prefix.
std::vector<std::string> LinesStarting(const std::string& screen, const std::string& prefix) {
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = screen.find('\n', at)) != std::string::npos; at = nl + 1) {
        if (screen.compare(at, prefix.size(), prefix) == 0) {
            lines.push_back(screen.substr(at, nl - at));
        }
    }
    return lines;
}

TEST_F(BatchRun, OnATerminalTheTableIsRedrawnInPlaceAndEndsWithTheSummary) {
    if (std::system("tmux -V >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "tmux is not installed";
    }
    const std::string text = UpdateText(60000);
    const std::string file = MakeFile(text);
    StartTesters(
        2, {"--rate", "5760", "--expect", std::to_string(text.size()), "--linger-ms", "60000"});
    const std::string a = m_sims[0]->Port() + " ";
    const std::string b = m_sims[1]->Port() + " ";
    TmuxScreen screen(m_dir / "tmux.sock");
    ASSERT_TRUE(screen.Start("env XDG_CONFIG_HOME=" + (m_dir / "config") + " HOME=" + m_dir.path() +
                             " " + KORVALIN_BIN + " --console --port " + m_sims[0]->Port() +
                             " --port " + m_sims[1]->Port() + " --file " + file + " --log-dir " +
                             (m_dir / "logs") + "; echo EXIT=$?; sleep 600"));

    auto progress = [&](const std::string& screen) {
        const auto lines = LinesStarting(screen, a);
        return lines.size() == 1 && lines[0].find("% ") != std::string::npos ? lines[0] : "";
    };
    ASSERT_TRUE(screen.WaitFor([&](const std::string& s) { return !progress(s).empty(); }))
        << screen.Last();
    const std::string first = progress(screen.Last());
    // The figures move on, on the same line: one line per port, never a scrolled copy.
    ASSERT_TRUE(screen.WaitFor([&](const std::string& s) {
        const std::string now = progress(s);
        return !now.empty() && now != first;
    })) << screen.Last();
    EXPECT_EQ(LinesStarting(screen.Last(), b).size(), 1u) << screen.Last();
    EXPECT_NE(LinesStarting(screen.Last(), b)[0].find("sending"), std::string::npos)
        << screen.Last();

    ASSERT_TRUE(screen.WaitFor([](const std::string& s) {
        return s.find("EXIT=") != std::string::npos;
    })) << screen.Last();
    const std::string end = screen.Last();
    EXPECT_NE(end.find("EXIT=0"), std::string::npos) << end;
    // The table has been taken down; the summary is what is left of each port.
    EXPECT_EQ(LinesStarting(end, "PORT ").size(), 1u) << end;
    for (const auto& port : {a, b}) {
        const auto lines = LinesStarting(end, port);
        ASSERT_EQ(lines.size(), 1u) << end;
        EXPECT_NE(lines[0].find(" sent "), std::string::npos) << end;
        EXPECT_NE(lines[0].find("60000/60000"), std::string::npos) << end;
    }
    EXPECT_EQ(end.find("sending"), std::string::npos) << end;
}

TEST_F(BatchRun, TheReportHoldsWhatEachTesterSawAndARetryTakesTheFailedOnly) {
    const std::string text = UpdateText(3000);
    const std::string file = MakeFile(text);
    const char* verdicts[] = {"accept", "reject", "silent", "accept"};
    for (size_t i = 0; i < 4; ++i) {
        StartTesters(1, {"--rate", "5760", "--verdict", verdicts[i], "--prompt",
                         i == 3 ? "none" : "ready", "--linger-ms", "60000"});
    }
    auto args = PortArgs();
    args.insert(args.end(),
                {"--port", "/dev/korvalin-no-such-port", "--file", file, "--log-dir",
                 m_dir / "logs", "--expect", "^Update received: .* header ok$", "--reject",
                 "rejected", "--verdict-timeout", "3", "--prompt-timeout", "3"});
    // The silent tester's wait ends after the 3 s asked for: a run still going after 45 s has
    // waited the default 60 s instead.
    EXPECT_EQ(Start(args)->WaitExit(std::chrono::seconds(45)), 5) << Err();
    auto records = Records(ReadWholeFile(m_dir / "logs/report.jsonl"));
    ASSERT_EQ(records.size(), 5u) << ReadWholeFile(m_dir / "logs/report.jsonl");
    const char* outcomes[] = {"accepted", "rejected", "no_verdict", "no_prompt"};
    for (size_t i = 0; i < 4; ++i) {
        const auto& r = records[m_sims[i]->Port()];
        EXPECT_EQ(r["outcome"], outcomes[i]) << r;
        EXPECT_EQ(r["device"], m_sims[i]->Port());
        const std::string port = m_sims[i]->Port();
        EXPECT_EQ(r["log"], m_dir / ("logs/pts-" + port.substr(port.rfind('/') + 1) + ".log"));
        // Each transfer's header in the log carries the local time.
        EXPECT_EQ(std::regex_search(ReadWholeFile(r["log"]),
                                    std::regex(R"(\n\d{4}-\d\d-\d\d \d\d:\d\d:\d\d KORVALIN: )"
                                               R"(Sending '.*' \(3000 bytes\))")),
                  i != 3);
        EXPECT_NE(r["tester"].dump().find("Tester boot ROM 2.1"), std::string::npos) << r;
        if (i == 3) {
            EXPECT_EQ(r["bytes_sent"], 0);
            EXPECT_TRUE(r["sha256"].is_null() && r["file_bytes"].is_null()) << r;
            continue;
        }
        // What the tester counted, and the checksum it printed, are in the record.
        const auto received = m_sims[i]->WaitEvent("RECEIVED 3000 bytes crc32 ");
        ASSERT_TRUE(received) << m_sims[i]->Transcript();
        EXPECT_EQ(r["bytes_sent"], 3000);
        EXPECT_EQ(r["file_bytes"], 3000);
        EXPECT_EQ(r["sha256"], Sha256(text));
        EXPECT_EQ(r["tester"].back(), "Ready to receive update file....");
        const std::string crc = received->substr(received->find("crc32 ") + 6, 8);
        EXPECT_EQ(r["verdict"].dump().find(crc) != std::string::npos, i != 2) << r;
        EXPECT_TRUE(std::regex_search(r["ended"].get<std::string>(),
                                      std::regex(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$)")));
    }
    EXPECT_EQ(records["/dev/korvalin-no-such-port"]["outcome"], "not_opened");
    EXPECT_NE(Err().find("KORVALIN: Verdict: 5 testers: 1 accepted, 1 rejected, 1 no verdict, "
                         "1 no prompt, 1 not opened; exit status 5."),
              std::string::npos)
        << Err();
    EXPECT_TRUE(
        std::regex_search(Err(), std::regex(R"(\n\d{4}-\d\d-\d\d \d\d:\d\d:\d\d KORVALIN: )")))
        << Err();

    // The retry opens the four failed ports and leaves the tester that accepted alone; none
    // prompts again, so each ends on its own.
    EXPECT_EQ(Start({"--retry-failed", m_dir / "logs/report.jsonl", "--log-dir", m_dir / "logs2",
                     "--prompt-timeout", "1"})
                  ->WaitExit(std::chrono::seconds(60)),
              4)
        << Err();
    records = Records(ReadWholeFile(m_dir / "logs2/report.jsonl"));
    EXPECT_EQ(records.size(), 4u);
    EXPECT_EQ(records.count(m_sims[0]->Port()), 0u);
    EXPECT_EQ(records[m_sims[1]->Port()]["file"], file);
    EXPECT_EQ(records[m_sims[2]->Port()]["outcome"], "no_prompt");
}

TEST_F(BatchRun, OnePortRunWritesItsRecordAndEndsWithTheTestersVerdict) {
    const std::string file = MakeFile(UpdateText(2000));
    for (const char* verdict : {"accept", "reject"}) {
        m_sims.clear();
        StartTesters(1, {"--rate", "5760", "--verdict", verdict, "--linger-ms", "60000"});
        EXPECT_EQ(Start({"--port", m_sims[0]->Port(), "--file", file, "--report",
                         m_dir / "one.jsonl", "--expect", "header ok", "--reject", "rejected"})
                      ->WaitExit(),
                  verdict[0] == 'a' ? 0 : 5)
            << Err();
        const auto r = Records(ReadWholeFile(m_dir / "one.jsonl"))[m_sims[0]->Port()];
        EXPECT_EQ(r["outcome"], verdict[0] == 'a' ? "accepted" : "rejected") << r;
        EXPECT_TRUE(r["log"].is_null()) << r;
        EXPECT_NE(Out().find("Update "), std::string::npos) << "the tester's output is on stdout";
    }
}

// A station file run headless: its ports with their labels, its file and log folder beside it, its
// unit pattern; the command line's options override the file's. Each record names the port's
// slot and its tester's unit, and the summary shows both beside the port.
TEST_F(BatchRun, AStationFileRunsItsPortsUnderTheirLabels) {
    const std::string text = UpdateText(3000);
    ASSERT_EQ(::mkdir((m_dir / "bench").c_str(), 0755), 0);
    WriteWholeFile(m_dir / "bench/update.txt", text);
    const std::string size = std::to_string(text.size());
    StartTesters(
        1, {"--rate", "5760", "--expect", size, "--serial", "KT-0042", "--linger-ms", "60000"});
    StartTesters(1, {"--rate", "5760", "--expect", size, "--linger-ms", "60000"});
    const std::string station = m_dir / "bench/station.json";
    WriteWholeFile(station, R"({"ports": [{"name": ")" + m_sims[0]->Port() +
                                R"(", "label": "Bay 1"}, {"name": ")" + m_sims[1]->Port() +
                                R"("}], "file": "update.txt", "log_dir": "logs",
        "unit_id": "^Serial number: (\\S+)$", "repeat": false, "verdict_timeout": 60,
        "expect": "never said", "station_name": "Bench A"})");
    // The file's verdict pattern would fail both; the command line's own takes its place.
    EXPECT_EQ(Start({"--station", station, "--expect", "header ok"})->WaitExit(), 0) << Err();
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_TRUE(m_sims[i]->WaitEvent("RECEIVED"));
        EXPECT_EQ(Got(i), text) << "tester " << i;
    }
    const auto records = Records(ReadWholeFile(m_dir / "bench/logs/report.jsonl"));
    ASSERT_EQ(records.size(), 2u);
    const auto& bay = records.at(m_sims[0]->Port());
    const auto& other = records.at(m_sims[1]->Port());
    EXPECT_EQ(bay["outcome"], "accepted") << bay;
    EXPECT_EQ(bay["slot"], "Bay 1") << bay;
    EXPECT_EQ(bay["unit"], "KT-0042") << bay;
    EXPECT_EQ(bay["station"], "Bench A") << bay;
    EXPECT_EQ(bay["file"], m_dir / "bench/update.txt") << bay;
    EXPECT_TRUE(other["slot"].is_null() && other["unit"].is_null()) << other;
    EXPECT_NE(bay["id"], other["id"]);
    const std::string summary = Out();
    EXPECT_TRUE(SummaryLine(summary, "PORT").starts_with("PORT")) << summary;
    const auto cells = test::SummaryCells(SummaryLine(summary, m_sims[0]->Port()));
    ASSERT_GE(cells.size(), 4u) << summary;
    EXPECT_EQ(cells[1], "Bay 1") << summary;
    EXPECT_EQ(cells[2], "KT-0042") << summary;
    EXPECT_EQ(cells[3], "accepted") << summary;
    EXPECT_NE(SummaryLine(summary, m_sims[1]->Port()).find(" -  "), std::string::npos) << summary;
}

// A station file that cannot be used is refused with its reason before any port is opened, any
// log folder made or any record written.
TEST_F(BatchRun, ABadStationFileTouchesNoPort) {
    StartTesters(1, {"--rate", "5760"});
    const std::string station = m_dir / "station.json";
    WriteWholeFile(station, R"({"ports": [{"name": ")" + m_sims[0]->Port() +
                                R"("}], "file": "u.txt", "prompt_timeout": -5})");
    EXPECT_EQ(Start({"--station", station})->WaitExit(), 2);
    EXPECT_NE(Err().find("KORVALIN: Station file '" + station +
                         "', \"prompt_timeout\": must be a whole number of seconds"),
              std::string::npos)
        << Err();
    EXPECT_FALSE(std::filesystem::exists(m_dir / "korvalin-logs"));
    EXPECT_FALSE(std::filesystem::exists(m_dir / "work/korvalin-logs"));
    EXPECT_FALSE(m_sims[0]->Find("BANNER").has_value()) << m_sims[0]->Transcript();

    // A station file without an update file needs one from the command line.
    WriteWholeFile(station, R"({"ports": [{"name": ")" + m_sims[0]->Port() + R"("}]})");
    EXPECT_EQ(Start({"--station", station})->WaitExit(), 2);
    EXPECT_NE(Err().find("names no update file (\"file\"): give --file PATH."), std::string::npos)
        << Err();
    EXPECT_FALSE(std::filesystem::exists(m_dir / "work/korvalin-logs"));
}

}  // namespace
}  // namespace korv
