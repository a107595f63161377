// The simulated tester's pure logic: checksum, buffer marks, pacing, options and texts.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/Crc32.h"
#include "sim/FlowControl.h"
#include "sim/Options.h"
#include "sim/RateLimiter.h"
#include "sim/Texts.h"

namespace korv::sim {
namespace {

TEST(Crc32, MatchesTheStandardCheckValueAndIsIncremental) {
    EXPECT_EQ(crc32("123456789"), 0xCBF43926u);
    EXPECT_EQ(crc32(""), 0u);
    EXPECT_EQ(crc32("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
    const std::string text = "* update line\r\nmore\r\n";
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        uint32_t s = crc32_update(crc32_init(), text.data(), cut);
        s = crc32_update(s, text.data() + cut, text.size() - cut);
        EXPECT_EQ(crc32_final(s), crc32(text)) << "cut at " << cut;
    }
}

// Each step moves bytes in (+) or out (-) of a 1024-byte buffer with marks at 768 and 256.
struct FlowStep {
    int delta;
    FlowAction expected;
    bool stopped_after;
};

TEST(FlowControl, MarksGiveHysteresis) {
    const std::vector<FlowStep> steps = {
        {+768, FlowAction::None, false},      // at the high mark, not above it
        {+1, FlowAction::SendXoff, true},     // 769
        {+255, FlowAction::None, true},       // full, no second XOFF
        {-768, FlowAction::None, true},       // 256: at the low mark, not below it
        {-1, FlowAction::SendXon, false},     // 255
        {-255, FlowAction::None, false},      // empty
        {+1000, FlowAction::SendXoff, true},  // one big read jumps past the mark
        {-1000, FlowAction::SendXon, false},
    };
    FlowControl f(1024, 768, 256);
    int step = 0;
    for (const auto& s : steps) {
        const FlowAction a = s.delta > 0 ? f.on_received(static_cast<std::size_t>(s.delta))
                                         : f.on_consumed(static_cast<std::size_t>(-s.delta));
        EXPECT_EQ(a, s.expected) << "step " << step;
        EXPECT_EQ(f.stopped(), s.stopped_after) << "step " << step;
        ++step;
    }
    EXPECT_EQ(f.room(), 1024u);
}

TEST(FlowControl, HoldAndMarksCombine) {
    FlowControl f(1024, 768, 256);
    EXPECT_EQ(f.hold(), FlowAction::SendXoff);
    EXPECT_EQ(f.on_received(900), FlowAction::None);  // already stopped by the hold
    EXPECT_EQ(f.hold(), FlowAction::SendXoff);        // an explicit XOFF always goes out
    // Releasing while the buffer is still over its mark would overrun it: XON waits.
    EXPECT_EQ(f.release(), FlowAction::None);
    EXPECT_TRUE(f.stopped());
    EXPECT_EQ(f.on_consumed(700), FlowAction::SendXon);

    EXPECT_EQ(f.hold(), FlowAction::SendXoff);
    EXPECT_EQ(f.reset(), FlowAction::None);  // an ended update does not end a hold
    EXPECT_EQ(f.release(), FlowAction::SendXon);
    EXPECT_EQ(f.release(), FlowAction::SendXon);  // unsticks a sender even with no hold

    EXPECT_EQ(f.on_received(1024), FlowAction::SendXoff);
    EXPECT_EQ(f.reset(), FlowAction::SendXon);
    EXPECT_EQ(f.fill(), 0u);
}

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

TEST(RateLimiter, IrregularWakeUpsDoNotDrift) {
    RateLimiter r(5760, 57);
    const auto t0 = RateLimiter::Clock::time_point{} + std::chrono::hours(1);
    r.start(t0);
    uint64_t consumed = 0;
    auto t = t0;
    // A busy sender: there is always a backlog, wake-ups come at odd, sometimes long intervals.
    for (int i = 0; i < 5000; ++i) {
        t += nanoseconds(137'000 + (i % 7) * 1'234'567 + (i % 97 == 0 ? 40'000'000 : 0));
        const uint64_t n = r.available(t);
        r.consume(n);
        consumed += n;
    }
    const auto elapsed = std::chrono::duration_cast<nanoseconds>(t - t0).count();
    EXPECT_EQ(consumed, static_cast<uint64_t>(elapsed) * 5760 / 1'000'000'000);
}

TEST(RateLimiter, IdleTimeEarnsOnlyABurst) {
    RateLimiter r(1000, 10);
    const auto t0 = RateLimiter::Clock::time_point{} + std::chrono::hours(1);
    r.start(t0);
    EXPECT_EQ(r.available(t0), 0u);
    EXPECT_EQ(r.available(t0 + milliseconds(5)), 5u);
    r.consume(5);
    EXPECT_EQ(r.when_available(1), t0 + milliseconds(6));
    EXPECT_EQ(r.when_available(3), t0 + milliseconds(8));

    const auto later = t0 + std::chrono::seconds(30);
    r.resume(later);
    EXPECT_EQ(r.available(later), 10u);
    r.consume(10);
    EXPECT_EQ(r.available(later), 0u);
    EXPECT_EQ(r.when_available(1), later + milliseconds(1));
    // Below the burst, resuming changes nothing.
    r.resume(later + milliseconds(4));
    EXPECT_EQ(r.available(later + milliseconds(4)), 4u);

    RateLimiter unthrottled(0, 1);
    unthrottled.start(t0);
    EXPECT_GE(unthrottled.available(t0), uint64_t{1} << 40);
}

TEST(Options, DefaultsAndMarks) {
    auto r = parse_options({});
    ASSERT_TRUE(r.error.empty()) << r.error;
    EXPECT_EQ(r.options.buffer, 1024u);
    EXPECT_EQ(r.options.high, 768u);
    EXPECT_EQ(r.options.low, 256u);
    EXPECT_EQ(r.options.rate, 5760u);

    r = parse_options({"--buffer=4096", "--high", "90%", "--low", "100", "--prompt", "both",
                       "--wait-open", "off", "--false-prompts", "--repeat", "0"});
    ASSERT_TRUE(r.error.empty()) << r.error;
    EXPECT_EQ(r.options.high, 3686u);
    EXPECT_EQ(r.options.low, 100u);
    EXPECT_EQ(r.options.prompt, PromptKind::Both);
    EXPECT_FALSE(r.options.wait_open);
    EXPECT_TRUE(r.options.false_prompts);
    EXPECT_EQ(r.options.repeat, 0u);
}

TEST(Options, RejectsWhatItCannotHonour) {
    const std::vector<std::vector<std::string>> bad = {
        {"--rate", "fast"},     {"--rate", "-1"},
        {"--buffer", "8"},      {"--high", "10", "--low", "20"},
        {"--high", "2000"},     {"--high", "101%"},
        {"--prompt", "maybe"},  {"--split", "0"},
        {"--wait-open", "yes"}, {"--expect"},
        {"--bogus", "1"},       {"stray"},
    };
    for (const auto& args : bad) {
        EXPECT_FALSE(parse_options(args).error.empty()) << args[0];
    }
    EXPECT_TRUE(parse_options({"--help"}).help);
}

TEST(Texts, PromptPiecesReassemble) {
    const std::string both = prompt_text(PromptKind::Both);
    EXPECT_NE(both.find(prompt_text(PromptKind::XonXoff)), std::string::npos);
    EXPECT_EQ(both.substr(both.size() - prompt_text(PromptKind::Ready).size()),
              prompt_text(PromptKind::Ready));
    for (unsigned n : {1u, 2u, 7u, 1000u}) {
        const auto pieces = split_pieces(both, n);
        std::string joined;
        for (const auto& p : pieces) {
            EXPECT_FALSE(p.empty());
            joined += p;
        }
        EXPECT_EQ(joined, both);
        EXPECT_EQ(pieces.size(), std::min<std::size_t>(n, both.size()));
    }
}

TEST(Texts, FloodProducesExactlyTheRequestedBytesInWholeLines) {
    FloodSource f;
    f.add(1000);
    std::string out;
    f.produce(out, 130);  // stops after the line that crosses the limit
    EXPECT_EQ(out.size(), 3 * kFloodLineLength);
    while (f.active())
        f.produce(out, 100);
    ASSERT_EQ(out.size(), 1000u);
    EXPECT_EQ(out.substr(0, kFloodLineLength), flood_line(1));
    EXPECT_EQ(out.substr(15 * kFloodLineLength, kFloodLineLength), flood_line(16));
    EXPECT_EQ(out.find_first_of(std::string("\x11\x13", 2)), std::string::npos);
}

}  // namespace
}  // namespace korv::sim
