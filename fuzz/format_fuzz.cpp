// The message formatter with a fuzzed format and up to three fuzzed insertions.
//
// Input: head:u8, then per insertion len:u8 bytes[len], then the format (the rest).
//   head % 4 insertions; head bit 7: the insertions are made of escapes instead ("%1" repeated
//   len % 8 times, then "%n%%" when len bit 3 is set), which must come out as written.
//
// Properties:
//   - every output byte comes from the format or from one insertion per escape, so the output is
//     at most format + (number of '%' in the format) x (longest insertion) long;
//   - inserted strings are never scanned again: the output holds no more '%' than the format has
//     plus, per escape, the most any insertion holds;
//   - a format without '%' comes out unchanged; the result depends on nothing but the arguments.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "view/Strings.h"

namespace korv::fuzz {
namespace {

size_t Percents(const std::string& s) {
    return static_cast<size_t>(std::count(s.begin(), s.end(), '%'));
}

void Run(FuzzInput& in) {
    const uint8_t head = in.U8();
    const bool escapes = (head & 0x80) != 0;
    std::vector<std::string> inserts(head % 4);
    for (std::string& s : inserts) {
        const uint8_t len = in.U8();
        if (escapes) {
            for (int k = 0; k < len % 8; ++k) {
                s += "%1";
            }
            if ((len & 8) != 0) {
                s += "%n%%";
            }
        } else {
            s = std::string(in.Bytes(len));
        }
    }
    const std::string format(in.Rest());

    const std::string out = FormatMessageString(format, inserts);

    size_t longest = 0;
    size_t mostPercents = 0;
    for (const std::string& s : inserts) {
        longest = std::max(longest, s.size());
        mostPercents = std::max(mostPercents, Percents(s));
    }
    const size_t escapesInFormat = Percents(format);
    KORV_FUZZ_CHECK(out.size() <= format.size() + escapesInFormat * longest);
    KORV_FUZZ_CHECK(Percents(out) <= escapesInFormat + escapesInFormat * mostPercents);
    if (escapesInFormat == 0) {
        KORV_FUZZ_CHECK(out == format);
    }
    KORV_FUZZ_CHECK(FormatMessageString(format, inserts) == out);
    // With nothing to insert, escapes only shrink or keep their text.
    KORV_FUZZ_CHECK(FormatMessageString(format, {}).size() <= format.size());
}

}  // namespace
}  // namespace korv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    korv::fuzz::FuzzInput in(data, size);
    korv::fuzz::Run(in);
    return 0;
}
