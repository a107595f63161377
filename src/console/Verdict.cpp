#include "console/Verdict.h"

namespace korv {

std::optional<std::regex> CompilePattern(const std::string& pattern, std::string* error) {
    try {
        return std::regex(pattern, std::regex::ECMAScript);
    } catch (const std::regex_error& e) {
        if (error != nullptr) {
            *error = "'" + pattern + "' is not a regular expression: " + e.what();
        }
        return std::nullopt;
    }
}

VerdictRules MakeVerdictRules(const ConsoleOptions& options) {
    VerdictRules rules;
    if (!options.expect.empty()) {
        rules.expect = CompilePattern(options.expect, nullptr);
    }
    if (!options.reject.empty()) {
        rules.reject = CompilePattern(options.reject, nullptr);
    }
    rules.timeout = std::chrono::seconds(options.verdictTimeout);
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
