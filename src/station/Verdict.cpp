#include "station/Verdict.h"

namespace korv {

namespace {

// The regular expression library reads the number of a back-reference (\12) and the counts of
// a repeat (a{2,5}) into a machine integer without checking for overflow, which is undefined
// behaviour; a number longer than this is refused before it gets there. No real pattern needs
// one. Digits after any backslash or inside braces count, which also covers the few places
// where the library would take them as text.
constexpr size_t kMaxPatternNumber = 9;

bool HasOverlongNumber(const std::string& pattern) {
    const auto digit = [&](size_t i) {
        return i < pattern.size() && pattern[i] >= '0' && pattern[i] <= '9';
    };
    bool inBraces = false;
    for (size_t i = 0; i < pattern.size();) {
        const char c = pattern[i++];
        bool number = false;
        if (c == '\\') {
            number = digit(i);
            if (!number && i < pattern.size()) {
                ++i;  // the escaped character is text
            }
        } else if (c == '{') {
            inBraces = true;
            number = true;
        } else if (c == ',' && inBraces) {
            number = true;
        } else if (c == '}') {
            inBraces = false;
        }
        size_t digits = 0;
        for (; number && digit(i); ++i) {
            ++digits;
        }
        if (digits > kMaxPatternNumber) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<std::regex> CompilePattern(const std::string& pattern, std::string* error) {
    if (HasOverlongNumber(pattern)) {
        if (error != nullptr) {
            *error = "'" + pattern + "' is not a regular expression: a back-reference or repeat " +
                     "count has more than " + std::to_string(kMaxPatternNumber) + " digits";
        }
        return std::nullopt;
    }
    try {
        return std::regex(pattern, std::regex::ECMAScript);
    } catch (const std::regex_error& e) {
        if (error != nullptr) {
            *error = "'" + pattern + "' is not a regular expression: " + e.what();
        }
        return std::nullopt;
    }
}

VerdictRules MakeVerdictRules(const std::string& expect, const std::string& reject,
                              int timeoutSeconds) {
    VerdictRules rules;
    if (!expect.empty()) {
        rules.expect = CompilePattern(expect, nullptr);
    }
    if (!reject.empty()) {
        rules.reject = CompilePattern(reject, nullptr);
    }
    rules.timeout = std::chrono::seconds(timeoutSeconds);
    return rules;
}

Verdict MatchVerdict(const VerdictRules& rules, const std::string& line) {
    const std::string bounded = line.substr(0, kMaxTesterLine);
    if (rules.reject && std::regex_search(bounded, *rules.reject)) {
        return Verdict::Rejected;
    }
    if (rules.expect && std::regex_search(bounded, *rules.expect)) {
        return Verdict::Accepted;
    }
    return Verdict::None;
}

bool CLineSplitter::Feed(char ch) {
    if (ch != '\r' && ch != '\n') {
        if (m_line.size() < kMaxTesterLine) {
            m_line += ch;
        }
        return false;
    }
    // A line is ended by CR, LF or both; the second of a pair ends an empty line, which is
    // skipped like any blank one.
    m_done.swap(m_line);
    m_line.clear();
    return m_done.find_first_not_of(" \t") != std::string::npos;
}

}  // namespace korv
