// korvalin-console.exe under Wine updating several simulated testers at once, on COM5 to COM8:
// each tester gets the file byte for byte, each port's output is in its own log, one port's
// trouble leaves the others alone, Ctrl+C ends every transfer, --repeat goes on to the next
// tester, and the summary and exit status say which port got what. Driven from the Linux side
// like ConsoleExeTest.cpp, with the prefix that scripts/test windows prepares.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "Child.h"
#include "Scenarios.h"
#include "TempDir.h"
#include "Texts.h"
#include "Wait.h"
#include "WineSupport.h"
#include "hash/Sha256.h"

namespace korv {
namespace {

using test::Child;
using test::DosPath;
using test::Env;
using test::FindInPath;
using test::LaunchPlan;
using test::ReadWholeFile;
using test::Sim;
using test::SummaryLine;
using test::TempDir;
using test::UpdateText;
using test::WriteWholeFile;

class ConsoleExeBatch : public ::testing::Test {
  protected:
    void SetUp() override {
        m_exe = Env("KORV_CONSOLE_EXE");
        m_prefix = Env("WINEPREFIX");
        m_wine = FindInPath("wine");
        ASSERT_FALSE(m_wine.empty()) << "wine is not on the PATH";
        ASSERT_FALSE(m_exe.empty()) << "KORV_CONSOLE_EXE is not set (run scripts/test windows)";
        ASSERT_FALSE(m_prefix.empty()) << "WINEPREFIX is not set (run scripts/test windows)";
        ASSERT_EQ(::access((m_prefix + "/korv-ports").c_str(), F_OK), 0)
            << "COM5 to COM8 are not mapped in " << m_prefix << " (run scripts/wine-com)";
    }

    // A simulated tester behind COMn, saving what it receives as got-COMn.
    void StartSim(const std::string& port, std::vector<std::string> options) {
        std::string link = m_prefix + "/korv-ports/" + port;
        for (char& c : link) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        options.insert(options.end(), {"--link", link, "--save", m_dir / ("got-" + port)});
        m_sims.push_back(std::make_unique<Sim>(std::move(options)));
        ASSERT_FALSE(m_sims.back()->Port().empty()) << "the simulator did not start";
    }

    std::unique_ptr<Child> Start(const std::vector<std::string>& args) {
        LaunchPlan plan;
        plan.argv = {m_wine, m_exe};
        plan.argv.insert(plan.argv.end(), args.begin(), args.end());
        plan.env = {{"WINEDEBUG", "-all"}};
        plan.stdoutFile = m_dir / "stdout";
        plan.stderrFile = m_dir / "stderr";
        auto child = std::make_unique<Child>(plan);
        EXPECT_TRUE(child->Started());
        return child;
    }

    std::string Out() { return ReadWholeFile(m_dir / "stdout"); }
    std::string Err() { return ReadWholeFile(m_dir / "stderr"); }

