#pragma once
// What the Linux-side drivers of the Windows programs need: the environment scripts/test windows
// prepares, the wine launcher on the PATH, and Windows names for Unix paths.

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace korv::test {

inline std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

inline std::string FindInPath(const std::string& program) {
    const std::string path = Env("PATH");
    for (size_t start = 0; start <= path.size();) {
        const size_t end = std::min(path.find(':', start), path.size());
        const std::string candidate = path.substr(start, end - start) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return "";
}

// The Windows name of a Unix path: Wine's drive Z: is the Unix root.
inline std::string DosPath(std::string path) {
    for (char& c : path) {
        c = c == '/' ? '\\' : c;
    }
    return "Z:" + path;
}

}  // namespace korv::test
