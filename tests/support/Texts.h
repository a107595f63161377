#pragma once
// Texts the end-to-end tests make and read: update files of a given size, and the console's
// summary lines.

#include <cstddef>
#include <string>

namespace korv::test {

// An update file of n bytes: the header and numbered text lines, so a misplaced chunk shows.
inline std::string UpdateText(size_t n, const std::string& lineEnd = "\n") {
    std::string text = "* test update" + lineEnd;
    for (unsigned line = 0; text.size() < n; ++line) {
        text += "line " + std::to_string(line) + " of the update, with some padding text" + lineEnd;
    }
    text.resize(n);
    return text;
}

// The batch summary's line for a port (the line that starts with its name), or "".
inline std::string SummaryLine(const std::string& summary, const std::string& port) {
    for (size_t at = 0, nl; (nl = summary.find('\n', at)) != std::string::npos; at = nl + 1) {
        const std::string line = summary.substr(at, nl - at);
        if (line.starts_with(port + " ")) {
            return line;
        }
    }
    return "";
}

}  // namespace korv::test