    TempDir m_dir;
    std::string m_exe;
    std::string m_prefix;
    std::string m_wine;
    std::vector<std::unique_ptr<Sim>> m_sims;
};

TEST_F(ConsoleExeBatch, FourTestersAtLineRateGetTheFileByteForByteBesideAMissingPort) {
    const std::string text = UpdateText(40000, "\r\n");
    WriteWholeFile(m_dir / "update.txt", text);
    const std::string file = DosPath(m_dir / "update.txt");
    const std::vector<std::string> ports = {"COM5", "COM6", "COM7", "COM8"};
    std::vector<std::string> args;
    for (const auto& port : ports) {
        StartSim(port, {"--rate", "5760", "--expect", std::to_string(text.size()), "--linger-ms",
                        "60000"});
        args.insert(args.end(), {"--port", port});
    }
    // com99 is COM99 on Windows: one port, said once.
    args.insert(args.end(), {"--port", "COM99", "--port", "com99", "--file", file, "--log-dir",
                             DosPath(m_dir / "logs")});
    auto tool = Start(args);
    // All four transfers run at once.
    for (auto& sim : m_sims) {
        ASSERT_TRUE(sim->WaitEvent("RECEIVING")) << Err();
    }
    for (auto& sim : m_sims) {
        EXPECT_FALSE(sim->Find("RECEIVED").has_value());
    }
    // The port that could not be opened is the worst outcome.
    EXPECT_EQ(tool->WaitExit(std::chrono::seconds(120)), 1) << Err();
    const std::string summary = Out();
    for (auto& sim : m_sims) {
        ASSERT_TRUE(sim->WaitEvent("RECEIVED"));
    }
    for (const auto& port : ports) {
        EXPECT_TRUE(ReadWholeFile(m_dir / ("got-" + port)) == text) << port << " got other bytes";
        const std::string line = SummaryLine(summary, port);
        EXPECT_NE(line.find(" sent "), std::string::npos) << summary;
        EXPECT_NE(line.find("40000/40000"), std::string::npos) << summary;
        // (COM5.log on Windows would be the port itself.)
        const std::string log = ReadWholeFile(m_dir / ("logs/" + port + "_.log"));
        EXPECT_NE(log.find("Successfully opened " + port + "."), std::string::npos) << log;
        EXPECT_NE(log.find("Ready to receive update file....\r\n"), std::string::npos) << log;
        EXPECT_NE(log.find("KORVALIN: Sent '" + file + "': 40000 bytes."), std::string::npos)
            << log;
    }
    EXPECT_NE(SummaryLine(summary, "COM99").find(" not opened "), std::string::npos) << summary;
    EXPECT_NE(Err().find("KORVALIN: COM99: Failed to open COM99 : "), std::string::npos) << Err();
    EXPECT_NE(Err().find("'com99' is \\\\.\\COM99, given already as 'COM99'"), std::string::npos)
        << Err();
    EXPECT_EQ(SummaryLine(summary, "com99"), "") << summary;
}

TEST_F(ConsoleExeBatch, CtrlCEndsFourTransfersAtOnce) {
    // Minutes on the line each: only the interruption ends them.
    const std::string text = UpdateText(1 << 20, "\r\n");
    WriteWholeFile(m_dir / "update.txt", text);
    const std::vector<std::string> ports = {"COM5", "COM6", "COM7", "COM8"};
    std::vector<std::string> args;
    for (const auto& port : ports) {
        StartSim(port, {"--rate", "5760", "--linger-ms", "60000"});
        args.insert(args.end(), {"--port", port});
    }
    args.insert(args.end(),
                {"--file", DosPath(m_dir / "update.txt"), "--log-dir", DosPath(m_dir / "logs")});
    auto tool = Start(args);
    for (auto& sim : m_sims) {
        ASSERT_TRUE(sim->WaitEvent("RECEIVING")) << Err();
    }
    tool->Signal(SIGINT);  // Wine hands it to the program as Ctrl+C
    EXPECT_EQ(tool->WaitExit(std::chrono::seconds(20)), 130) << Err();
    EXPECT_NE(Err().find("KORVALIN: Interrupted."), std::string::npos) << Err();
    const std::string summary = Out();
    for (size_t i = 0; i < m_sims.size(); ++i) {
        EXPECT_NE(SummaryLine(summary, ports[i]).find(" interrupted "), std::string::npos)
            << summary;
        m_sims[i]->Command("quit");
        ASSERT_TRUE(m_sims[i]->WaitEvent("EXIT"));
        const std::string got = ReadWholeFile(m_dir / ("got-" + ports[i]));
        EXPECT_LT(got.size(), text.size() / 4) << ports[i];
        EXPECT_TRUE(got == text.substr(0, got.size())) << ports[i] << " got other bytes";
    }
}

TEST_F(ConsoleExeBatch, RepeatUpdatesTheNextTesterOnEachPort) {
    const std::string text = UpdateText(5000, "\r\n");
    WriteWholeFile(m_dir / "update.txt", text);
    for (const char* port : {"COM7", "COM8"}) {
        StartSim(port, {"--rate", "5760", "--repeat", "2", "--between-ms", "100", "--expect",
                        std::to_string(text.size()), "--linger-ms", "60000"});
    }
    auto tool = Start({"--port", "COM7", "--port", "COM8", "--repeat", "--file",
                       DosPath(m_dir / "update.txt"), "--log-dir", DosPath(m_dir / "logs")});
    for (auto& sim : m_sims) {
        for (int n = 0; n < 2; ++n) {
            const auto received = sim->WaitEvent("RECEIVED");
            ASSERT_TRUE(received) << "update " << n << "\n" << Err();
            EXPECT_NE(received->find("RECEIVED 5000 bytes"), std::string::npos) << *received;
        }
    }
    // Both ports have counted both updates before the run is ended.
    const auto deadline = test::Clock::now() + test::kDeadline;
    auto sentCount = [&] {
        const std::string err = Err();
        size_t count = 0;
        for (size_t at = 0; (at = err.find(": Sent '", at)) != std::string::npos; ++at) {
            ++count;
        }
        return count;
    };
    while (sentCount() < 4 && test::Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    tool->Signal(SIGINT);
    EXPECT_EQ(tool->WaitExit(), 130) << Err();
    const std::string summary = Out();
    for (const std::string port : {"COM7", "COM8"}) {
        // Two sent, none failed; ended while waiting for a third tester.
        test::ExpectSummaryRow(summary, port, "interrupted", 2, 0, test::Got::All, text.size(),
                               "Interrupted while waiting for the tester's prompt.");
    }
}

TEST_F(ConsoleExeBatch, TheReportHoldsEachTestersVerdict) {
    const std::string text = UpdateText(3000, "\r\n");
    WriteWholeFile(m_dir / "update.txt", text);
    const std::vector<std::string> ports = {"COM5", "COM6", "COM7", "COM8"};
    const char* verdicts[] = {"accept", "reject", "silent", "accept"};
    std::vector<std::string> args;
    for (size_t i = 0; i < ports.size(); ++i) {
        StartSim(ports[i], {"--rate", "5760", "--verdict", verdicts[i], "--prompt",
                            i == 3 ? "none" : "ready", "--linger-ms", "60000"});
        args.insert(args.end(), {"--port", ports[i]});
    }
    args.insert(args.end(), {"--file", DosPath(m_dir / "update.txt"), "--log-dir",
                             DosPath(m_dir / "logs"), "--expect", "header ok$", "--reject",
                             "rejected", "--verdict-timeout", "3", "--prompt-timeout", "5"});
    EXPECT_EQ(Start(args)->WaitExit(std::chrono::seconds(120)), 5) << Err();
    CSha256 hash;
    hash.Update(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    const std::string sha = CSha256::Hex(hash.Final());
    const std::string report = ReadWholeFile(m_dir / "logs/report.jsonl");
    const char* outcomes[] = {"accepted", "rejected", "no_verdict", "no_prompt"};
    size_t seen = 0;
    for (size_t at = 0, nl; (nl = report.find('\n', at)) != std::string::npos; at = nl + 1) {
        const auto r = nlohmann::json::parse(report.substr(at, nl - at));
        const size_t i = std::find(ports.begin(), ports.end(), r["port"]) - ports.begin();
        ASSERT_LT(i, ports.size()) << r;
        ++seen;
        EXPECT_EQ(r["outcome"], outcomes[i]) << r;
        EXPECT_EQ(r["device"], "\\\\.\\" + ports[i]) << r;
        EXPECT_EQ(r["bytes_sent"], i == 3 ? 0 : 3000) << r;
        EXPECT_EQ(r["sha256"], i == 3 ? nlohmann::json(nullptr) : nlohmann::json(sha)) << r;
    }
    EXPECT_EQ(seen, ports.size()) << report;
    EXPECT_NE(Err().find("KORVALIN: Verdict: 4 testers: "), std::string::npos) << Err();
}

}  // namespace
}  // namespace korv
