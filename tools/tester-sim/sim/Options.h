#pragma once
// Command-line options of the simulated tester. Tests and scripts drive it through these, so the
// parser rejects anything it does not understand instead of guessing.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korv::sim {

enum class PromptKind { Ready, XonXoff, Both, None };
// What the tester says on the line once an update has ended.
enum class VerdictKind { Accept, Reject, Silent };

std::optional<PromptKind> parse_prompt_kind(const std::string& word);
const char* prompt_kind_name(PromptKind kind);

struct Options {
    PromptKind prompt = PromptKind::Ready;
    unsigned split = 1;
    bool false_prompts = false;
    std::size_t buffer = 1024;
    uint64_t rate = 5760;  // 57600 baud, 8N1: ten bit times per byte
    std::size_t high = 0;  // resolved from the buffer size when not given
    std::size_t low = 0;
    uint64_t end_silence_ms = 1000;
    uint64_t expect = 0;  // 0: the update ends on silence only
    std::string save;
    uint64_t repeat = 1;  // 0: for ever
    uint64_t between_ms = 500;
    uint64_t linger_ms = 500;
    bool wait_open = true;
    // With wait_open: the rate alone marks the program's settings (a device server in front runs
    // the line without flow control and leaves XON/XOFF to its client).
    bool wait_rate_only = false;
    uint64_t delay_ms = 200;
    uint64_t hold_xoff_ms = 0;
    uint64_t flood_during = 0;
    VerdictKind verdict = VerdictKind::Accept;
    std::string link;  // a symbolic link re-pointed at the pty's slave for the simulator's life
    // The serial number the banner names; empty: none.
    std::string serial;
};

struct ParseResult {
    Options options;
    bool help = false;
    std::string error;  // non-empty: a usage error, to be shown with the usage text
};

ParseResult parse_options(const std::vector<std::string>& args);
std::string usage_text(const std::string& program);

}  // namespace korv::sim
