// The built simulator on a real pty, driven like the program drives it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "SimHarness.h"
#include "TempDir.h"
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

// Starts the simulator, opens its line like the program and waits for the full prompt. A prompt
// written before the program's purge would be lost, so seeing it also shows the simulator
// waited for the line to be configured.
struct Session {
    explicit Session(std::vector<std::string> args, bool ixon = true)
        : sim(std::move(args)), ixon_(ixon) {
        EXPECT_TRUE(sim.ok());
        if (!sim.ok())
            return;
        line = std::make_unique<ToolLine>(sim.Port());
        EXPECT_TRUE(line->ok());
    }
    bool wait_prompt(const std::string& prompt = kReadyPrompt) {
        return line &&
               line->pump(
                   sim, "", [&] { return line->received().find(prompt) != std::string::npos; },
                   deadline_in()) &&
               (ixon_ || line->set_ixon(false));
    }
    Sim sim;
    std::unique_ptr<ToolLine> line;
    bool ixon_;
};

TEST(SimEndToEnd, ReceivesAnUpdateWithFlowControlAndSavesItExactly) {
    korv::test::TempDir dir;
    const std::string save = dir / "save.bin";
    Session s({"--rate", "20000", "--end-silence-ms", "300", "--linger-ms", "0", "--save", save});
    ASSERT_TRUE(s.wait_prompt()) << s.sim.Transcript();
    const std::string data = update_file(20 * 1024);
    ASSERT_TRUE(s.line->pump(
        s.sim, data, [&] { return s.sim.Find("RECEIVED").has_value(); }, deadline_in()))
        << s.sim.Transcript();
    EXPECT_EQ(*s.sim.Find("RECEIVED"), received_event(data));
    EXPECT_EQ(s.sim.WaitExit(), 0);

    // A 1024-byte buffer drained at 20000 bytes/s cannot take 20 KiB without stopping the sender.
    EXPECT_GE(s.sim.Count("XOFF"), 1u);
    EXPECT_EQ(s.sim.Count("XOFF"), s.sim.Count("XON"));
    const std::vector<std::string> order = {"OPENED", "BANNER", "PROMPT ready", "RECEIVING"};
    for (std::size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(s.sim.Events().at(i), order[i]);
    }
    EXPECT_EQ(s.sim.Events().back(), "EXIT 0");

    const std::string saved = korv::test::ReadWholeFile(save);
    EXPECT_TRUE(saved == data) << "saved " << saved.size() << " bytes";
}

TEST(SimEndToEnd, FlowControlBytesReachTheLine) {
    Session s({"--rate", "8000", "--end-silence-ms", "300", "--linger-ms", "0"}, false);
    ASSERT_TRUE(s.wait_prompt()) << s.sim.Transcript();
    const std::string data = update_file(8 * 1024);
    ASSERT_TRUE(s.line->pump(
        s.sim, data, [&] { return s.sim.Find("RECEIVED").has_value(); }, deadline_in()))
        << s.sim.Transcript();
    EXPECT_EQ(*s.sim.Find("RECEIVED"), received_event(data));
    std::string flow;
    for (char c : s.line->received()) {
        if (c == 0x13 || c == 0x11)
            flow += c == 0x13 ? 'S' : 'Q';
    }
    ASSERT_FALSE(flow.empty());
    EXPECT_EQ(flow.size(), s.sim.Count("XOFF") + s.sim.Count("XON"));
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
            return s.sim.Find("RECEIVED").has_value() &&
                   s.line->received().find("Update received") != std::string::npos;
        },
        deadline_in()))
        << s.sim.Transcript() << s.line->received().size() << " bytes read, ending "
        << s.line->received().substr(s.line->received().size() - 100);
    EXPECT_EQ(*s.sim.Find("RECEIVED"), received_event(data));
    EXPECT_EQ(s.sim.Find("FLOODED"), "FLOODED " + std::to_string(flood) + " bytes");

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
    ASSERT_TRUE(s.wait_prompt()) << s.sim.Transcript();
    const std::string bad = update_file(500, '#');
    ASSERT_TRUE(s.line->pump(
        s.sim, bad, [&] { return s.sim.Find("RECEIVED").has_value(); }, deadline_in()))
        << s.sim.Transcript();
    EXPECT_EQ(*s.sim.Find("RECEIVED"), received_event(bad));
    EXPECT_NE(received_event(bad).find("header bad"), std::string::npos);

    // The banner and prompt come again for the second update.
    const std::size_t seen = s.line->received().size();
    ASSERT_TRUE(s.line->pump(
        s.sim, "", [&] { return s.line->received().find(kReadyPrompt, seen) != std::string::npos; },
        deadline_in()))
        << s.sim.Transcript();
    const std::string good = update_file(500);
    ASSERT_TRUE(s.line->pump(
        s.sim, good, [&] { return s.sim.Count(received_event(good)) == 1; }, deadline_in()))
        << s.sim.Transcript();
    EXPECT_EQ(s.sim.WaitExit(), 3);
    EXPECT_EQ(s.sim.Count("PROMPT ready"), 2u);
}

