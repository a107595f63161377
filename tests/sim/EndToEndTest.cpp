// The built simulator on a real pty, driven like the program drives it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "SimHarness.h"
#include "sim/Crc32.h"
#include "sim/Texts.h"

namespace korv::sim::test {
namespace {

const std::string kReadyPrompt = "Ready to receive update file....\r\n";

std::string update_file(std::size_t size, char first = '*') {
    std::string data = std::string(1, first) + " ";
    for (std::size_t line = 0; data.size() < size; ++line) {
        data += "LINE " + std::to_string(line) + " 0123456789ABCDEF\r\n";
    }
    data.resize(size);
    return data;
}

std::string received_event(const std::string& data) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "RECEIVED %zu bytes crc32 %08x header %s", data.size(),
                  static_cast<unsigned>(crc32(data)), data.rfind("* ", 0) == 0 ? "ok" : "bad");
    return buf;
}

std::string without_flow_bytes(std::string text) {
    std::erase_if(text, [](char c) { return c == 0x11 || c == 0x13; });
    return text;
}

std::string temp_path(const std::string& name) {
    return ::testing::TempDir() + "korv_sim_" + std::to_string(::getpid()) + "_" + name;
}

// Starts the simulator, opens its line like the program and waits for the full prompt. A prompt
// written before the program's purge would be lost, so seeing it also shows the simulator
// waited for the line to be configured.
struct Session {
    explicit Session(std::vector<std::string> args, bool ixon = true) : sim(args), ixon_(ixon) {
        EXPECT_TRUE(sim.started());
        const auto deadline = deadline_in();
        while (sim.lines().empty() && Clock::now() < deadline) {
            pollfd p{sim.stdout_fd(), POLLIN, 0};
            ::poll(&p, 1, ms_left(deadline));
            sim.drain();
        }
        if (sim.lines().empty())
            return;
        line = std::make_unique<ToolLine>(sim.lines().front());
        EXPECT_TRUE(line->ok());
    }
    bool wait_prompt(const std::string& prompt = kReadyPrompt) {
        return line &&
               line->pump(
                   sim, "", [&] { return line->received().find(prompt) != std::string::npos; },
                   deadline_in()) &&
               (ixon_ || line->set_ixon(false));
    }
    SimProcess sim;
    std::unique_ptr<ToolLine> line;
    bool ixon_;
};

TEST(SimEndToEnd, ReceivesAnUpdateWithFlowControlAndSavesItExactly) {
    const std::string save = temp_path("save.bin");
    Session s({"--rate", "20000", "--end-silence-ms", "300", "--linger-ms", "0", "--save", save});
    ASSERT_TRUE(s.wait_prompt()) << s.sim.transcript();
    const std::string data = update_file(20 * 1024);
    ASSERT_TRUE(s.line->pump(
        s.sim, data, [&] { return s.sim.find("RECEIVED").has_value(); }, deadline_in()))
        << s.sim.transcript();
    EXPECT_EQ(*s.sim.find("RECEIVED"), received_event(data));
    EXPECT_EQ(s.sim.wait_exit(deadline_in()), 0);

    // A 1024-byte buffer drained at 20000 bytes/s cannot take 20 KiB without stopping the sender.
    EXPECT_GE(s.sim.count("XOFF"), 1u);
    EXPECT_EQ(s.sim.count("XOFF"), s.sim.count("XON"));
    const std::vector<std::string> order = {"OPENED", "BANNER", "PROMPT ready", "RECEIVING"};
    for (std::size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(s.sim.lines().at(i + 1), order[i]);
    }
    EXPECT_EQ(s.sim.lines().back(), "EXIT 0");

    std::ifstream in(save, std::ios::binary);
    std::stringstream saved;
    saved << in.rdbuf();
    EXPECT_TRUE(saved.str() == data) << "saved " << saved.str().size() << " bytes";
    std::remove(save.c_str());
}

