#pragma once
// The tester's own verdict on an update: after a transfer the tester says whether it took the
// file ("Update received: ... header ok") or not. The operator names the lines that mean accepted
// (--expect) and rejected (--reject); the tester's output is cut into lines and each line is
// searched for the patterns, as grep does.

#include <chrono>
#include <optional>
#include <string>

#include "pattern/Pattern.h"

namespace korv {

// Lines are matched on at most this many characters: the rest of a longer line is dropped. The
// pattern engine needs no stack and no memory that grows with the line, and its time grows only
// linearly with the line's length; the bound keeps that time small for every tester the one
// thread of a batch serves (a flood without line ends, a stuck byte). 256 characters hold any
// line a tester prints as its verdict.
inline constexpr size_t kMaxTesterLine = 256;

struct VerdictRules {
    std::optional<CPattern> expect;    // a line that means accepted
    std::optional<CPattern> reject;    // a line that means rejected
    std::chrono::seconds timeout{60};  // how long a completed transfer waits for either
    // A line of the tester's before its prompt that names the unit (its serial number): what the
    // pattern's one capture group matched is the unit's identity in its record and report.
    std::optional<CPattern> unitId;

    bool Wanted() const { return expect.has_value() || reject.has_value(); }
};

// The rules of --expect, --reject, --verdict-timeout and --unit-id (patterns already checked by
// the parser; an empty pattern is none).
VerdictRules MakeVerdictRules(const std::string& expect, const std::string& reject,
                              int timeoutSeconds, const std::string& unitId = {});

// Compiles an operator's pattern (pattern/Pattern.h: a subset of ECMAScript's syntax); nullopt
// with a message "'<pattern>' is not a regular expression: <reason>" when it is not one.
std::optional<CPattern> CompilePattern(const std::string& pattern, std::string* error);
// As CompilePattern, for the unit's identity: the pattern must also have exactly one capture
// group, the part of the line that is the identity ("'<pattern>' needs exactly one capture
// group, ( ), around the unit's identity; it has 0").
std::optional<CPattern> CompileUnitPattern(const std::string& pattern, std::string* error);

// The unit's identity in line (cut to kMaxTesterLine): what the unit pattern's capture group
// matched; empty when the line does not match or the group matched nothing.
std::string MatchUnit(const CPattern& unitId, const std::string& line);

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
