// The console program against the simulated tester on a pseudo-terminal: what an operator or a
// script sees (exit status, stdout, stderr) and what the tester receives.

#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Texts.h"

namespace korv {
namespace {

using test::Child;
using test::LaunchPlan;
using test::ReadWholeFile;
using test::Sim;
using test::TempDir;
using test::UpdateText;
using test::WriteWholeFile;

class ConsoleRun : public ::testing::Test {
  protected:
    ConsoleRun() {
        // No serial devices and no remembered port unless a test makes them.
        ::mkdir((m_dir / "sysfs").c_str(), 0755);
        ::mkdir((m_dir / "config").c_str(), 0755);
    }

    // Starts korvalin with args; prefix is a command to run it under (setpriv ...); terminal is
    // the path of a terminal for stdin and stderr.
    std::unique_ptr<Child> Start(std::vector<std::string> args,
                                 std::vector<std::string> prefix = {},
                                 const std::string& terminal = "") {
        LaunchPlan plan;
        plan.argv = std::move(prefix);
        plan.argv.push_back(KORVALIN_BIN);
        for (auto& a : args) {
            plan.argv.push_back(std::move(a));
        }
        if (!terminal.empty()) {
            plan.stdinFile = terminal;
        }
        plan.env = {{"XDG_CONFIG_HOME", m_dir / "config"},
                    {"HOME", m_dir.path()},
                    {"KORV_SYSFS_TTY", m_dir / "sysfs"}};
        plan.stdoutFile = m_dir / "stdout";
        plan.stderrFile = terminal.empty() ? m_dir / "stderr" : terminal;
        auto child = std::make_unique<Child>(plan);
        EXPECT_TRUE(child->Started());
        return child;
    }

    // Runs to the end and returns the exit status (-1 when it did not end in time).
    int Run(std::vector<std::string> args, std::vector<std::string> prefix = {}) {
        auto child = Start(std::move(args), std::move(prefix));
        const auto status = child->WaitExit();
        return status.value_or(-1);
    }

    std::string Out() { return ReadWholeFile(m_dir / "stdout"); }
    std::string Err() { return ReadWholeFile(m_dir / "stderr"); }
    std::string MakeFile(const std::string& name, const std::string& text) {
        WriteWholeFile(m_dir / name, text);
        return m_dir / name;
    }

