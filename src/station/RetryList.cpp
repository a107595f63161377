#include "station/RetryList.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

namespace korv {

RetryList ReadRetryList(std::istream& in, const std::string& name) {
    RetryList result;
    struct Last {
        std::string outcome;
        std::string file;
    };
    std::vector<std::string> order;
    std::map<std::string, Last> last;
    std::string line;
    for (size_t number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.find_first_not_of(" \t") == std::string::npos) {
            continue;
        }
        // A run that was cut off while writing leaves a partial last line: said and skipped,
        // so that the records before it still count.
        const auto j = nlohmann::json::parse(line, nullptr, false);
        if (!j.is_object() || !j.contains("port") || !j["port"].is_string() ||
            !j.contains("outcome") || !j["outcome"].is_string()) {
            result.warnings.push_back("Line " + std::to_string(number) + " of '" + name +
                                      "' is not a transfer record; it is skipped.");
            continue;
        }
        const std::string port = j["port"].get<std::string>();
        if (last.find(port) == last.end()) {
            order.push_back(port);
        }
        Last& entry = last[port];
        entry.outcome = j["outcome"].get<std::string>();
        entry.file = j.contains("file") && j["file"].is_string() ? j["file"].get<std::string>()
                                                                 : std::string();
    }
    if (in.bad()) {
        result.error = "Cannot read the report '" + name + "'.";
        return result;
    }
    if (order.empty()) {
        result.error = "The report '" + name + "' holds no transfer records.";
        return result;
    }
    for (const auto& port : order) {
        const Last& entry = last[port];
        if (entry.outcome == "sent" || entry.outcome == "accepted") {
            continue;
        }
        result.ports.push_back(port);
        if (!entry.file.empty() &&
            std::find(result.files.begin(), result.files.end(), entry.file) == result.files.end()) {
            result.files.push_back(entry.file);
        }
    }
    result.ok = true;
    return result;
}

RetryList ReadRetryListFile(const std::string& path) {
    std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())));
    if (!in) {
        RetryList result;
        result.error = "Cannot open the report '" + path + "'.";
        return result;
    }
    return ReadRetryList(in, path);
}

}  // namespace korv
