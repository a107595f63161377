// The parts of a batch run that need no tester: its options, the verdict over several ports, the
// log file names, and the live table's drawing on a terminal.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "TempDir.h"
#include "console/BatchRun.h"
#include "console/BatchTable.h"
#include "console/Options.h"

namespace korv {
namespace {

TEST(BatchOptions, SeveralPortsMakeABatchThatNeedsAFile) {
    ParseResult r = ParseConsoleOptions({"--port", "ttyUSB0", "--port=ttyUSB1", "--file", "u"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.options.Batch());
    EXPECT_EQ(r.options.ports, (std::vector<std::string>{"ttyUSB0", "ttyUSB1"}));

    r = ParseConsoleOptions({"--all-ports", "--log-dir", "logs", "--file", "u", "--repeat"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.options.Batch());
    EXPECT_TRUE(r.options.allPorts);
    EXPECT_EQ(r.options.logDir, "logs");

    // One port with a log folder is a batch of one; one port alone is the plain run.
    EXPECT_TRUE(
        ParseConsoleOptions({"--port", "a", "--log-dir", "d", "--file", "u"}).options.Batch());
    EXPECT_FALSE(ParseConsoleOptions({"--port", "a"}).options.Batch());

    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"--port", "a", "--port", "b"},  // nobody to ask for the file
             {"--port", "a", "--port", "a", "--file", "u"},
             {"--all-ports=yes", "--file", "u"},
             {"--log-dir", "", "--file", "u"},
             {"--demo", "--all-ports"}}) {
        const ParseResult refused = ParseConsoleOptions(bad);
        EXPECT_FALSE(refused.ok) << bad[0] << " " << bad[1];
        EXPECT_FALSE(refused.error.empty());
    }
}

TEST(BatchOptions, AllPortsAddsTheListedDevicesNotGivenAlready) {
    test::TempDir sysfs;
    ConsoleOptions opt;
    opt.allPorts = true;
    opt.ports = {"/dev/ttyUSB1", "/dev/pts/3"};
    // No serial device at all: the port menu's stand-ins COM1 and COM2 are no testers.
    const auto map = [&] { return MakeSysfsDeviceMap(sysfs.path()); };
    EXPECT_EQ(BatchPorts(opt, map), opt.ports);

    for (const char* name : {"ttyUSB1", "ttyUSB0"}) {
        ASSERT_EQ(::mkdir((sysfs / name).c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((sysfs / name + "/device").c_str(), 0755), 0);
    }
    EXPECT_EQ(BatchPorts(opt, map),
              (std::vector<std::string>{"/dev/ttyUSB1", "/dev/pts/3", "ttyUSB0"}));
}

TEST(BatchOptions, ADeviceNamedTwiceIsOnePort) {
    // A device and its by-id link, and a link to the link: one port, under the first name.
    test::TempDir dev;
    test::WriteWholeFile(dev / "ttyUSB0", "");
    const std::string device = std::filesystem::canonical(dev / "ttyUSB0").string();
    ASSERT_EQ(::mkdir((dev / "by-id").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("../ttyUSB0", (dev / "by-id/usb-FTDI_1").c_str()), 0);
    ASSERT_EQ(::symlink((dev / "by-id/usb-FTDI_1").c_str(), (dev / "tester").c_str()), 0);
    ConsoleOptions opt;
    opt.ports = {dev / "by-id/usb-FTDI_1", "rfc2217://rack:4001", dev / "ttyUSB0",
                 "rfc2217://rack:4002",    dev / "tester",        "/dev/korvalin-none"};
    std::vector<std::string> dropped;
    const auto none = [] { return std::unique_ptr<ISerialDeviceMap>(); };
    EXPECT_EQ(BatchPorts(opt, none, &dropped),
              (std::vector<std::string>{dev / "by-id/usb-FTDI_1", "rfc2217://rack:4001",
                                        "rfc2217://rack:4002", "/dev/korvalin-none"}));
    ASSERT_EQ(dropped.size(), 2u);
    EXPECT_EQ(dropped[0], "'" + (dev / "ttyUSB0") + "' is " + device + ", given already as '" +
                              (dev / "by-id/usb-FTDI_1") + "'");
}

PortReport Report(const std::string& port, PortOutcome outcome, bool lostWhileSending = false) {
    PortReport r;
    r.port = port;
    r.file = "/tmp/u.txt";
    r.phase = PortPhase::Done;
    r.outcome = outcome;
    r.lostWhileSending = lostWhileSending;
    return r;
}

TEST(BatchVerdict, APortWithoutAVerdictOrNoPortAtAllIsNoSuccess) {
    // A port whose update never ended did not get it; a batch of no ports sent nothing.
    EXPECT_EQ(BatchStatus({Report("A", PortOutcome::Sent), Report("B", PortOutcome::None)}), 4);
    EXPECT_EQ(BatchStatus({}), 1);
}

TEST(BatchLogs, FileNamesComeFromThePortAndStayInTheFolder) {
    EXPECT_EQ(LogFileName("ttyUSB0"), "ttyUSB0.log");
    EXPECT_EQ(LogFileName("COM12"), "COM12.log");
    // "COM7.log" on Windows is the port COM7 itself: writing the log would write to the tester.
    EXPECT_EQ(LogFileName("COM7"), "COM7_.log");
    EXPECT_EQ(LogFileName("\\\\.\\com3"), "com3_.log");
    EXPECT_EQ(LogFileName("/dev/nul.x"), "nul_.x.log");
    EXPECT_EQ(LogFileName("\\\\.\\COM12"), "COM12.log");
    EXPECT_EQ(LogFileName("/dev/pts/7"), "pts-7.log");
    EXPECT_EQ(LogFileName("/dev/serial/by-id/usb-FTDI_x:1.0"), "serial-by-id-usb-FTDI_x_1.0.log");
    EXPECT_EQ(LogFileName("../../etc/passwd"), "_.-..-etc-passwd.log");
    EXPECT_EQ(LogFileName(""), "port.log");
    EXPECT_EQ(LogFileName("rfc2217://bench4:4001"), "rfc2217-bench4-4001.log");
    EXPECT_EQ(LogFileName("socket://[::1]:7000"), "socket-_--1_-7000.log");
}

// What the table wrote to its stream.
class TableOutput : public ::testing::Test {
  protected:
    TableOutput() : m_file(std::tmpfile()) {}
    ~TableOutput() override { std::fclose(m_file); }
    std::string Written() {
        std::fflush(m_file);
        std::string text;
        std::rewind(m_file);
        for (int c; (c = std::fgetc(m_file)) != EOF;) {
            text += static_cast<char>(c);
        }
        return text;
    }
    std::FILE* m_file;
};

TEST_F(TableOutput, ATerminalTableIsRedrawnInPlaceUnderTheMessages) {
    {
        CLiveTable table(m_file, true);
        table.Show({"a 1", "b 1"});
        table.Show({"a 1", "b 1"});  // unchanged: nothing is written
        table.Show({"a 2", "b 2"});
        table.Message("KORVALIN: a: Sent.");
    }
    EXPECT_EQ(Written(),
              "a 1\033[K\nb 1\033[K\n"
              // up two lines, over the old figures
              "\r\033[2Aa 2\033[K\nb 2\033[K\n"
              // the message takes the table's place and the table is drawn again below it
              "\r\033[2A\033[JKORVALIN: a: Sent.\na 2\033[K\nb 2\033[K\n"
              // taken down when the run ends
              "\r\033[2A\033[J");
}

TEST_F(TableOutput, WithoutATerminalOnlyMessagesAreWritten) {
    {
        CLiveTable table(m_file, false);
        table.Show({"a 1"});
        table.Message("KORVALIN: a: Sent.");
        table.Show({"a 2"});
    }
    EXPECT_EQ(Written(), "KORVALIN: a: Sent.\n");
}

TEST(BatchTable, LinesAreCutToTheTerminalAndTheCountsStayPut) {
    PortReport r;
    r.port = "ttyUSB0";
    r.phase = PortPhase::Sending;
    r.done = 1000;
    r.total = 40000;
    r.seconds = 1;
    PortReport w = r;
    w.port = "ttyUSB10";
    w.phase = PortPhase::Waiting;
    const auto sending = FormatLiveTable({r, w}, 0);
    ASSERT_EQ(sending.size(), 2u);
    EXPECT_NE(sending[0].find("sending"), std::string::npos) << sending[0];
    EXPECT_NE(sending[1].find("waiting for prompt"), std::string::npos) << sending[1];
    EXPECT_EQ(sending[0].find("0 sent, 0 failed"), sending[1].find("0 sent, 0 failed"));

    r.phase = PortPhase::Done;
    r.outcome = PortOutcome::Sent;
    r.sent = 1;
    const auto done = FormatLiveTable({r, w}, 0);
    EXPECT_EQ(done[0].find("1 sent"), sending[0].find("0 sent"));

    for (const auto& line : FormatLiveTable({r, w}, 30)) {
        EXPECT_LE(line.size(), 30u);
    }
}

// Thirty testers by their by-id names on an 80 x 24 terminal: the block leaves the cursor's line
// free (a taller one scrolls a copy into the scrollback at every redraw), keeps the failures and
// running transfers, and shortens names from the left, never the counts.
TEST(BatchTable, ATableTallerThanTheTerminalKeepsTotalsAndTheBusiestRows) {
    std::vector<PortReport> reports;
    for (int i = 0; i < 30; ++i) {
        PortReport r;
        r.port = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K" + std::to_string(100 + i) +
                 "-if00-port0";
        r.phase = i < 20 ? PortPhase::Done : PortPhase::Sending;
        r.outcome = i < 20 ? PortOutcome::Sent : PortOutcome::None;
        r.sent = i < 20 ? 12 : 11;
        r.failed = 0;
        r.done = 1000;
        r.total = 40000;
        r.seconds = 3;
        reports.push_back(r);
    }
    reports[3].outcome = PortOutcome::PortLost;
    reports[3].failed = 1;
    reports[28].phase = PortPhase::Waiting;
    const auto lines = FormatLiveTable(reports, 79, 24, "Total: 232 sent");
    ASSERT_EQ(lines.size(), 23u);
    EXPECT_EQ(lines.back(), "Total: 232 sent; 8 not shown");
    std::vector<std::string> ids;
    for (size_t k = 0; k + 1 < lines.size(); ++k) {
        EXPECT_LE(lines[k].size(), 79u);
        EXPECT_TRUE(lines[k].starts_with("...")) << lines[k];
        EXPECT_TRUE(lines[k].find(" sent, 0 failed") != std::string::npos ||
                    lines[k].find("12 sent, 1 failed") != std::string::npos)
            << lines[k];
        ids.push_back(lines[k].substr(lines[k].find("A10K") + 4, 3));
    }
    // The failure, every running transfer, the waiting port, then the finished ones that fit,
    // in the order given.
    EXPECT_EQ(ids[0], "100");
    EXPECT_EQ(ids[3], "103");
    for (int i = 20; i < 30; ++i) {
        EXPECT_NE(std::find(ids.begin(), ids.end(), std::to_string(100 + i)), ids.end()) << i;
    }
    // A terminal with room for every port shows them all, without totals.
    EXPECT_EQ(FormatLiveTable(reports, 0, 31).size(), 30u);
    EXPECT_EQ(FormatLiveTable(reports, 0, 30).size(), 29u);
}

// A station's ports with their labels, and their testers' units: beside the port in the table and
// the summary, "-" where a port has none, the tester's control bytes shown, not acted on; on a
// narrow terminal the longest of name, label and unit gives way first, the counts never.
TEST(BatchTable, LabelsAndUnitsStandBesideThePort) {
    PortReport a = Report("/dev/ttyUSB0", PortOutcome::Sent);
    a.label = "Bay 1";
    a.unit = "KT-0042";
    a.sent = 1;
    PortReport b = Report("/dev/ttyUSB1", PortOutcome::PortLost);
    b.unit = "\x1b[2JKT-7";
    b.failed = 1;
    PortReport c = Report("/dev/ttyUSB2", PortOutcome::NotOpened);
    PortReport d = Report("/dev/ttyUSB3", PortOutcome::NotOpened);
    d.label =
        "Bucht \xc3\x9c\xc2\x9b"
        "2J\x07";  // its own letters kept, controls shown
    EXPECT_NE(FormatSummary({d}).find("/dev/ttyUSB3  Bucht \xc3\x9c?2J^G  not opened"),
              std::string::npos)
        << FormatSummary({d});
    const std::string summary = FormatSummary({a, b, c});
    const auto lines = [&] {
        std::vector<std::string> all;
        for (size_t at = 0, nl; (nl = summary.find('\n', at)) != std::string::npos; at = nl + 1) {
            all.push_back(summary.substr(at, nl - at));
        }
        return all;
    }();
    ASSERT_EQ(lines.size(), 4u) << summary;
    EXPECT_TRUE(lines[0].starts_with("PORT          SLOT   UNIT       OUTCOME ")) << summary;
    EXPECT_TRUE(lines[1].starts_with("/dev/ttyUSB0  Bay 1  KT-0042    sent ")) << summary;
    EXPECT_TRUE(lines[2].starts_with("/dev/ttyUSB1  -      ^[[2JKT-7  port lost ")) << summary;
    EXPECT_TRUE(lines[3].starts_with("/dev/ttyUSB2  -      -          not opened ")) << summary;
    // Without labels or units the summary is as it always was; a run that looks for units shows
    // the column before any is known.
    EXPECT_TRUE(FormatSummary({c}).starts_with("PORT          OUTCOME ")) << FormatSummary({c});
    EXPECT_TRUE(FormatSummary({c}, true).starts_with("PORT          UNIT  OUTCOME "));
    EXPECT_EQ(FormatLiveTable({c}, 0, 0, {}, true)[0].find("/dev/ttyUSB2  -  "), 0u);

    a.phase = PortPhase::Sending;
    a.unit = "SERIAL-0000000000000042";
    a.label = "Rack A, bay 1 (left)";
    a.done = 1000;
    a.total = 40000;
    const auto wide = FormatLiveTable({a, b, c}, 0);
    EXPECT_NE(wide[0].find("/dev/ttyUSB0  Rack A, bay 1 (left)  SERIAL-0000000000000042  sending"),
              std::string::npos)
        << wide[0];
    const auto narrow = FormatLiveTable({a, b, c}, 80);
    for (const auto& line : narrow) {
        EXPECT_LE(line.size(), 80u) << line;
        EXPECT_NE(line.find(" sent, "), std::string::npos) << line;
        EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
    }
    // The unit and the label, the widest, gave way; the port's name did not. Each keeps its end.
    EXPECT_TRUE(narrow[0].starts_with("/dev/ttyUSB0  ...y 1 (left)  ...0000000042  sending"))
        << narrow[0];
    EXPECT_EQ(narrow[0].find(" sent, "), narrow[1].find(" sent, "));
    // Narrower still, every column gives way, down to 8 characters.
    const auto narrower = FormatLiveTable({a, b, c}, 66);
    EXPECT_TRUE(narrower[0].starts_with("...yUSB0  ...left)  ...00042  sending")) << narrower[0];
    EXPECT_NE(narrower[0].find(" sent, 0 failed"), std::string::npos) << narrower[0];

    // Labels in other scripts: columns are counted in characters, and a line cut to the
    // terminal, or a label shortened, never splits a character.
    a.label = "Baie \xc3\xa0 gauche, \xd0\xbc\xd0\xb5\xd1\x81\xd1\x82\xd0\xbe";  // French, Russian
    a.unit = "KT-0042";
    b.label = "Bay 2";
    auto characters = [](const std::string& line) {
        return std::count_if(line.begin(), line.end(), [](char ch) {
            return (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
        });
    };
    // Each lead byte is followed by as many continuation bytes as it announces.
    auto whole = [](const std::string& line) {
        for (size_t i = 0; i < line.size();) {
            const auto lead = static_cast<unsigned char>(line[i]);
            const size_t n = lead < 0x80    ? 1
                             : lead >= 0xF0 ? 4
                             : lead >= 0xE0 ? 3
                             : lead >= 0xC0 ? 2
                                            : 0;
            if (n == 0 || i + n > line.size()) {
                return false;
            }
            for (size_t k = 1; k < n; ++k) {
                if ((static_cast<unsigned char>(line[i + k]) & 0xC0) != 0x80) {
                    return false;
                }
            }
            i += n;
        }
        return true;
    };
    const auto scripts = FormatLiveTable({a, b}, 0);
    EXPECT_EQ(characters(scripts[0].substr(0, scripts[0].find("sending"))),
              characters(scripts[1].substr(0, scripts[1].find("port lost"))))
        << scripts[0] << "\n"
        << scripts[1];
    for (size_t width = 10; width <= 60; ++width) {
        for (const auto& line : FormatLiveTable({a, b}, width)) {
            EXPECT_LE(static_cast<size_t>(characters(line)), width) << line;
            EXPECT_TRUE(whole(line)) << width << ": " << line;
        }
    }
    const std::string summary2 = FormatSummary({a, b});
    const size_t outcome0 = summary2.find("sent ");
    const size_t line1 = summary2.find('\n', summary2.find('\n') + 1) + 1;
    EXPECT_EQ(
        characters(summary2.substr(summary2.find('\n') + 1, outcome0 - summary2.find('\n') - 1)),
        characters(summary2.substr(line1, summary2.find("port lost") - line1)))
        << summary2;
}

}  // namespace
}  // namespace korv
