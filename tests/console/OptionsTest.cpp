#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/Options.h"

namespace korv {
namespace {

struct GoodCase {
    std::vector<std::string> args;
    ConsoleOptions want;
};

class GoodOptions : public ::testing::TestWithParam<GoodCase> {};

TEST_P(GoodOptions, Parse) {
    const ParseResult r = ParseConsoleOptions(GetParam().args);
    ASSERT_TRUE(r.ok) << r.error;
    const ConsoleOptions& want = GetParam().want;
    EXPECT_EQ(r.options.port, want.port);
    EXPECT_EQ(r.options.file, want.file);
    EXPECT_EQ(r.options.sendNow, want.sendNow);
    EXPECT_EQ(r.options.repeat, want.repeat);
    EXPECT_EQ(r.options.listPorts, want.listPorts);
    EXPECT_EQ(r.options.help, want.help);
    EXPECT_EQ(r.options.demo, want.demo);
    EXPECT_EQ(r.options.unitId, want.unitId);
    EXPECT_EQ(r.options.stationName, want.stationName);
    EXPECT_EQ(r.options.station, want.station);
    EXPECT_EQ(r.options.Batch(), want.Batch());
}

ConsoleOptions With(std::string port, std::string file, bool sendNow = false, bool repeat = false) {
    ConsoleOptions o;
    o.port = std::move(port);
    o.file = std::move(file);
    o.sendNow = sendNow;
    o.repeat = repeat;
    return o;
}

ConsoleOptions Text(std::string ConsoleOptions::*field, std::string value) {
    ConsoleOptions o;
    o.*field = std::move(value);
    return o;
}

ConsoleOptions Flag(bool ConsoleOptions::*flag) {
    ConsoleOptions o;
    o.*flag = true;
    return o;
}

INSTANTIATE_TEST_SUITE_P(
    Console, GoodOptions,
    ::testing::Values(
        GoodCase{{}, {}}, GoodCase{{"--console"}, {}},
        GoodCase{{"--console", "--port", "ttyUSB0", "--file", "/tmp/u.txt"},
                 With("ttyUSB0", "/tmp/u.txt")},
        GoodCase{{"--port=/dev/serial/by-id/usb-x", "--file=a b.txt"},
                 With("/dev/serial/by-id/usb-x", "a b.txt")},
        // A value may itself look like an option's "=" form or start with a dash.
        GoodCase{{"--file", "--odd=name"}, With("", "--odd=name")},
        GoodCase{{"--send-now", "--repeat", "--port", "COM3"}, With("COM3", "", true, true)},
        GoodCase{{"--list-ports"}, Flag(&ConsoleOptions::listPorts)},
        // Numbers of ordinary length in patterns, and long ones that are text.
        GoodCase{
            {"--expect", "(ok) serial 12345678901234 \\d{2,5}", "--reject", "\\[E1234567890123\\]"},
            {}},
        GoodCase{{"-h"}, Flag(&ConsoleOptions::help)},
        // One group around the identity; groups of (?: ) do not count.
        GoodCase{{"--unit-id", "(?:S/N|Serial):? *(\\w+)"},
                 Text(&ConsoleOptions::unitId, "(?:S/N|Serial):? *(\\w+)")},
        GoodCase{{"--station-name=Line 3"}, Text(&ConsoleOptions::stationName, "Line 3")},
        // A station is a batch, and may take its file from the station file.
        GoodCase{{"--station", "bench.json"}, Text(&ConsoleOptions::station, "bench.json")},
        GoodCase{{"--demo", "--console"}, Flag(&ConsoleOptions::demo)}));

class BadOptions : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(BadOptions, RefusedWithAReason) {
    const ParseResult r = ParseConsoleOptions(GetParam());
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Console, BadOptions,
    ::testing::Values(std::vector<std::string>{"--bogus"}, std::vector<std::string>{"--port"},
                      std::vector<std::string>{"--port="}, std::vector<std::string>{"--file", ""},
                      std::vector<std::string>{"--repeat=yes"},
                      std::vector<std::string>{"update.txt"},
                      std::vector<std::string>{"--demo", "--port", "COM1"},
                      std::vector<std::string>{"--demo", "--file", "x"},
                      std::vector<std::string>{"--expect", "(unclosed"},
                      // A back-reference (refused), and a count too long to read.
                      std::vector<std::string>{"--expect", "(a)\\12345678901234567890"},
                      std::vector<std::string>{"--reject", "a{1,99999999999999999999}"},
                      std::vector<std::string>{"--verdict-timeout", "0"},
                      std::vector<std::string>{"--prompt-timeout=5s"},
                      // The unit's identity is one capture group: none or two are refused.
                      std::vector<std::string>{"--unit-id", "Serial: \\w+"},
                      std::vector<std::string>{"--unit-id", "(S/N|Serial): (\\w+)"},
                      std::vector<std::string>{"--unit-id", "(unclosed"},
                      std::vector<std::string>{"--station-name", ""},
                      // The station file names the testers.
                      std::vector<std::string>{"--station", "s.json", "--port", "COM1"},
                      std::vector<std::string>{"--station", "s.json", "--all-ports"},
                      std::vector<std::string>{"--station", "s.json", "--retry-failed", "r"},
                      std::vector<std::string>{"--station", "s.json", "--demo"},
                      std::vector<std::string>{"--retry-failed", "r.jsonl", "--port", "COM1"}));

TEST(ConsoleOptions, AUnitPatternWithoutOneGroupIsRefusedWithWhy) {
    const ParseResult r = ParseConsoleOptions({"--unit-id", "S/N \\d+"});
    EXPECT_EQ(r.error,
              "option --unit-id: 'S/N \\d+' needs exactly one capture group, ( ), around the "
              "unit's identity; it has 0");
}

// The station file gives the ports and their labels, and every setting the command line left
// open; what the command line gave wins.
TEST(ConsoleOptions, AStationFileFillsWhatTheCommandLineLeftOpen) {
    StationConfig config;
    config.ports = {{"ttyUSB0", "Bay 1"}, {"ttyUSB1", ""}};
    config.file = "/srv/a.txt";
    config.expect = "ok";
    config.reject = "bad";
    config.unitId = "S/N (\\d+)";
    config.verdictTimeout = 30;
    config.promptTimeout = 90;
    config.logDir = "/srv/logs";
    config.repeat = false;
    config.stationName = "Line 3";

    ParseResult r = ParseConsoleOptions({"--station", "s.json"});
    ASSERT_TRUE(r.ok) << r.error;
    ApplyStationConfig(r.options, config);
    const ConsoleOptions& all = r.options;
    EXPECT_EQ(all.ports, (std::vector<std::string>{"ttyUSB0", "ttyUSB1"}));
    EXPECT_EQ(all.labels, (std::vector<std::string>{"Bay 1", ""}));
    EXPECT_EQ(all.file, "/srv/a.txt");
    EXPECT_EQ(all.expect, "ok");
    EXPECT_EQ(all.reject, "bad");
    EXPECT_EQ(all.unitId, "S/N (\\d+)");
    EXPECT_EQ(all.verdictTimeout, 30);
    EXPECT_EQ(all.promptTimeout, 90);
    EXPECT_EQ(all.logDir, "/srv/logs");
    EXPECT_FALSE(all.repeat);
    EXPECT_EQ(all.stationName, "Line 3");

    r = ParseConsoleOptions({"--station", "s.json", "--file", "b.txt", "--verdict-timeout", "60",
                             "--expect", "fine", "--log-dir", "here", "--repeat", "--station-name",
                             "Spare", "--unit-id", "U(\\w)"});
    ASSERT_TRUE(r.ok) << r.error;
    ApplyStationConfig(r.options, config);
    const ConsoleOptions& mixed = r.options;
    EXPECT_EQ(mixed.file, "b.txt");
    EXPECT_EQ(mixed.verdictTimeout, 60);  // given as the default: still given
    EXPECT_EQ(mixed.expect, "fine");
    EXPECT_EQ(mixed.reject, "bad");
    EXPECT_EQ(mixed.logDir, "here");
    EXPECT_TRUE(mixed.repeat);
    EXPECT_EQ(mixed.stationName, "Spare");
    EXPECT_EQ(mixed.unitId, "U(\\w)");
    EXPECT_EQ(mixed.promptTimeout, 90);
}

}  // namespace
}  // namespace korv
