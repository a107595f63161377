#pragma once
// What `--version` prints, for every program entry: the program's name and version, the day it
// was built and, for the desktop program, the Qt it was built with and the Qt it runs on.

#include <cstdio>
#include <cstring>
#include <string>

#include "korv_version.h"

namespace korv {

// True when the command line asks for the version (anywhere, as with --help).
inline bool WantsVersion(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            return true;
        }
    }
    return false;
}

// `qtBuilt` and `qtRunning` are empty for a program without Qt.
inline std::string VersionText(const std::string& program, const std::string& qtBuilt = {},
                               const std::string& qtRunning = {}) {
    std::string text = program + " " KORV_VERSION "\nbuilt " KORV_BUILD_DATE "\n";
    if (!qtBuilt.empty()) {
        text += "Qt " + qtBuilt;
        if (qtRunning != qtBuilt) {
            text += " (running on Qt " + qtRunning + ")";
        }
        text += "\n";
    }
    return text;
}

// Writes the text on standard output; the exit status says whether it got there.
inline int PrintVersion(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace korv