TEST(SimEndToEnd, HangupCommandHangsUpTheLine) {
    Session s({"--linger-ms", "0"});
    ASSERT_TRUE(s.wait_prompt()) << s.sim.Transcript();
    s.sim.Command("hangup");
    ASSERT_TRUE(s.line->pump(
        s.sim, "", [&] { return s.line->hung_up(); }, deadline_in()))
        << s.sim.Transcript();
    EXPECT_TRUE(s.sim.WaitEvent("HANGUP").has_value());
    EXPECT_EQ(s.sim.WaitExit(), 0);
}

TEST(SimEndToEnd, CommandsSteerTheLineAndStopEndsItCleanly) {
    Session s({"--repeat", "0"}, false);
    ASSERT_TRUE(s.wait_prompt()) << s.sim.Transcript();
    s.sim.Command("say hello there");
    s.sim.Command("xoff");
    s.sim.Command("prompt xonxoff");
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
        << s.sim.Transcript();
    EXPECT_TRUE(s.sim.WaitEvent("PROMPT xonxoff").has_value());
    EXPECT_EQ(std::count(s.line->received().begin(), s.line->received().end(), '\x13'), 1);
    // End of stdin is not a reason to stop; a signal is.
    s.sim.Process().CloseStdin();
    ::kill(s.sim.Process().Pid(), SIGTERM);
    EXPECT_EQ(s.sim.WaitExit(), 0);
    EXPECT_EQ(s.sim.Events().back(), "EXIT 0");
}

}  // namespace
}  // namespace korv::sim::test

namespace korv::sim::test {
namespace {

TEST(SimEndToEnd, SilenceWhileHoldingXoffDoesNotEndTheUpdate) {
    // The hold is far longer than the end-of-update silence.
    Session s(
        {"--rate", "0", "--hold-xoff-ms", "1500", "--end-silence-ms", "200", "--linger-ms", "0"});
    ASSERT_TRUE(s.wait_prompt()) << s.sim.Transcript();
    const std::string data = update_file(16 * 1024);
    ASSERT_TRUE(s.line->pump(
        s.sim, data, [&] { return s.sim.Find("RECEIVED").has_value(); }, deadline_in()))
        << s.sim.Transcript();
    EXPECT_EQ(*s.sim.Find("RECEIVED"), received_event(data));
    const auto& l = s.sim.Events();
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
    korv::test::TempDir dir;
    const std::string link = dir / "com5";
    // A program that opens the fixed name reaches the simulator's line.
    Session first({"--link", link, "--linger-ms", "0"});
    ASSERT_NE(first.line, nullptr);
    EXPECT_EQ(link_target(link), first.sim.Port());
    ToolLine byLink(link);
    EXPECT_TRUE(byLink.ok());

    // A second simulator takes the name over; the first one's exit leaves it alone.
    Session second({"--link", link, "--linger-ms", "0"});
    ASSERT_NE(second.line, nullptr);
    EXPECT_EQ(link_target(link), second.sim.Port());
    first.sim.Command("quit");
    EXPECT_EQ(first.sim.WaitExit(), 0);
    EXPECT_EQ(link_target(link), second.sim.Port());

    second.sim.Command("quit");
    EXPECT_EQ(second.sim.WaitExit(), 0);
    EXPECT_EQ(::access(link.c_str(), F_OK), -1) << "the link outlived its simulator";

    // A link that cannot be made is a system error, before the line is announced.
    korv::test::Sim bad({"--link", dir / "no-such-dir/com5"});
    EXPECT_EQ(bad.WaitExit(), 1);
    EXPECT_TRUE(bad.Port().empty());
}

}  // namespace
}  // namespace korv::sim::test
