// The console program over network ports, end to end: Debian's ser2net started here with its
// own configuration, in front of the simulated tester on a pty, on loopback. One scenario list
// for both systems: this driver runs `korvalin --console` on Linux, or, when KORV_CONSOLE_EXE
// names it (scripts/test windows), korvalin-console.exe under Wine.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Child.h"
#include "RecordingServer.h"
#include "TempDir.h"
#include "Texts.h"
#include "Wait.h"
#include "WineSupport.h"

namespace korv {
namespace {

using namespace std::chrono_literals;
using test::Child;
using test::LaunchPlan;
using test::ReadWholeFile;
using test::Sim;
using test::TempDir;
using test::UpdateText;
using test::WriteWholeFile;

// A listening socket on a free loopback port; closed (refusing) or kept (silent) as asked.
class Listener {
  public:
    Listener() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&a), len) == 0 && ::listen(m_fd, 4) == 0 &&
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
            m_port = ntohs(a.sin_port);
        }
    }
    ~Listener() { Close(); }
    void Close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    int Port() const { return m_port; }

  private:
    int m_fd = -1;
    int m_port = 0;
};

bool Accepting(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

class NetPortRun : public ::testing::Test {
  protected:
    void SetUp() override {
        m_exe = test::Env("KORV_CONSOLE_EXE");
        if (!m_exe.empty()) {
            m_wine = test::FindInPath("wine");
            ASSERT_FALSE(m_wine.empty()) << "wine is not on the PATH";
        }
#ifdef KORVALIN_BIN
        if (m_exe.empty())
            m_exe = KORVALIN_BIN;
#endif
        ASSERT_FALSE(m_exe.empty()) << "no program to run (KORV_CONSOLE_EXE)";
        ASSERT_FALSE(test::FindInPath("ser2net").empty() &&
                     ::access("/usr/sbin/ser2net", X_OK) != 0)
            << "ser2net is not installed (scripts/deps)";
    }

    bool Wine() const {
        return !m_wine.empty();
    }
    std::string Path(const std::string& p) const {
        return Wine() ? test::DosPath(p) : p;
    }

    // A simulator that boots once its line runs at 57600 (without flow control: the program
    // takes the tester's XON/XOFF itself) and prompts only when told to (Prompt). ser2net opens
    // the pty at 9600 for RFC 2217, so the tester boots when the program's settings reach it; a
    // raw server's settings are its own, 57600, set when the program connects.
    std::unique_ptr<Sim> StartSim(std::vector<std::string> options) {
        options.insert(options.begin(), {"--wait-open", "rate", "--prompt", "none"});
        auto sim = std::make_unique<Sim>(std::move(options));
        EXPECT_TRUE(sim->ok()) << "the simulator did not start";
        return sim;
    }

    // The tester prompts once the program says it has opened port (in its output, or in the
    // logs of a batch): the simulator boots when its line is set, and its banner is not a
    // prompt. (A prompt that comes with the line settings is kept: see the recording server's
    // tests below.)
    void Prompt(Sim& sim, const std::string& port) {
        const std::string opened = "Successfully opened " + port + ".";
        const bool seen = test::WaitUntil([&] {
            if (ReadWholeFile(m_dir / "stdout").find(opened) != std::string::npos)
                return true;
            std::error_code ec;
            for (const auto& log : std::filesystem::directory_iterator(m_dir / "logs", ec)) {
                if (ReadWholeFile(log.path()).find(opened) != std::string::npos)
                    return true;
            }
            return false;
        });
        ASSERT_TRUE(seen) << "no \"" << opened << "\"\n" << Err();
        ASSERT_TRUE(sim.WaitEvent("BANNER")) << sim.Transcript();
        sim.Command("prompt ready");
    }

    // ser2net in front of sim's pty; its port name for the program.
    std::string StartServer(const Sim& sim, bool telnet = true, const std::string& options = "") {
        Listener free;
        const int port = free.Port();
        free.Close();
        const std::string cfg = m_dir / ("ser2net" + std::to_string(m_servers.size()) + ".yaml");
        WriteWholeFile(
            cfg, "connection: &c\n  accepter: " + std::string(telnet ? "telnet(rfc2217)," : "") +
                     "tcp,127.0.0.1," + std::to_string(port) +
                     "\n  connector: serialdev(nouucplock)," + sim.Port() +
                     (telnet ? ",9600n81,local\n" : ",57600n81,local\n") + options);
        LaunchPlan plan;
        plan.argv = {::access("/usr/sbin/ser2net", X_OK) == 0 ? "/usr/sbin/ser2net" : "ser2net",
                     "-n", "-d", "-c", cfg};
        m_servers.push_back(std::make_unique<Child>(plan));
        EXPECT_TRUE(test::WaitUntil([&] { return Accepting(port); }))
            << "ser2net does not accept on " << port;
        return std::string(telnet ? "rfc2217://" : "socket://") +
               "127.0.0.1:" + std::to_string(port);
    }

    std::unique_ptr<Child> Start(std::vector<std::string> args) {
        LaunchPlan plan;
        plan.argv = Wine() ? std::vector<std::string>{m_wine, m_exe}
                           : std::vector<std::string>{m_exe, "--console"};
        plan.argv.insert(plan.argv.end(), args.begin(), args.end());
        plan.env = {{"WINEDEBUG", "-all"}, {"XDG_CONFIG_HOME", m_dir / "config"}};
        plan.stdoutFile = m_dir / "stdout";
        plan.stderrFile = m_dir / "stderr";
        auto child = std::make_unique<Child>(plan);
        EXPECT_TRUE(child->Started());
        return child;
    }
    int Run(std::vector<std::string> args) {
        return Start(std::move(args))->WaitExit(120s).value_or(-1);
    }
    // Runs the program over the given testers' ports, prompting each once it is open.
    int RunPrompting(std::vector<std::string> args,
                     const std::vector<std::pair<Sim*, std::string>>& testers) {
        auto tool = Start(std::move(args));
        for (const auto& [sim, port] : testers)
            Prompt(*sim, port);
        return tool->WaitExit(120s).value_or(-1);
    }
    std::string File(size_t size) {
        WriteWholeFile(m_dir / "update.txt", UpdateText(size));
        return Path(m_dir / "update.txt");
    }
    std::string Err() const {
        return ReadWholeFile(m_dir / "stderr");
    }

    TempDir m_dir;
    std::string m_exe;
    std::string m_wine;
    std::vector<std::unique_ptr<Child>> m_servers;
};

// The whole file, byte for byte, through each kind of network port. Wine has no count of what
// the server has acknowledged (no SIO_TCP_INFO), so there a raw port, which has no round trip of
// its own to ask, must not say "Sent" on the clock alone: it says why not.
TEST_F(NetPortRun, SendsTheWholeFileThroughRfc2217AndRawPorts) {
    for (const bool telnet : {true, false}) {
        const size_t size = 12000;
        auto sim = StartSim({"--expect", std::to_string(size), "--save", m_dir / "got"});
        const std::string port = StartServer(*sim, telnet);
        const bool unconfirmed = Wine() && !telnet;
        EXPECT_EQ(RunPrompting({"--port", port, "--file", File(size)}, {{sim.get(), port}}),
                  unconfirmed ? 4 : 0)
            << port << "\n"
            << Err();
        ASSERT_TRUE(sim->WaitEvent("RECEIVED")) << sim->Transcript();
        EXPECT_EQ(ReadWholeFile(m_dir / "got"), UpdateText(size)) << port;
        EXPECT_EQ(Err().find("Sent '") != std::string::npos, !unconfirmed) << Err();
        if (unconfirmed) {
            EXPECT_NE(Err().find("cannot tell whether the server has taken the data"),
                      std::string::npos)
                << Err();
        }
    }
}

// The tester holds XOFF: nothing more reaches it while held; an interrupt then ends the run, and
// after the tester's XON not one more byte of the file arrives (a raw server without flow
// control passes the XOFF on as well).
TEST_F(NetPortRun, InterruptUnderXoffLeavesNothingMoreForTheTester) {
    for (const bool telnet : {true, false}) {
        auto sim = StartSim({"--buffer", "4194304", "--end-silence-ms", "1500"});
        const std::string port = StartServer(*sim, telnet);
        auto tool = Start({"--port", port, "--file", File(400000)});
        Prompt(*sim, port);
        ASSERT_TRUE(sim->WaitEvent("RECEIVING")) << port << ": " << sim->Transcript() << Err();
        sim->Command("xoff");
        ASSERT_TRUE(sim->WaitEvent("XOFF"));
        // What was on its way when the tester said XOFF arrives; then the count stays put.
        std::string last;
        bool settled = test::WaitUntil([&] {
            sim->Command("count");
            const auto now = sim->WaitEvent("COUNT");
            const bool same = now && *now == last;
            last = now.value_or("");
            // The gap that two equal counts span: long beside a busy machine's scheduling.
            std::this_thread::sleep_for(1s);
            return same;
        });
        ASSERT_TRUE(settled) << sim->Transcript();
        const uint64_t held = std::stoull(last.substr(6));
        EXPECT_LT(held, 400000u);
        tool->Signal(SIGINT);
        EXPECT_EQ(tool->WaitExit(30s).value_or(-1), 130) << port << Err();
        sim->Command("xon");
        const auto received = sim->WaitEvent("RECEIVED");
        ASSERT_TRUE(received) << sim->Transcript();
        EXPECT_EQ(std::stoull(received->substr(9)), held) << port << ": " << *received;
    }
}

// Failures before a transfer: exit status 1 and the port's name with the reason.
TEST_F(NetPortRun, FailuresToOpenNameThePortAndTheReason) {
    Listener silent;  // accepts connections (the kernel does) and never answers
    Listener closed;
    const int refusing = closed.Port();
    closed.Close();
    const struct {
        std::string port;
        std::string reason;
    } rows[] = {
        {"rfc2217://127.0.0.1:" + std::to_string(refusing), ""},
        {"rfc2217://127.0.0.1:" + std::to_string(silent.Port()), "did not answer"},
        {"rfc2217://127.0.0.1", "Not a network port name"},
        {"socket://127.0.0.1:0", "Not a network port name"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Run({"--port", row.port, "--file", File(100)}), 1) << row.port;
        const std::string err = Err();
        const std::string head = "Failed to open " + row.port + " : ";
        const size_t at = err.find(head);
        ASSERT_NE(at, std::string::npos) << err;
        ASSERT_LT(at + head.size(), err.size()) << err;
        EXPECT_NE(err[at + head.size()], '\n') << "no reason given: " << err;
        EXPECT_NE(err.find(row.reason), std::string::npos) << err;
    }
}

// The server, or its device, goes away in the middle of a transfer: the transfer fails (status
// 4), said once.
TEST_F(NetPortRun, ServerOrDeviceGoneMidTransferFailsTheTransfer) {
    for (const bool deviceGone : {false, true}) {
        auto sim = StartSim({"--buffer", "4194304"});
        const std::string port = StartServer(*sim);
        auto tool = Start({"--port", port, "--file", File(200000)});
        Prompt(*sim, port);
        ASSERT_TRUE(sim->WaitEvent("RECEIVING")) << sim->Transcript() << Err();
        if (deviceGone)
            sim->Command("hangup");
        else
            m_servers.back()->Signal(SIGKILL);
        EXPECT_EQ(tool->WaitExit(30s).value_or(-1), 4) << Err();
        const std::string err = Err();
        const size_t first = err.find("did not complete");
        ASSERT_NE(first, std::string::npos) << err;
        EXPECT_EQ(err.find("did not complete", first + 1), std::string::npos) << err;
    }
}

// The network ports listed in the settings (Linux: the settings file, quoted; Windows: the
// registry value beside COMMPORT) are listed with the system's ports.
TEST_F(NetPortRun, ListPortsShowsTheNetworkPortsOfTheSettings) {
    const std::string value = "rfc2217://127.0.0.1:2217;socket://[::1]:4001;not-a-port";
    const std::string key = "HKCU\\Software\\QUENDAL\\KORVALIN\\SETTINGS";
    if (Wine()) {
        LaunchPlan plan;
        plan.argv = {m_wine, "reg", "add", key, "/v", "NETPORTS", "/d", value, "/f"};
        plan.env = {{"WINEDEBUG", "-all"}};
        ASSERT_EQ(Child(plan).WaitExit().value_or(-1), 0);
    } else {
        std::filesystem::create_directories(m_dir / "config/QUENDAL");
        WriteWholeFile(m_dir / "config/QUENDAL/KORVALIN.conf",
                       "[SETTINGS]\nNETPORTS=\"" + value + "\"\n");
    }
    const int status = Run({"--list-ports"});
    if (Wine()) {
        LaunchPlan plan;
        plan.argv = {m_wine, "reg", "delete", key, "/v", "NETPORTS", "/f"};
        plan.env = {{"WINEDEBUG", "-all"}};
        Child(plan).WaitExit();
    }
    EXPECT_EQ(status, 0);
    const std::string out = ReadWholeFile(m_dir / "stdout");
    EXPECT_NE(out.find("rfc2217://127.0.0.1:2217"), std::string::npos) << out;
    EXPECT_NE(out.find("socket://[::1]:4001"), std::string::npos) << out;
    EXPECT_EQ(out.find("not-a-port"), std::string::npos) << out;
}

// A batch of remote testers (and, on Linux, a local one beside them): each gets the whole file.
TEST_F(NetPortRun, BatchOfRemoteAndLocalTestersAllGetTheFile) {
    const size_t size = 8000;
    std::vector<std::unique_ptr<Sim>> sims;
    std::vector<std::string> args = {"--file", File(size), "--log-dir", Path(m_dir / "logs")};
    std::vector<std::pair<Sim*, std::string>> remote;
    for (int i = 0; i < 2; ++i) {
        sims.push_back(StartSim({"--expect", std::to_string(size)}));
        remote.emplace_back(sims.back().get(), StartServer(*sims.back()));
        args.insert(args.end(), {"--port", remote.back().second});
    }
    if (!Wine()) {
        sims.push_back(
            std::make_unique<Sim>(std::vector<std::string>{"--expect", std::to_string(size)}));
        args.insert(args.end(), {"--port", sims.back()->Port()});
    }
    EXPECT_EQ(RunPrompting(args, remote), 0) << Err() << ReadWholeFile(m_dir / "stdout");
    for (auto& sim : sims) {
        const auto received = sim->WaitEvent("RECEIVED");
        ASSERT_TRUE(received) << sim->Transcript();
        EXPECT_EQ(received->rfind("RECEIVED " + std::to_string(size) + " bytes", 0), 0u)
            << *received;
    }
}

// --- against the recording server -------------------------------------------------------------

using test::RecordingServer;
using Clock = std::chrono::steady_clock;

// The line the program sets: 57600 baud, 8N1, 10 bits a byte.
constexpr double kLineBytesPerSecond = 5760.0;
// The most the program may be ahead of the line (the lead beyond a LAN), and a piece's slack.
constexpr double kMaxAhead = 4096 + 1024;

bool Contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

// The tester prompts with the line settings' answers, in the same packet: the program keeps
// that prompt (nothing is purged once the line is set) and sends. What reaches the tester never
// runs ahead of the line by more than the lead, "Sent" comes no sooner than the line can have
// carried the file, and the server was asked to purge only what it held for the program to read,
// before the line was set.
TEST_F(NetPortRun, PacedFileAfterAPromptThatCameWithTheSettings) {
    RecordingServer server({});
    const size_t size = 20000;
    auto tool = Start({"--port", server.Name(), "--file", File(size), "--prompt-timeout", "30"});
    const int status = tool->WaitExit(120s).value_or(-1);
    const auto exitedAt = Clock::now();
    ASSERT_EQ(status, 0) << Err();
    EXPECT_NE(Err().find("Sent '"), std::string::npos) << Err();
    ASSERT_TRUE(test::WaitUntil([&] { return server.DataSize() >= size; }));
    EXPECT_EQ(server.Data(), UpdateText(size));

    const auto events = server.Events();
    Clock::time_point first{};
    for (const auto& e : events) {
        if (!e.command.empty() || e.dataTotal == 0)
            continue;
        if (first == Clock::time_point{})
            first = e.at;
        const double lineBytes =
            std::chrono::duration<double>(e.at - first).count() * kLineBytesPerSecond;
        ASSERT_LE(static_cast<double>(e.dataTotal), lineBytes + kMaxAhead)
            << "the tester had " << e.dataTotal << " bytes when the line could have carried "
            << lineBytes;
    }
    const double lineSeconds = (static_cast<double>(size) - kMaxAhead) / kLineBytesPerSecond;
    EXPECT_GE(std::chrono::duration<double>(exitedAt - first).count(), lineSeconds)
        << "\"Sent\" before the line can have carried the file";

    const auto commands = server.Commands();
    const auto setBaud = std::find_if(commands.begin(), commands.end(), [](const std::string& c) {
        return c.starts_with("SB 44 1 ");
    });
    ASSERT_NE(setBaud, commands.end());
    for (auto it = commands.begin(); it != commands.end(); ++it) {
        if (it->starts_with("SB 44 12 ")) {
            EXPECT_EQ(*it, "SB 44 12 1") << "purged more than what the server held to read";
            EXPECT_LT(it, setBaud) << "purged after the line settings";
        }
    }
    EXPECT_TRUE(Contains(commands, "SB 44 5 1")) << "no flow control asked for";
}

// Ctrl+C mid-transfer: the sender stops, the server is told to discard what it holds for the
// device (after the last data, so nothing follows it), and the tester gets no more than the
// lead after the interrupt.
TEST_F(NetPortRun, InterruptStopsTheSenderAndPurgesTheServer) {
    RecordingServer server({});
    auto tool = Start({"--port", server.Name(), "--file", File(200000)});
    ASSERT_TRUE(test::WaitUntil([&] { return server.DataSize() >= 6000; })) << Err();
    tool->Signal(SIGINT);
    const size_t atSignal = server.DataSize();
    EXPECT_EQ(tool->WaitExit(30s).value_or(-1), 130) << Err();
    ASSERT_TRUE(test::WaitUntil([&] { return server.Closed(); })) << "the program kept the line";
    EXPECT_LE(server.DataSize() - atSignal, 4096u);
    const auto events = server.Events();
    const auto purge = std::find_if(events.begin(), events.end(),
                                    [](const auto& e) { return e.command == "SB 44 12 2"; });
    ASSERT_NE(purge, events.end()) << "no PURGE-DATA after the abort";
    for (auto it = purge; it != events.end(); ++it)
        EXPECT_FALSE(it->command.empty() && it->dataTotal > purge->dataTotal)
            << "data after the purge: the sender kept writing";
}

// A server that answers another flow control or stop size than asked keeps its own: the open
// fails with what it insists on.
TEST_F(NetPortRun, ServerThatKeepsItsOwnSettingFailsTheOpen) {
    const struct {
        uint8_t control, stop;
        const char* said;
    } rows[] = {
        {2, 0, "keeps XON/XOFF flow control"},
        {3, 0, "keeps hardware (RTS/CTS) flow control"},
        {0, 2, "another number of stop bits"},
    };
    for (const auto& row : rows) {
        RecordingServer::Behaviour b;
        b.controlAnswer = row.control;
        b.stopAnswer = row.stop;
        RecordingServer server(b);
        EXPECT_EQ(Run({"--port", server.Name(), "--file", File(1000)}), 1) << Err();
        EXPECT_NE(Err().find(row.said), std::string::npos) << Err();
        EXPECT_EQ(server.DataSize(), 0u);
    }
}

// A refusal is told in the server's words, also when the server resets the connection and the
// program's write finds it gone before the text has been read.
TEST_F(NetPortRun, RefusalIsToldInTheServersWords) {
    for (const bool reset : {false, true}) {
        RecordingServer::Behaviour b;
        b.refusal = "Port already in use\r\n";
        b.refusalBehindReset = reset;
        RecordingServer server(b);
        EXPECT_EQ(Run({"--port", server.Name(), "--file", File(1000)}), 1) << Err();
        EXPECT_NE(Err().find("refused the connection: \"Port already in use\""), std::string::npos)
            << "reset " << reset << ": " << Err();
    }
}

// A server that stops reading mid-transfer: the transfer fails within seconds, as a lost port,
// and is never reported sent.
TEST_F(NetPortRun, ServerThatStopsReadingFailsTheTransfer) {
    RecordingServer::Behaviour b;
    b.stopReadingAfter = 6000;
    RecordingServer server(b);
    const auto start = Clock::now();
    EXPECT_EQ(Run({"--port", server.Name(), "--file", File(60000)}), 4) << Err();
    EXPECT_LT(Clock::now() - start, 60s);
    EXPECT_EQ(Err().find("Sent '"), std::string::npos) << Err();
    EXPECT_NE(Err().find("for 10 s"), std::string::npos) << Err();
}

// A server that goes silent while the program waits for the prompt (the link is dead): told as
// such within seconds, not when the prompt never comes.
TEST_F(NetPortRun, SilentServerIsToldWhileWaitingForThePrompt) {
    RecordingServer::Behaviour b;
    b.prompt = "";
    b.silentAfterMs = 2500;
    RecordingServer server(b);
    const auto start = Clock::now();
    auto tool = Start({"--port", server.Name(), "--file", File(1000)});
    ASSERT_TRUE(test::WaitUntil(
        [&] { return Err().find("No answer from the server for 10 s") != std::string::npos; }, 60s))
        << Err();
    EXPECT_LT(Clock::now() - start, 40s);
    tool->Signal(SIGINT);
    tool->WaitExit(30s);
}

// A server that closes idle connections (ser2net's timeout): an RFC 2217 port waiting for its
// tester is kept alive and sends once the tester prompts; a raw port, which can send nothing the
// tester would not see, is told as closed by the server's idle time-out.
TEST_F(NetPortRun, ServerIdleTimeOutKeepsRfc2217AliveAndIsToldOnRaw) {
    RecordingServer::Behaviour b;
    b.idleCloseMs = 2500;
    b.promptDelayMs = 6000;
    RecordingServer server(b);
    EXPECT_EQ(Run({"--port", server.Name(), "--file", File(3000)}), 0) << Err();
    EXPECT_EQ(server.DataSize(), 3000u);
    EXPECT_TRUE(Contains(server.Commands(), "DO 6")) << "no timing mark while idle";

    RecordingServer::Behaviour raw;
    raw.telnet = false;
    raw.prompt = "";
    raw.idleCloseMs = 2500;
    RecordingServer rawServer(raw);
    auto tool = Start({"--port", rawServer.Name(), "--file", File(1000)});
    ASSERT_TRUE(test::WaitUntil(
        [&] { return Err().find("server idle time-out") != std::string::npos; }, 60s))
        << Err();
    tool->Signal(SIGINT);
    tool->WaitExit(30s);
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// With --repeat, a server that goes away mid-transfer and comes back: the cut transfer is
// recorded, the port is tried again with growing pauses (1, 2, 4 s: a port tried every second,
// or at once, would be refused three times far sooner), and the tester behind the returned server
// gets the whole file. Gone again while the port waits for its next tester, the run ends at once
// on Ctrl+C, with no record added for the wait.
TEST_F(NetPortRun, RepeatingPortWaitsForTheServerToComeBack) {
    RecordingServer::Behaviour b;
    b.reconnects = true;
    RecordingServer server(b);
    const size_t size = 30000;
    const std::string report = m_dir / "report.jsonl";
    auto tool = Start(
        {"--port", server.Name(), "--file", File(size), "--repeat", "--report", Path(report)});
    ASSERT_TRUE(test::WaitUntil([&] { return server.DataSize() >= 2000; })) << Err();
    server.Drop();
    const auto lostAt = Clock::now();
    ASSERT_TRUE(test::WaitUntil([&] { return server.Refused().size() >= 3; }, 120s)) << Err();
    const auto refused = server.Refused();
    EXPECT_GE(refused[2] - lostAt, 5s)
        << "three tries within " << std::chrono::duration<double>(refused[2] - lostAt).count()
        << " s of the loss";
    EXPECT_GE(refused[2] - refused[1], 3s) << "the pauses between tries do not grow";
    // Told once for each reason the system gives (a reset seen while connecting, or while
    // negotiating), not once a try.
    EXPECT_LE(Count(Err(), "; trying again."), 2u) << Err();
    server.Refuse(false);

    // The next try is served: its tester prompts and gets every byte of the file.
    ASSERT_TRUE(test::WaitUntil(
        [&] { return server.Served() == 2 && server.DataOf(1).size() >= size; }, 120s))
        << Err();
    ASSERT_TRUE(test::WaitUntil([&] { return Err().find("Sent '") != std::string::npos; }))
        << Err();
    EXPECT_EQ(server.DataOf(1), UpdateText(size));
    EXPECT_EQ(Count(Err(), " is back; waiting for the tester."), 1u) << Err();

    server.Drop();
    ASSERT_TRUE(test::WaitUntil([&] {
        return Count(Err(), "was lost; waiting for it to come back.") == 2;
    })) << Err();
    tool->Signal(SIGINT);
    // No open under way, nor the next try's pause, holds up the end.
    EXPECT_EQ(tool->WaitExit(20s).value_or(-1), 130) << Err();

    const std::string records = ReadWholeFile(report);
    ASSERT_EQ(Count(records, "\n"), 2u) << records;
    const std::string cut = records.substr(0, records.find('\n'));
    const std::string next = records.substr(cut.size() + 1);
    EXPECT_NE(cut.find("\"outcome\":\"port_lost\""), std::string::npos) << cut;
    EXPECT_EQ(cut.find("\"bytes_sent\":" + std::to_string(size)), std::string::npos) << cut;
    EXPECT_NE(next.find("\"outcome\":\"sent\""), std::string::npos) << next;
    EXPECT_NE(next.find("\"bytes_sent\":" + std::to_string(size)), std::string::npos) << next;
}

// ser2net refuses a second client with a text, and with kickolduser hands the port to the newer
// one: each is told as what it is.
TEST_F(NetPortRun, RefusedAndTakenOverConnectionsAreToldApart) {
    auto sim = StartSim({"--buffer", "4194304"});
    const std::string port = StartServer(*sim);
    const int number = std::stoi(port.substr(port.rfind(':') + 1));
    const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(number));
    ASSERT_EQ(::connect(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    // The connection is the server's once it starts its negotiation on it; before that, on a
    // busy machine, the program's connection could be the one it takes first.
    pollfd negotiation{holder, POLLIN, 0};
    ASSERT_EQ(::poll(&negotiation, 1, 30000), 1) << "the server never took the first connection";
    EXPECT_EQ(Run({"--port", port, "--file", File(1000)}), 1) << Err();
    EXPECT_NE(Err().find("\"Port already in use\""), std::string::npos) << Err();
    ::close(holder);

    auto sim2 = StartSim({"--buffer", "4194304"});
    const std::string kicking = StartServer(*sim2, true, "  options:\n    kickolduser: true\n");
    auto tool = Start({"--port", kicking, "--file", File(200000)});
    Prompt(*sim2, kicking);
    ASSERT_TRUE(sim2->WaitEvent("RECEIVING")) << sim2->Transcript() << Err();
    const int number2 = std::stoi(kicking.substr(kicking.rfind(':') + 1));
    const int newer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    a.sin_port = htons(static_cast<uint16_t>(number2));
    ASSERT_EQ(::connect(newer, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(tool->WaitExit(30s).value_or(-1), 4) << Err();
    EXPECT_NE(Err().find("taken over by another client"), std::string::npos) << Err();
    ::close(newer);
}

}  // namespace
}  // namespace korv