    TempDir m_dir;
};

TEST_F(ConsoleRun, SendsTheFileByteForByteAndShowsTheTestersAnswer) {
    const std::string text = UpdateText(40000);
    const std::string file = MakeFile("update.txt", text);
    Sim sim({"--rate", "5760", "--expect", std::to_string(text.size()), "--save", m_dir / "got"});
    ASSERT_FALSE(sim.Port().empty());

    EXPECT_EQ(Run({"--console", "--port", sim.Port(), "--file", file}), 0) << Err();
    ASSERT_TRUE(sim.WaitEvent("RECEIVED"));
    EXPECT_EQ(ReadWholeFile(m_dir / "got"), text);
    const std::string out = Out();
    EXPECT_NE(out.find("Successfully opened " + sim.Port() + "."), std::string::npos) << out;
    EXPECT_NE(out.find("Ready to receive update file....\r\n"), std::string::npos);
    EXPECT_NE(out.find("Sending file '" + file + "'."), std::string::npos);
    EXPECT_NE(out.find("Update received: 40000 bytes"), std::string::npos) << out;
    EXPECT_NE(Err().find("KORVALIN: Sent '" + file + "': 40000 bytes."), std::string::npos);
    // A port given on the command line is not remembered.
    EXPECT_EQ(::access((m_dir / "config/QUENDAL/KORVALIN.conf").c_str(), F_OK), -1);
}

TEST_F(ConsoleRun, OpensThePortRememberedByEitherFrontEnd) {
    // Two listed adapters; the settings both front ends share remember the second. Neither
    // device exists, so the open fails, naming the port that was tried.
    for (const char* name : {"ttyUSB0", "ttyUSB1"}) {
        ASSERT_EQ(::mkdir((m_dir / "sysfs/" + name).c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((m_dir / "sysfs/" + name + "/device").c_str(), 0755), 0);
    }
    ::mkdir((m_dir / "config/QUENDAL").c_str(), 0700);
    const std::string settings =
        "[General]\ngeometry=@ByteArray(x)\n\n[SETTINGS]\nCOMMPORT=ttyUSB1\n";
    WriteWholeFile(m_dir / "config/QUENDAL/KORVALIN.conf", settings);
    const std::string file = MakeFile("update.txt", UpdateText(100));

    EXPECT_EQ(Run({"--console", "--file", file}), 1);
    EXPECT_NE(Err().find("KORVALIN: Failed to open ttyUSB1 : "), std::string::npos) << Err();
    EXPECT_EQ(ReadWholeFile(m_dir / "config/QUENDAL/KORVALIN.conf"), settings);
}

TEST_F(ConsoleRun, ARejectedFileIsNotSentAndExits3) {
    Sim sim({"--rate", "5760"});
    ASSERT_FALSE(sim.Port().empty());
    const std::string bad = MakeFile("bad.txt", "*\tnot an update\n");
    EXPECT_EQ(Run({"--console", "--port", sim.Port(), "--file", bad}), 3);
    const std::string message =
        "The file '" + bad + "' does not appear to be a software update file";
    EXPECT_NE(Out().find(message), std::string::npos) << Out();
    EXPECT_NE(Err().find("KORVALIN: " + message + "\n"), std::string::npos) << Err();

    // A file that cannot be opened at all ends the same way, with the system's reason. The
    // tester has prompted once already, so this run asks for the file at once.
    const std::string missing = m_dir / "missing.txt";
    EXPECT_EQ(Run({"--console", "--send-now", "--port", sim.Port(), "--file", missing}), 3);
    EXPECT_NE(Err().find("Error opening file '" + missing + "' : "), std::string::npos) << Err();

    sim.Command("quit");
    ASSERT_TRUE(sim.WaitEvent("EXIT"));
    EXPECT_FALSE(sim.Find("RECEIVING")) << "bytes reached the tester";
}

TEST_F(ConsoleRun, APortThatCannotBeOpenedExits1) {
    const std::string file = MakeFile("update.txt", UpdateText(100));
    EXPECT_EQ(Run({"--console", "--port", "/dev/korvalin-no-such-port", "--file", file}), 1);
    EXPECT_NE(Err().find("KORVALIN: Failed to open /dev/korvalin-no-such-port : "),
              std::string::npos)
        << Err();
    EXPECT_NE(Out().find("Cannot perform software update - COMM port is not open."),
              std::string::npos);
    // A port held by another program is refused the same way. Its tester never prompts, so the
    // holder waits until it is told to stop, however slow the machine.
    Sim sim({"--prompt", "none"});
    ASSERT_FALSE(sim.Port().empty());
    auto holder = Start({"--console", "--port", sim.Port(), "--file", file});
    ASSERT_TRUE(sim.WaitEvent("OPENED"));
    EXPECT_EQ(Run({"--console", "--port", sim.Port(), "--file", file}), 1);
    EXPECT_NE(Err().find("Failed to open " + sim.Port()), std::string::npos) << Err();
    holder->Signal(SIGTERM);
    EXPECT_EQ(holder->WaitExit(), 130);
}

TEST_F(ConsoleRun, APortWithoutPermissionNamesTheGroupToJoin) {
    Sim sim({});
    ASSERT_FALSE(sim.Port().empty());
    std::vector<std::string> prefix;
    if (::geteuid() == 0) {
        // Root opens any device; the run drops to an unprivileged user, for whom the pty
        // (mode 620, group tty) is closed.
        if (::access("/usr/bin/setpriv", X_OK) != 0) {
            GTEST_SKIP() << "running as root without setpriv: no way to be refused";
        }
        prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    } else {
        ASSERT_EQ(::chmod(sim.Port().c_str(), 0), 0);
    }
    struct stat st {};
    ASSERT_EQ(::stat(sim.Port().c_str(), &st), 0);
    const group* g = ::getgrgid(st.st_gid);
    const std::string name = g != nullptr ? g->gr_name : std::to_string(st.st_gid);

    EXPECT_EQ(Run({"--console", "--port", sim.Port(), "--file", "/dev/null"}, prefix), 1);
    const std::string err = Err();
    EXPECT_NE(err.find("Failed to open " + sim.Port() + " : Permission denied"), std::string::npos)
        << err;
    EXPECT_NE(err.find("belongs to the group '" + name + "'"), std::string::npos) << err;
    EXPECT_NE(err.find("sudo usermod -aG " + name + " $USER"), std::string::npos) << err;
}

// The thread sanitizer's runtime defers a signal that arrives outside a blocking call to the
// thread's next intercepted call; about once in fifteen runs a SIGINT sent just as the question
// has been written is never handed to the program at all (its handler does not run, the process
// waits on). The plain and AddressSanitizer builds run that case; the other signal cases (during
// XOFF, during a transfer, on a busy port) run under every build.
#if defined(__SANITIZE_THREAD__)
constexpr bool kUnderThreadSanitizer = true;
#else
constexpr bool kUnderThreadSanitizer = false;
#endif

TEST_F(ConsoleRun, OnATerminalTheFileIsAskedFor) {
    const std::string text = UpdateText(3000);
    const std::string file = MakeFile("update.txt", text);
    Sim sim({"--rate", "5760", "--expect", std::to_string(text.size())});
    ASSERT_FALSE(sim.Port().empty());
    {
        // An empty answer sends nothing.
        test::Terminal terminal;
        ASSERT_FALSE(terminal.SlavePath().empty());
        auto tool = Start({"--console", "--port", sim.Port()}, {}, terminal.SlavePath());
        ASSERT_TRUE(terminal.WaitFor("Update file: ")) << terminal.Seen();
        terminal.Type("\n");
        EXPECT_EQ(tool->WaitExit(), 3);
        EXPECT_TRUE(terminal.WaitFor("KORVALIN: No update file was given.")) << terminal.Seen();
    }
    if (!kUnderThreadSanitizer) {
        // Ctrl-C while the question is open ends the run as interrupted.
        test::Terminal terminal;
        auto tool =
            Start({"--console", "--send-now", "--port", sim.Port()}, {}, terminal.SlavePath());
        ASSERT_TRUE(terminal.WaitFor("Update file: ")) << terminal.Seen();
        tool->Signal(SIGINT);
        EXPECT_EQ(tool->WaitExit(), 130);
    }
    {
        test::Terminal terminal;
        auto tool =
            Start({"--console", "--send-now", "--port", sim.Port()}, {}, terminal.SlavePath());
        ASSERT_TRUE(terminal.WaitFor("Update file: ")) << terminal.Seen();
        terminal.Type(file + "\n");
        EXPECT_EQ(tool->WaitExit(), 0) << terminal.Seen();
        EXPECT_TRUE(terminal.WaitFor("KORVALIN: Sent '" + file + "': 3000 bytes."))
            << terminal.Seen();
    }
    const auto received = sim.WaitEvent("RECEIVED");
    ASSERT_TRUE(received);
    EXPECT_NE(received->find("RECEIVED 3000 bytes"), std::string::npos) << *received;
}

TEST_F(ConsoleRun, InterruptWhileTheTesterHoldsXoffEndsAtOnceAndSendsNoMore) {
    // Far more than the pseudo-terminal takes ahead of the tester, which stops the line at the
    // first byte for two minutes.
    const std::string text = UpdateText(1 << 20);
    const std::string file = MakeFile("update.txt", text);
    Sim sim({"--rate", "0", "--hold-xoff-ms", "120000", "--save", m_dir / "got"});
    ASSERT_FALSE(sim.Port().empty());
    auto tool = Start({"--console", "--port", sim.Port(), "--file", file});
    ASSERT_TRUE(sim.WaitEvent("XOFF"));

    tool->Signal(SIGINT);
    // Well within the hold: the abort does not wait for the line to be released.
    EXPECT_EQ(tool->WaitExit(std::chrono::seconds(20)), 130);
    EXPECT_NE(Err().find("KORVALIN: Interrupted."), std::string::npos) << Err();

    sim.Command("xon");
    sim.Command("quit");
    const auto aborted = sim.WaitEvent("ABORTED");
    ASSERT_TRUE(aborted);
    const std::string got = ReadWholeFile(m_dir / "got");
    EXPECT_LT(got.size(), text.size() / 4) << *aborted;
    EXPECT_EQ(got, text.substr(0, got.size()));
}

TEST_F(ConsoleRun, RepeatSendsAtEveryPrompt) {
    const std::string text = UpdateText(5000);
    const std::string file = MakeFile("update.txt", text);
    Sim sim({"--rate", "5760", "--repeat", "2", "--between-ms", "100", "--expect",
             std::to_string(text.size())});
    ASSERT_FALSE(sim.Port().empty());
    auto tool = Start({"--console", "--repeat", "--port", sim.Port(), "--file", file});
    for (int i = 0; i < 2; ++i) {
        const auto received = sim.WaitEvent("RECEIVED");
        ASSERT_TRUE(received) << "update " << i;
        EXPECT_NE(received->find("RECEIVED 5000 bytes"), std::string::npos) << *received;
        EXPECT_NE(received->find("header ok"), std::string::npos) << *received;
    }
    // With --repeat only an interruption ends the run.
    tool->Signal(SIGTERM);
    EXPECT_EQ(tool->WaitExit(), 130);
    const std::string out = Out();
    const std::string sending = "Sending file '" + file + "'.";
    const auto first = out.find(sending);
    ASSERT_NE(first, std::string::npos) << out;
    EXPECT_NE(out.find(sending, first + 1), std::string::npos) << out;
}

TEST_F(ConsoleRun, SendNowNeedsNoPrompt) {
    const std::string text = UpdateText(2000);
    const std::string file = MakeFile("update.txt", text);
    // A tester that is already waiting, silently, when the port is opened.
    Sim sim({"--prompt", "none", "--wait-open", "off", "--delay-ms", "0", "--rate", "5760",
             "--expect", std::to_string(text.size())});
    ASSERT_FALSE(sim.Port().empty());
    EXPECT_EQ(Run({"--console", "--send-now", "--port", sim.Port(), "--file", file}), 0) << Err();
    const auto received = sim.WaitEvent("RECEIVED");
    ASSERT_TRUE(received);
    EXPECT_NE(received->find("RECEIVED 2000 bytes"), std::string::npos) << *received;
}

TEST_F(ConsoleRun, TheDemoSendsTheSampleToASimulatedTester) {
    const std::string sample =
        ReadWholeFile(std::string(KORV_SOURCE_DIR) + "/res/sample-update.txt");
    ASSERT_TRUE(sample.starts_with("* "));
    EXPECT_EQ(Run({"--demo", "--console"}), 0) << Err();
    const std::string out = Out();
    EXPECT_NE(out.find("Ready to receive update file....\r\n"), std::string::npos) << out;
    // The tester's own verdict, sent over the line after the last byte.
    EXPECT_NE(out.find("Update received: " + std::to_string(sample.size()) + " bytes"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("header ok"), std::string::npos) << out;
}

TEST_F(ConsoleRun, ListsTheFallbackPairWithoutSerialDevices) {
    EXPECT_EQ(Run({"--list-ports"}), 0);
    EXPECT_EQ(Out(), "COM1  /dev/ttyS0\nCOM2  /dev/ttyS1\n");
}

// The README's example listing is what the program prints for such a machine: a USB modem, a
// UART and two USB adapters, in natural order although three of them share the number 0.
TEST_F(ConsoleRun, ListingIsTheReadmeExample) {
    // A sysfs tree shaped like the kernel's; a USB device holds the product string, the tty
    // below its interface is bound to the driver, a UART's tty says what answered there.
    auto device = [&](const std::string& name, const std::string& driver,
                      const std::string& product, const char* type) {
        const std::string usb = m_dir / ("devices/" + name);
        const std::string tty = usb + "/if/" + name;
        const std::string bound = m_dir / ("drivers/" + driver);
        ASSERT_EQ(std::system(("mkdir -p '" + tty + "' '" + bound + "' '" +
                               (m_dir / ("sysfs/" + name)) + "'")
                                  .c_str()),
                  0);
        if (!product.empty()) {
            WriteWholeFile(usb + "/product", product + "\n");
        }
        if (type != nullptr) {
            WriteWholeFile(m_dir / ("sysfs/" + name + "/type"), std::string(type) + "\n");
        }
        ASSERT_EQ(::symlink(bound.c_str(), (tty + "/driver").c_str()), 0);
        ASSERT_EQ(::symlink(tty.c_str(), (m_dir / ("sysfs/" + name + "/device")).c_str()), 0);
    };
    device("ttyUSB1", "pl2303", "USB-Serial Controller", nullptr);
    device("ttyS0", "serial8250", "", "4");
    device("ttyUSB0", "ftdi_sio", "FT232R USB UART", nullptr);
    device("ttyACM0", "cdc_acm", "", nullptr);

    const std::string readme = ReadWholeFile(std::string(KORV_SOURCE_DIR) + "/README.md");
    const size_t intro = readme.find("`korvalin --list-ports` lists");
    ASSERT_NE(intro, std::string::npos);
    const size_t open = readme.find("```\n", intro);
    ASSERT_NE(open, std::string::npos);
    const size_t close = readme.find("```", open + 4);
    ASSERT_NE(close, std::string::npos);
    const std::string example = readme.substr(open + 4, close - open - 4);

    EXPECT_EQ(Run({"--list-ports"}), 0);
    EXPECT_EQ(Out(), example);
}

TEST_F(ConsoleRun, UsageErrorsPrintTheUsageAndExit2) {
    EXPECT_EQ(Run({"--console", "--bogus"}), 2);
    EXPECT_NE(Err().find("unknown option --bogus"), std::string::npos) << Err();
    EXPECT_NE(Err().find("Usage:"), std::string::npos);
    EXPECT_EQ(Out(), "");
    EXPECT_EQ(Run({"--console", "--port"}), 2);
    EXPECT_EQ(Run({"--help"}), 0);
    EXPECT_NE(Out().find("Usage:"), std::string::npos);
}

}  // namespace
}  // namespace korv
