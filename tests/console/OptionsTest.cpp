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
}

ConsoleOptions With(std::string port, std::string file, bool sendNow = false, bool repeat = false) {
    ConsoleOptions o;
    o.port = std::move(port);
    o.file = std::move(file);
    o.sendNow = sendNow;
    o.repeat = repeat;
    return o;
}

ConsoleOptions Flag(bool ConsoleOptions::*flag) {
    ConsoleOptions o;
    o.*flag = true;
    return o;
}

INSTANTIATE_TEST_SUITE_P(
    Console, GoodOptions,
    ::testing::Values(GoodCase{{}, {}}, GoodCase{{"--console"}, {}},
                      GoodCase{{"--console", "--port", "ttyUSB0", "--file", "/tmp/u.txt"},
                               With("ttyUSB0", "/tmp/u.txt")},
                      GoodCase{{"--port=/dev/serial/by-id/usb-x", "--file=a b.txt"},
                               With("/dev/serial/by-id/usb-x", "a b.txt")},
                      // A value may itself look like an option's "=" form or start with a dash.
                      GoodCase{{"--file", "--odd=name"}, With("", "--odd=name")},
                      GoodCase{{"--send-now", "--repeat", "--port", "COM3"},
                               With("COM3", "", true, true)},
                      GoodCase{{"--list-ports"}, Flag(&ConsoleOptions::listPorts)},
                      // Numbers of ordinary length in patterns, and long ones that are text.
                      GoodCase{{"--expect", "(ok) serial 12345678901234 \\d{2,5}", "--reject",
                                "\\[E1234567890123\\]"},
                               {}},
                      GoodCase{{"-h"}, Flag(&ConsoleOptions::help)},
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
                      std::vector<std::string>{"--retry-failed", "r.jsonl", "--port", "COM1"}));

}  // namespace
}  // namespace korv
