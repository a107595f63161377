// korvalin-console.exe under Wine against the simulated tester on COM5: what a technician at a
// Windows PC, or a script there, sees (exit status, stdout, stderr) and what the tester
// receives. These run on the Linux side, so that the program's exit status and the CPU time it
// used come from the kernel rather than from the emulation. They need what scripts/test windows
// prepares: WINEPREFIX with COM5 mapped (scripts/wine-com) and a running wineserver, and
// KORV_CONSOLE_EXE naming the cross-built program.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Child.h"
#include "TempDir.h"
#include "Texts.h"
#include "Wait.h"
#include "WineSupport.h"

namespace korv {
namespace {

using test::Child;
using test::Clock;
using test::DosPath;
using test::Env;
using test::FindInPath;
using test::LaunchPlan;
using test::ReadWholeFile;
using test::Sim;
using test::TempDir;
using test::UpdateText;
using test::WriteWholeFile;

const std::string kPort = "COM5";
const std::string kSettingsKey = "HKCU\\Software\\QUENDAL\\KORVALIN\\SETTINGS";

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

class ConsoleExe : public ::testing::Test {
  protected:
    void SetUp() override {
        m_exe = Env("KORV_CONSOLE_EXE");
        m_wine = FindInPath("wine");
        const std::string prefix = Env("WINEPREFIX");
        ASSERT_FALSE(m_exe.empty()) << "KORV_CONSOLE_EXE is not set (run scripts/test windows)";
        ASSERT_FALSE(m_wine.empty()) << "wine is not on the PATH";
        ASSERT_FALSE(prefix.empty()) << "WINEPREFIX is not set (run scripts/test windows)";
        m_link = prefix + "/korv-ports/" + "com5";
        ASSERT_EQ(::access((prefix + "/korv-ports").c_str(), F_OK), 0)
            << kPort << " is not mapped in " << prefix << " (run scripts/wine-com)";
    }

    // The simulated tester behind COM5.
    std::unique_ptr<Sim> StartSim(std::vector<std::string> options) {
        options.push_back("--link");
        options.push_back(m_link);
        auto sim = std::make_unique<Sim>(std::move(options));
        EXPECT_FALSE(sim->Port().empty()) << "the simulator did not start";
        return sim;
    }

    std::unique_ptr<Child> Start(const std::vector<std::string>& args,
                                 std::map<std::string, std::string> env = {}) {
        LaunchPlan plan;
        plan.argv = {m_wine, m_exe};
        plan.argv.insert(plan.argv.end(), args.begin(), args.end());
        plan.env = std::move(env);
        plan.env["WINEDEBUG"] = "-all";
        plan.stdoutFile = m_dir / "stdout";
        plan.stderrFile = m_dir / "stderr";
        auto child = std::make_unique<Child>(plan);
        EXPECT_TRUE(child->Started());
        return child;
    }

    // Runs to the end: the exit status (-1 when it did not end in time).
    int Run(const std::vector<std::string>& args, std::map<std::string, std::string> env = {}) {
        auto child = Start(args, std::move(env));
        const int status = child->WaitExit().value_or(-1);
        m_cpuMs = child->CpuMs();
        return status;
    }

    // A registry command through Wine's reg.exe; its exit status.
    int Reg(const std::vector<std::string>& args, std::string* out = nullptr) {
        LaunchPlan plan;
        plan.argv = {m_wine, "reg"};
        plan.argv.insert(plan.argv.end(), args.begin(), args.end());
        plan.env = {{"WINEDEBUG", "-all"}};
        plan.stdoutFile = m_dir / "reg-out";
        Child reg(plan);
        const int status = reg.WaitExit().value_or(-1);
        if (out != nullptr) {
            *out = ReadWholeFile(m_dir / "reg-out");
        }
        return status;
    }

    std::string Out() { return ReadWholeFile(m_dir / "stdout"); }
    std::string Err() { return ReadWholeFile(m_dir / "stderr"); }
    // Writes a file in the test's folder; its Windows path.
    std::string MakeFile(const std::string& name, const std::string& text) {
        WriteWholeFile(m_dir / name, text);
        return DosPath(m_dir / name);
    }