TEST(SimEndToEnd, FlowControlBytesReachTheLine) {
    Session s({"--rate", "8000", "--end-silence-ms", "300", "--linger-ms", "0"}, false);
    ASSERT_TRUE(s.wait_prompt()) << s.sim.transcript();
    const std::string data = update_file(8 * 1024);
    ASSERT_TRUE(s.line->pump(
        s.sim, data, [&] { return s.sim.find("RECEIVED").has_value(); }, deadline_in()))
        << s.sim.transcript();
    EXPECT_EQ(*s.sim.find("RECEIVED"), received_event(data));
    std::string flow;
    for (char c : s.line->received()) {
        if (c == 0x13 || c == 0x11)
            flow += c == 0x13 ? 'S' : 'Q';
    }
    ASSERT_FALSE(flow.empty());
    EXPECT_EQ(flow.size(), s.sim.count("XOFF") + s.sim.count("XON"));
    for (std::size_t i = 0; i < flow.size(); ++i) {
        EXPECT_EQ(flow[i], i % 2 == 0 ? 'S' : 'Q') << "XOFF and XON must alternate: " << flow;
    }
    EXPECT_EQ(flow.back(), 'Q');
}

TEST(SimEndToEnd, FloodsWhileReceivingWithoutDeadlock) {
    const uint64_t flood = 300'000;
    Session s({"--rate", "0", "--end-silence-ms", "300", "--linger-ms", "0", "--flood-during",
               std::to_string(flood), "--prompt", "both", "--split", "4", "--false-prompts"});
    ASSERT_TRUE(s.wait_prompt("\nReady to receive update file....\r\n"));
    const std::size_t prompt_end = s.line->received().size();
    const std::string data = update_file(64 * 1024);
    ASSERT_TRUE(s.line->pump(
        s.sim, data,
        [&] {
            return s.sim.find("RECEIVED").has_value() &&
                   s.line->received().find("Update received") != std::string::npos;
        },
        deadline_in()))
        << s.sim.transcript() << s.line->received().size() << " bytes read, ending "
        << s.line->received().substr(s.line->received().size() - 100);
    EXPECT_EQ(*s.sim.find("RECEIVED"), received_event(data));
    EXPECT_EQ(s.sim.find("FLOODED"), "FLOODED " + std::to_string(flood) + " bytes");

    // The flood arrives whole and in order; the report may fall between two of its lines.
    std::string text = s.line->received().substr(prompt_end);
    const std::size_t report = text.find("\r\nUpdate received");
    ASSERT_NE(report, std::string::npos);
    text.erase(report, text.find("\r\n", report + 2) + 2 - report);
    FloodSource expected_source;
    expected_source.add(flood);
    std::string expected;
    while (expected_source.active())
        expected_source.produce(expected, 1 << 16);
    EXPECT_TRUE(text == expected) << "flood text differs, " << text.size() << " bytes";
}

TEST(SimEndToEnd, RepeatsAndReportsABadHeaderInItsExitStatus) {
    Session s({"--rate", "0", "--expect", "500", "--repeat", "2", "--between-ms", "50",
               "--linger-ms", "0"});
    ASSERT_TRUE(s.wait_prompt()) << s.sim.transcript();
    const std::string bad = update_file(500, '#');
    ASSERT_TRUE(s.line->pump(
        s.sim, bad, [&] { return s.sim.find("RECEIVED").has_value(); }, deadline_in()))
        << s.sim.transcript();
    EXPECT_EQ(*s.sim.find("RECEIVED"), received_event(bad));
    EXPECT_NE(received_event(bad).find("header bad"), std::string::npos);

    // The banner and prompt come again for the second update.
    const std::size_t seen = s.line->received().size();
    ASSERT_TRUE(s.line->pump(
        s.sim, "", [&] { return s.line->received().find(kReadyPrompt, seen) != std::string::npos; },
        deadline_in()))
        << s.sim.transcript();
    const std::string good = update_file(500);
    ASSERT_TRUE(s.line->pump(
        s.sim, good, [&] { return s.sim.count(received_event(good)) == 1; }, deadline_in()))
        << s.sim.transcript();
    EXPECT_EQ(s.sim.wait_exit(deadline_in()), 3);
    EXPECT_EQ(s.sim.count("PROMPT ready"), 2u);
}

TEST(SimEndToEnd, HangupCommandHangsUpTheLine) {
    Session s({"--linger-ms", "0"});
    ASSERT_TRUE(s.wait_prompt()) << s.sim.transcript();
    s.sim.send("hangup");
    ASSERT_TRUE(s.line->pump(
        s.sim, "", [&] { return s.line->hung_up(); }, deadline_in()))
        << s.sim.transcript();
    EXPECT_TRUE(s.sim.wait_for("HANGUP", deadline_in()).has_value());
    EXPECT_EQ(s.sim.wait_exit(deadline_in()), 0);
}

