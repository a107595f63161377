#pragma once
// --retry-failed REPORT: the ports to update again are those whose last record in a report is
// neither sent nor accepted, with the file those records name.

#include <istream>
#include <string>
#include <vector>

namespace korv {

struct RetryList {
    bool ok = false;
    std::string error;                  // why the report could not be used, when !ok
    std::vector<std::string> ports;     // in the order they first appear in the report
    std::vector<std::string> files;     // the distinct files of those ports' last records
    std::vector<std::string> warnings;  // lines that are not records, skipped
};

// Reads records (JSON Lines) from in; name is the report's name for messages.
RetryList ReadRetryList(std::istream& in, const std::string& name);
// The same from the file at path (UTF-8).
RetryList ReadRetryListFile(const std::string& path);

}  // namespace korv