    TempDir m_dir;
    std::string m_exe;
    std::string m_wine;
    std::string m_link;
    double m_cpuMs = 0.0;
};

TEST_F(ConsoleExe, SendsTheSampleUpdateByteExactAndShowsTheTestersVerdict) {
    const std::string sampleFile = std::string(KORV_SOURCE_DIR) + "/res/sample-update.txt";
    const std::string sample = ReadWholeFile(sampleFile);
    ASSERT_TRUE(sample.starts_with("* "));
    // At the real line's pace, as a tester takes it in.
    auto sim = StartSim(
        {"--rate", "5760", "--expect", std::to_string(sample.size()), "--save", m_dir / "got"});

    EXPECT_EQ(Run({"--port", kPort, "--file", DosPath(sampleFile)}), 0) << Err();
    ASSERT_TRUE(sim->WaitEvent("RECEIVED"));
    EXPECT_TRUE(ReadWholeFile(m_dir / "got") == sample) << "the tester received other bytes";
    const std::string out = Out();
    EXPECT_NE(out.find("Successfully opened " + kPort + "."), std::string::npos) << out;
    EXPECT_NE(out.find("Ready to receive update file....\r\n"), std::string::npos) << out;
    // The tester's verdict, sent over the line after the last byte.
    EXPECT_NE(out.find("Update received: " + std::to_string(sample.size()) + " bytes"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("header ok"), std::string::npos) << out;
    EXPECT_NE(Err().find("KORVALIN: Sent '" + DosPath(sampleFile) +
                         "': " + std::to_string(sample.size()) + " bytes."),
              std::string::npos)
        << Err();
}

TEST_F(ConsoleExe, AFileHeldByXoffForSecondsArrivesExactAfterXon) {
    // Far more than the line takes ahead, so the program really has to wait for the XON.
    const std::string text = UpdateText(60000, "\r\n");
    const std::string file = MakeFile("update.txt", text);
    auto sim = StartSim({"--rate", "5760", "--hold-xoff-ms", "4000", "--expect",
                         std::to_string(text.size()), "--save", m_dir / "got"});
    const auto start = Clock::now();
    EXPECT_EQ(Run({"--port", kPort, "--file", file}), 0) << Err();
    const auto seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_TRUE(sim->WaitEvent("RECEIVED"));
    EXPECT_TRUE(sim->Find("XON").has_value());
    EXPECT_TRUE(ReadWholeFile(m_dir / "got") == text) << "the tester received other bytes";
    EXPECT_GE(seconds, 4.0);
    EXPECT_NE(Err().find("KORVALIN: Sent '" + file + "': 60000 bytes."), std::string::npos)
        << Err();
}

TEST_F(ConsoleExe, RepeatCountsEveryTransferEvenWhenThePromptComesFirst) {
    // The tester prompts again as soon as it has the file, while the port still settles on its
    // emptied output queue: each transfer must still be reported as sent.
    const std::string text = UpdateText(5000, "\r\n");
    const std::string file = MakeFile("update.txt", text);
    auto sim = StartSim({"--rate", "5760", "--repeat", "2", "--between-ms", "0", "--expect",
                         std::to_string(text.size())});
    auto tool = Start({"--port", kPort, "--repeat", "--file", file});
    const std::string sent = "KORVALIN: Sent '" + file + "': 5000 bytes.";
    EXPECT_TRUE(test::WaitUntil([&] { return Count(Err(), sent) >= 2; })) << Err();
    tool->Signal(SIGINT);
    EXPECT_EQ(tool->WaitExit(), 130);
    EXPECT_EQ(Count(Err(), sent), 2u) << Err();
    EXPECT_EQ(Err().find("did not complete"), std::string::npos) << Err();
}

TEST_F(ConsoleExe, CtrlCWhileTheTesterHoldsXoffEndsAtOnceAndSendsNoMore) {
    // Far more than the line takes ahead of the tester, which stops it at the first byte for
    // two minutes. Wine hands SIGINT to the program as the console's Ctrl+C.
    const std::string text = UpdateText(1 << 20, "\r\n");
    const std::string file = MakeFile("update.txt", text);
    auto sim = StartSim({"--rate", "0", "--hold-xoff-ms", "120000", "--save", m_dir / "got"});
    auto tool = Start({"--port", kPort, "--file", file});
    ASSERT_TRUE(sim->WaitEvent("XOFF"));
    tool->Signal(SIGINT);
    // Well within the hold: the abort does not wait for the line to be released.
    EXPECT_EQ(tool->WaitExit(std::chrono::seconds(20)), 130);
    EXPECT_NE(Err().find("KORVALIN: Interrupted."), std::string::npos) << Err();

    sim->Command("xon");
    sim->Command("quit");
    ASSERT_TRUE(sim->WaitEvent("ABORTED"));
    const std::string got = ReadWholeFile(m_dir / "got");
    EXPECT_LT(got.size(), text.size() / 4);
    EXPECT_TRUE(got == text.substr(0, got.size())) << "the tester received other bytes";
}

TEST_F(ConsoleExe, AFileWhoseNameIsNotAsciiIsSent) {
    // Wine hands the program its arguments as UTF-16, converted from the locale's UTF-8.
    const std::string text = UpdateText(2000, "\r\n");
    const std::string file = MakeFile("Pr\u00fcfung \u00df \u4e2d.txt", text);
    auto sim =
        StartSim({"--rate", "5760", "--expect", std::to_string(text.size()), "--save", m_dir / "got"});
    EXPECT_EQ(Run({"--port", kPort, "--file", file}, {{"LANG", "C.UTF-8"}}), 0) << Err();
    ASSERT_TRUE(sim->WaitEvent("RECEIVED"));
    EXPECT_TRUE(ReadWholeFile(m_dir / "got") == text) << "the tester received other bytes";
    EXPECT_NE(Err().find("KORVALIN: Sent '" + file + "': 2000 bytes."), std::string::npos) << Err();
}

TEST_F(ConsoleExe, APortThatIsMissingExits1) {
    const std::string file = MakeFile("update.txt", UpdateText(100, "\r\n"));
    // Not a port of this PC at all.
    EXPECT_EQ(Run({"--port", "COM9", "--file", file}), 1);
    EXPECT_NE(Err().find("KORVALIN: Failed to open COM9 : "), std::string::npos) << Err();
    EXPECT_NE(Out().find("Cannot perform software update - COMM port is not open."),
              std::string::npos)
        << Out();
    // A port the PC knows, with nothing behind it (the adapter is unplugged). Wine opens a
    // mapped port whose device is missing and fails its configuration instead, so the message
    // may be either; both name the port and the system's reason.
    ::unlink(m_link.c_str());
    EXPECT_EQ(Run({"--port", kPort, "--file", file}), 1);
    EXPECT_NE(Err().find(kPort + " : "), std::string::npos) << Err();
    EXPECT_NE(Out().find("Cannot perform software update - COMM port is not open."),
              std::string::npos)
        << Out();
}

TEST_F(ConsoleExe, ARejectedFileIsNotSentAndExits3) {
    auto sim = StartSim({"--rate", "5760"});
    const std::string bad = MakeFile("bad.txt", "*\tnot an update\r\n");
    EXPECT_EQ(Run({"--port", kPort, "--file", bad}), 3);
    const std::string message =
        "The file '" + bad + "' does not appear to be a software update file";
    EXPECT_NE(Err().find("KORVALIN: " + message), std::string::npos) << Err();
    sim->Command("quit");
    ASSERT_TRUE(sim->WaitEvent("EXIT"));
    EXPECT_FALSE(sim->Find("RECEIVING").has_value()) << "bytes reached the tester";
}

TEST_F(ConsoleExe, WithoutAPortTheOneRememberedInTheRegistryIsOpened) {
    Reg({"delete", "HKCU\\Software\\QUENDAL", "/f"});
    ASSERT_EQ(Reg({"add", kSettingsKey, "/v", "COMMPORT", "/t", "REG_SZ", "/d", kPort, "/f"}), 0);
    const std::string text = UpdateText(3000, "\r\n");
    const std::string file = MakeFile("update.txt", text);
    auto sim = StartSim({"--rate", "5760", "--expect", std::to_string(text.size())});
    EXPECT_EQ(Run({"--file", file}), 0) << Err();
    const auto received = sim->WaitEvent("RECEIVED");
    ASSERT_TRUE(received);
    EXPECT_NE(received->find("RECEIVED 3000 bytes"), std::string::npos) << *received;
    EXPECT_NE(Out().find("Successfully opened " + kPort + "."), std::string::npos) << Out();

    // A port given on the command line is used for that run only; the remembered one stays.
    EXPECT_EQ(Run({"--port", "COM9", "--file", file}), 1);
    std::string query;
    EXPECT_EQ(Reg({"query", kSettingsKey, "/v", "COMMPORT"}, &query), 0);
    EXPECT_NE(query.find(kPort), std::string::npos) << query;
    EXPECT_EQ(Reg({"delete", "HKCU\\Software\\QUENDAL", "/f"}), 0);
}

}  // namespace
}  // namespace korv