TEST(SimEndToEnd, CommandsSteerTheLineAndStopEndsItCleanly) {
    Session s({"--repeat", "0"}, false);
    ASSERT_TRUE(s.wait_prompt()) << s.sim.transcript();
    s.sim.send("say hello there");
    s.sim.send("xoff");
    s.sim.send("prompt xonxoff");
    ASSERT_TRUE(s.line->pump(
        s.sim, "",
        [&] {
            return without_flow_bytes(s.line->received())
                       .find(
                           "hello there\r\n"
                           "file using plain text transmission and XOn/Xoff handshaking....\r\n") !=
                   std::string::npos;
        },
        deadline_in()))
        << s.sim.transcript();
    EXPECT_TRUE(s.sim.wait_for("PROMPT xonxoff", deadline_in()).has_value());
    EXPECT_EQ(std::count(s.line->received().begin(), s.line->received().end(), '\x13'), 1);
    // End of stdin is not a reason to stop; a signal is.
    s.sim.close_stdin();
    ::kill(s.sim.pid(), SIGTERM);
    EXPECT_EQ(s.sim.wait_exit(deadline_in()), 0);
    EXPECT_EQ(s.sim.lines().back(), "EXIT 0");
}

}  // namespace
}  // namespace korv::sim::test

namespace korv::sim::test {
namespace {

TEST(SimEndToEnd, SilenceWhileHoldingXoffDoesNotEndTheUpdate) {
    // The hold is far longer than the end-of-update silence.
    Session s(
        {"--rate", "0", "--hold-xoff-ms", "1500", "--end-silence-ms", "200", "--linger-ms", "0"});
    ASSERT_TRUE(s.wait_prompt()) << s.sim.transcript();
    const std::string data = update_file(16 * 1024);
    ASSERT_TRUE(s.line->pump(
        s.sim, data, [&] { return s.sim.find("RECEIVED").has_value(); }, deadline_in()))
        << s.sim.transcript();
    EXPECT_EQ(*s.sim.find("RECEIVED"), received_event(data));
    const auto& l = s.sim.lines();
    const auto at = [&](const std::string& e) { return std::find(l.begin(), l.end(), e); };
    EXPECT_LT(at("RECEIVING"), at("XOFF"));
    EXPECT_LT(at("XON"), at(received_event(data)));
}

}  // namespace
}  // namespace korv::sim::test

namespace korv::sim::test {
namespace {

std::string link_target(const std::string& link) {
    char buf[4096];
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

TEST(SimEndToEnd, LinkNamesTheNewestSimulatorsLineAndIsRemovedByItsOwner) {
    const std::string link = temp_path("com5");
    ::unlink(link.c_str());
    // A program that opens the fixed name reaches the simulator's line.
    Session first({"--link", link, "--linger-ms", "0"});
    ASSERT_NE(first.line, nullptr);
    EXPECT_EQ(link_target(link), first.sim.lines().front());
    ToolLine byLink(link);
    EXPECT_TRUE(byLink.ok());

    // A second simulator takes the name over; the first one's exit leaves it alone.
    Session second({"--link", link, "--linger-ms", "0"});
    ASSERT_NE(second.line, nullptr);
    EXPECT_EQ(link_target(link), second.sim.lines().front());
    first.sim.send("quit");
    EXPECT_EQ(first.sim.wait_exit(deadline_in()), 0);
    EXPECT_EQ(link_target(link), second.sim.lines().front());

    second.sim.send("quit");
    EXPECT_EQ(second.sim.wait_exit(deadline_in()), 0);
    EXPECT_EQ(::access(link.c_str(), F_OK), -1) << "the link outlived its simulator";

    // A link that cannot be made is a system error, before the line is announced.
    SimProcess bad({"--link", temp_path("no-such-dir") + "/com5"});
    EXPECT_EQ(bad.wait_exit(deadline_in()), 1);
    EXPECT_TRUE(bad.lines().empty());
}

}  // namespace
}  // namespace korv::sim::test
