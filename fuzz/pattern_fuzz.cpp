// The pattern engine of --expect and --reject: fuzzed bytes compiled as a pattern and searched
// in fuzzed text.
//
// Input: len:u8, the pattern (len bytes), then the text (the rest).
//
// Properties:
//   - a pattern is compiled or refused with a one-line reason; a compiled one stays within the
//     program bound;
//   - a search answers the same with and without group 1, and group 1 is a piece of the text;
//   - wrapping the pattern in (?: ) changes nothing, and wrapping it in ( ) adds one group that
//     holds the part of the text the match covers (the time of each search is the fuzzer's own
//     time-out: a search is linear in the text, so no input may come near it).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "FuzzInput.h"
#include "pattern/Pattern.h"

namespace korv::fuzz {
namespace {

void Run(FuzzInput& in) {
    const std::string pattern(in.Bytes(in.U8()));
    const std::string text(in.Rest());

    std::string error;
    const std::optional<CPattern> p = CPattern::Compile(pattern, &error);
    if (!p) {
        KORV_FUZZ_CHECK(!error.empty());
        KORV_FUZZ_CHECK(error.find('\n') == std::string::npos);
        return;
    }
    KORV_FUZZ_CHECK(p->Size() <= kMaxPatternProgram);

    std::string group1 = "unset";
    const bool found = p->Search(text);
    KORV_FUZZ_CHECK(p->Search(text, &group1) == found);
    if (found) {
        KORV_FUZZ_CHECK(group1.empty() || text.find(group1) != std::string::npos);
        KORV_FUZZ_CHECK(p->Groups() > 0 || group1.empty());
    }

    std::string wrapError;
    const std::optional<CPattern> plain = CPattern::Compile("(?:" + pattern + ")", &wrapError);
    if (plain) {
        KORV_FUZZ_CHECK(plain->Search(text) == found);
    }
    const std::optional<CPattern> whole = CPattern::Compile("(" + pattern + ")", &wrapError);
    if (whole) {
        KORV_FUZZ_CHECK(whole->Groups() == p->Groups() + 1);
        std::string matched = "unset";
        KORV_FUZZ_CHECK(whole->Search(text, &matched) == found);
        if (found) {
            KORV_FUZZ_CHECK(text.find(matched) != std::string::npos);
        }
    }
}

}  // namespace
}  // namespace korv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    korv::fuzz::FuzzInput in(data, size);
    korv::fuzz::Run(in);
    return 0;
}
