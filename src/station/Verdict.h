#pragma once
// The tester's own verdict on an update: after a transfer the tester says whether it took the
// file ("Update received: ... header ok") or not. The operator names the lines that mean accepted
// (--expect) and rejected (--reject); the tester's output is cut into lines and each line is
// searched for the patterns, as grep does.

#include <chrono>
#include <optional>
#include <regex>
#include <string>

namespace korv {

// Lines are matched on at most this many characters: the rest of a longer line is dropped.
// std::regex matches by recursion, about one level per character, so an unbounded line from the
// tester (a flood without line ends, a stuck byte) could exhaust the stack. Measured with GCC 12's
// library: "(x|y)*z" over 256 characters needs between 128 and 256 KiB of stack, and a line of
// 100,000 overflows 256 KiB; the Windows program's main thread has 2 MiB, Linux 8 MiB. 256
// characters hold any line a tester prints as its verdict.
inline constexpr size_t kMaxTesterLine = 256;

struct VerdictRules {
    std::optional<std::regex> expect;  // a line that means accepted
    std::optional<std::regex> reject;  // a line that means rejected
    std::chrono::seconds timeout{60};  // how long a completed transfer waits for either

    bool Wanted() const { return expect.has_value() || reject.has_value(); }
};

// The rules of --expect, --reject and --verdict-timeout (patterns already checked by the parser;
// an empty pattern is none).
VerdictRules MakeVerdictRules(const std::string& expect, const std::string& reject,
                              int timeoutSeconds);

// Compiles an operator's pattern (ECMAScript syntax); nullopt with a message when it is not one.
std::optional<std::regex> CompilePattern(const std::string& pattern, std::string* error);

enum class Verdict { None, Accepted, Rejected };

// What line says: Rejected when it matches the reject pattern (that wins when both match),
// Accepted when it matches the expect pattern, else None. The line is cut to kMaxTesterLine.
Verdict MatchVerdict(const VerdictRules& rules, const std::string& line);

// Cuts the tester's byte stream into lines: CR, LF and CR LF end a line; a line longer than
// kMaxTesterLine keeps its first kMaxTesterLine characters.
class CLineSplitter {
  public:
    // True when ch has ended a line that is not blank; Line() holds it until the next Feed.
    bool Feed(char ch);
    const std::string& Line() const { return m_done; }

  private:
    std::string m_line;
    std::string m_done;
};

}  // namespace korv
