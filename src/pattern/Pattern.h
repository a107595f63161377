#pragma once
// The operator's patterns for the tester's lines (--expect, --reject): a regular expression
// engine whose matching time grows only linearly with the text. A pattern compiles to a small
// program (a Thompson automaton) that is run over the text by a Pike machine: every position of
// the text is read once, with at most one thread per instruction, so a search costs
// O(program size x text length) steps, keeps memory bounded by the program's size and never
// recurses on the text. Threads keep the priority a backtracking engine would give them, so the
// leftmost match and its first capture group are the ones ECMAScript finds.
//
// Syntax, a subset of ECMAScript's: literals; '.' (any byte but CR and LF); \d \D \w \W \s \S
// \b \B; \t \n \r \f \v \0 \xHH \uHHHH (up to \u00FF: matching is on bytes); a backslash before
// any punctuation; classes [...] with ranges, negation, class escapes, ']' taken as itself when
// it comes first and '-' when it comes first or last; ^ and $ (the start and end of the whole
// text); groups ( ) and (?: ); alternation |; * + ? {n} {n,} {n,m} and their lazy forms with '?'.
// What would break the linear bound or is not supported is refused with a reason:
// back-references, lookaround, named groups, counts above kMaxPatternCount, programs above
// kMaxPatternProgram instructions.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korv {

inline constexpr int kMaxPatternCount = 1000;        // largest n or m in {n,m}
inline constexpr size_t kMaxPatternProgram = 20000;  // instructions of a compiled pattern
inline constexpr int kMaxPatternNesting = 100;       // groups inside groups

class CPattern {
  public:
    // nullopt with a one-line reason in *error (which does not repeat the pattern) when the
    // pattern is not one this engine accepts.
    static std::optional<CPattern> Compile(std::string_view pattern, std::string* error);

    // True when the pattern matches somewhere in text (a search, not a whole-text match).
    bool Search(std::string_view text) const;
    // As Search; on a match *group1 gets what capture group 1 matched, empty when the pattern
    // has no such group or it took no part in the match.
    bool Search(std::string_view text, std::string* group1) const;

    size_t Groups() const { return m_groups; }  // capture groups, not counting the whole match
    size_t Size() const { return m_program.size(); }

    enum class Op : uint8_t {
        Byte,       // the byte arg
        Set,        // a byte of set number arg
        Split,      // go on at x, and with lower priority at y
        Jmp,        // go on at x
        Save,       // arg 0: group 1 starts here; 1: it ends here
        Reset,      // group 1 forgets what it matched (a new pass of a repeat around it)
        LineStart,  // ^
        LineEnd,    // $
        WordB,      // \b
        NotWordB,   // \B
        Match,
    };
    struct Inst {
        Op op;
        uint32_t arg = 0;  // the byte, set number or save slot
        uint32_t x = 0;
        uint32_t y = 0;
    };
    struct ByteSet {
        uint64_t bits[4] = {};
        bool Has(unsigned char c) const { return (bits[c >> 6] >> (c & 63)) & 1U; }
        void Add(unsigned char c) { bits[c >> 6] |= uint64_t{1} << (c & 63); }
    };

  private:
    bool Run(std::string_view text, std::string* group1) const;

    std::vector<Inst> m_program;
    std::vector<ByteSet> m_sets;
    size_t m_groups = 0;
};

}  // namespace korv
