#include "station/Verdict.h"

namespace korv {

std::optional<CPattern> CompilePattern(const std::string& pattern, std::string* error) {
    std::string reason;
    std::optional<CPattern> compiled = CPattern::Compile(pattern, &reason);
    if (!compiled && error != nullptr) {
        *error = "'" + pattern + "' is not a regular expression: " + reason;
    }
    return compiled;
}

std::optional<CPattern> CompileUnitPattern(const std::string& pattern, std::string* error) {
    std::optional<CPattern> compiled = CompilePattern(pattern, error);
    if (compiled && compiled->Groups() != 1) {
        if (error != nullptr) {
            *error = "'" + pattern +
                     "' needs exactly one capture group, ( ), around the unit's identity; it has " +
                     std::to_string(compiled->Groups());
        }
        return std::nullopt;
    }
    return compiled;
}

std::string MatchUnit(const CPattern& unitId, const std::string& line) {
    std::string unit;
    if (!unitId.Search(std::string_view(line).substr(0, kMaxTesterLine), &unit)) {
        return {};
    }
    return unit;
}

VerdictRules MakeVerdictRules(const std::string& expect, const std::string& reject,
                              int timeoutSeconds, const std::string& unitId) {
    VerdictRules rules;
    if (!expect.empty()) {
        rules.expect = CompilePattern(expect, nullptr);
    }
    if (!reject.empty()) {
        rules.reject = CompilePattern(reject, nullptr);
    }
    if (!unitId.empty()) {
        rules.unitId = CompileUnitPattern(unitId, nullptr);
    }
    rules.timeout = std::chrono::seconds(timeoutSeconds);
    return rules;
}

Verdict MatchVerdict(const VerdictRules& rules, const std::string& line) {
    const std::string_view bounded = std::string_view(line).substr(0, kMaxTesterLine);
    if (rules.reject && rules.reject->Search(bounded)) {
        return Verdict::Rejected;
    }
    if (rules.expect && rules.expect->Search(bounded)) {
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
